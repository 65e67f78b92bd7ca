#pragma once

#include <QWidget>

class QTimer;

/// A hidden window that carries the main window's 100 ms timer, which sends
/// a minimised main window to the notification area.
///
/// The timer runs only while that can happen: once enabled, whenever the
/// main window is minimised, still visible and a notification area exists.
/// The rest of the time nothing ticks.
class Form1 : public QWidget
{
    Q_OBJECT

public:
    explicit Form1(QWidget *mainWindow, QWidget *parent = nullptr);

    /// Sets the timer's interval and lets it run from now on, whenever there
    /// is a minimised main window to hide.
    void enableTimer(int interval);

    QTimer *Timer1() const { return m_Timer1; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Timer1_Timer();
    void runWhilePending();

    QWidget *m_main;
    QTimer *m_Timer1;
    bool m_enabled = false;
};
