#pragma once

#include <QMdiSubWindow>

class Canvas;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

/// The search window: a search text, the Search button and the result list.
/// It keeps a fixed size in its normal state; the search and the download are
/// asked for by signal.
class frmsearch : public QMdiSubWindow
{
    Q_OBJECT

public:
    /// mainFrame is the main window, whose minimised state Draw reads.
    explicit frmsearch(QWidget *mainFrame = nullptr, QWidget *parent = nullptr);

    /// Lays the panel over the whole window and paints its gradient, unless
    /// the main window is minimised.
    void Draw();

    /// Appends one result entry to the list.
    void addResult(const QString &entry);

    QLineEdit *searchtext() const { return m_searchtext; }
    QPushButton *Command1() const { return m_Command1; }
    Canvas *Picture1() const { return m_Picture1; }
    QListWidget *Searchresults() const { return m_Searchresults; }

public slots:
    /// The Search button is disabled while a search runs.
    void setSearching(bool running);

signals:
    /// Search pressed: the list has been cleared; text is the search text as typed.
    void searchRequested(const QString &text);
    /// A result entry double-clicked, passed on unchanged.
    void downloadRequested(const QString &entry);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void Form_Load();
    void Form_Resize();
    void Command1_Click();
    void Searchresults_DblClick();
    void applySizeRule();

    QWidget *m_mainFrame;
    QWidget *m_surface;
    QLabel *m_Label3;
    QLabel *m_Label1;
    Canvas *m_Picture1;
    QLabel *m_Label2;
    QListWidget *m_Searchresults;
    QLineEdit *m_searchtext;
    QPushButton *m_Command1;
    bool m_loaded = false;
};
