#pragma once

#include <QMdiSubWindow>
#include <QPointer>

class ByteLinesModel;
class Canvas;
class ProgressList;

/// The download progress window: the list `DL` of the running or last
/// download on a black-to-green panel `Picture1`. Its lines come from the
/// download client through the slots below.
class frmDP : public QMdiSubWindow
{
    Q_OBJECT

public:
    /// mainFrame is the frame window whose state the layout rules read.
    explicit frmDP(QWidget *mainFrame = nullptr, QWidget *parent = nullptr);

    /// Places the panel over the inner area and paints its gradient, unless
    /// the main frame is minimised.
    void Draw();

    ProgressList *DL() const { return m_DL; }
    Canvas *Picture1() const { return m_Picture1; }
    /// What the list shows.
    ByteLinesModel *lines() const { return m_lines; }

public slots:
    void clearProgress();
    void addProgressLine(const QString &line);
    /// count bytes written at offset into the file at path, one line each.
    void addProgressBytes(const QString &path, qint64 offset, qint64 count);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void Form_Load();
    void Form_Resize();
    QWidget *mainFrame() const;
    QSize innerSize() const;

    QPointer<QWidget> m_mainFrame;
    QWidget *m_content;
    Canvas *m_Picture1;
    ProgressList *m_DL;
    ByteLinesModel *m_lines;
    bool m_loaded = false;
    bool m_shown = false;
    bool m_inResize = false;
};
