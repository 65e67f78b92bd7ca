#pragma once

#include "app/windows/progresslist.h"

#include <QMdiSubWindow>

class Canvas;
class QLabel;
class QLineEdit;
class QPushButton;
class SearchResultsModel;

/// The search window: a search text, the Search button and the result list.
/// It keeps a fixed size in its normal state; the search and the download are
/// asked for by signal. The search text has the focus when the window is
/// shown; Enter there searches, Enter on a result downloads it.
///
/// The result list costs nothing per entry: it asks for the rows it shows,
/// each row one line that ends in an ellipsis when the entry is wider, so a
/// hundred thousand entries, long or short, leave the window as quick as ten.
class frmsearch : public QMdiSubWindow
{
    Q_OBJECT

public:
    /// mainFrame is the main window, whose minimised state Draw reads.
    explicit frmsearch(QWidget *mainFrame = nullptr, QWidget *parent = nullptr);

    /// Lays the panel over the whole window and paints its gradient, unless
    /// the main window is minimised.
    void Draw();

    /// Appends result entries to the list.
    void addResults(const QStringList &entries);

    QLineEdit *searchtext() const { return m_searchtext; }
    QPushButton *Command1() const { return m_Command1; }
    Canvas *Picture1() const { return m_Picture1; }
    ProgressList *Searchresults() const { return m_Searchresults; }
    /// What the result list holds.
    SearchResultsModel *results() const { return m_results; }

public slots:
    /// The Search button is disabled, and the busy pointer shown, while a
    /// search runs.
    void setSearching(bool running);
    /// How far the running search has got ("37 of 100 peers asked"), for
    /// assistive tools: the result list's description.
    void setSearchProgress(const QString &description);
    /// A download asked for here waits for the peer's answer: the busy
    /// pointer shows until this is called with false. A double click on a
    /// result sets it.
    void setDownloadWaiting(bool waiting);

signals:
    /// Search pressed: the list has been cleared; text is the search text as typed.
    void searchRequested(const QString &text);
    /// A result entry double-clicked, passed on unchanged.
    void downloadRequested(const QString &entry);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Form_Load();
    void Form_Resize();
    void Command1_Click();
    void Searchresults_DblClick();
    void applySizeRule();
    // Whether a search or a requested download keeps the busy pointer up.
    bool isBusy() const { return m_searching || m_downloadWaiting; }
    void showBusy();

    QWidget *m_mainFrame;
    QWidget *m_surface;
    QLabel *m_Label3;
    QLabel *m_Label1;
    Canvas *m_Picture1;
    QLabel *m_Label2;
    SearchResultsModel *m_results;
    ProgressList *m_Searchresults;
    QLineEdit *m_searchtext;
    QPushButton *m_Command1;
    bool m_loaded = false;
    bool m_searching = false;
    bool m_downloadWaiting = false;
};
