#pragma once

#include "app/windows/canvas.h"

#include <QMdiSubWindow>

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
/// "Status: ", the number of users, and one line for the latest error or
/// notice. That line stays through every repaint until another one replaces
/// it or clearError() takes it away.
class Orvik : public QMdiSubWindow
{
    Q_OBJECT

public:
    Orvik(MDIMain *main, const PeerTable &peers);

    /// Repaints the gradient, unless the main window is minimised.
    void Draw();

    /// Shows text on the strip (a listener that cannot open its port, a
    /// directory exchange that failed) until a later line replaces it.
    void showError(const QString &text);
    /// The same for a line that reports no fault; it does not replace a
    /// standing error and returns false then.
    bool showNotice(const QString &text);
    /// Takes the error or notice away.
    void clearError();
    /// The error or notice on show; empty when there is none.
    QString line() const { return m_line; }
    bool hasError() const { return !m_line.isEmpty() && m_lineIsError; }

    /// The designed height, in pixels.
    int designHeight() const;

    Canvas *canvas() const { return m_canvas; }
    QLabel *label() const { return m_Label1; }
    /// Where the error or notice is shown.
    QLabel *lineLabel() const { return m_lineLabel; }
    QTimer *statusTimer() const { return m_status; }

public slots:
    void status_Timer();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void Form_Load();
    void Form_Click();
    void Form_Resize();
    void printStatus();
    void placeLabel();
    void placeLine();
    void setLine(const QString &text, bool error);

    MDIMain *m_main;
    const PeerTable &m_peers;
    StatusCanvas *m_canvas;
    QLabel *m_Label1;
    QLabel *m_lineLabel;
    QTimer *m_status;
    QString m_line;
    bool m_lineIsError = false;
    // Wide enough for any count, so a directory of more than 32767 users
    // cannot overflow it.
    qint64 m_LastCount = 0;
    bool m_loaded = false;
};
