#pragma once

#include <QMdiSubWindow>

class Canvas;
class MDIMain;
class QLabel;
class QTimer;
struct PeerTable;

/// The status strip along the bottom of the main window: a green gradient,
/// "Status: ", the number of users, and room for one error line.
class Orvik : public QMdiSubWindow
{
    Q_OBJECT

public:
    Orvik(MDIMain *main, const PeerTable &peers);

    /// Repaints the gradient, unless the main window is minimised.
    void Draw();

    /// Clears the strip and prints text as its only line (listener errors).
    void showError(const QString &text);

    /// The designed height, in pixels.
    int designHeight() const;

    Canvas *canvas() const { return m_canvas; }
    QLabel *label() const { return m_Label1; }
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
    void placeLabel();

    MDIMain *m_main;
    const PeerTable &m_peers;
    Canvas *m_canvas;
    QLabel *m_Label1;
    QTimer *m_status;
    // Wide enough for any count, so a directory of more than 32767 users
    // cannot overflow it.
    qint64 m_LastCount = 0;
    bool m_loaded = false;
};
