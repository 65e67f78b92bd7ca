#pragma once

#include "app/windows/canvas.h"

#include <QMdiSubWindow>
#include <QStringList>

class MDIMain;
class QLabel;
class QTimer;
struct PeerTable;

/// The drawing surface of the status strip; assistive tools see it as a
/// status bar whose description is the line the strip shows.
class StatusCanvas : public Canvas
{
    Q_OBJECT

public:
    explicit StatusCanvas(QWidget *parent = nullptr);
};

/// The status strip along the bottom of the main window: a green gradient,
/// "Status: ", the number of users, and one line for an error or a notice.
///
/// An error stays through every repaint for as long as its cause lasts: the
/// one who showed it takes it back with clearError(text). A later error shows
/// over it, and when that one is taken back the earlier one shows again. A
/// notice reports no fault and shows only while no error stands.
///
/// The user count is read every second while the main window is on screen;
/// minimised or hidden, nothing ticks, and the strip catches up when it is
/// seen again.
class Orvik : public QMdiSubWindow
{
    Q_OBJECT

public:
    Orvik(MDIMain *main, const PeerTable &peers);

    /// Repaints the gradient, unless the main window is minimised.
    void Draw();

    /// Shows an error on the strip (a listener that cannot open its port, a
    /// directory exchange that failed) until clearError(text).
    void showError(const QString &text);
    /// Shows a line that reports no fault until something replaces it; not
    /// while an error stands, and returns false then.
    bool showNotice(const QString &text);
    /// Takes back the error text, once its cause has ended; the error shown
    /// before it, if one still stands, shows again.
    void clearError(const QString &text);
    /// The error or notice on show; empty when there is none.
    QString line() const { return m_line; }
    bool hasError() const { return !m_errors.isEmpty(); }

    /// The designed height, in pixels.
    int designHeight() const;

    Canvas *canvas() const { return m_canvas; }
    QLabel *Label1() const { return m_Label1; }
    /// Where the error or notice is shown.
    QLabel *lineLabel() const { return m_lineLabel; }
    QTimer *status() const { return m_status; }

public slots:
    void status_Timer();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void tickWhileSeen();
    void catchUp();
    void Form_Load();
    void Form_Click();
    void Form_Resize();
    void printStatus();
    void placeLabel();
    void placeLine();
    void showLine();

    MDIMain *m_main;
    const PeerTable &m_peers;
    StatusCanvas *m_canvas;
    QLabel *m_Label1;
    QLabel *m_lineLabel;
    QTimer *m_status;
    QString m_line;
    // Standing errors, the latest last; the notice shows when there is none.
    QStringList m_errors;
    QString m_notice;
    // Wide enough for any count, so a directory of more than 32767 users
    // cannot overflow it.
    qint64 m_LastCount = 0;
    bool m_loaded = false;
};
