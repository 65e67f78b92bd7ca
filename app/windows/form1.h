#pragma once

#include <QWidget>

class QTimer;

/// A hidden window that carries the main window's 100 ms timer.
class Form1 : public QWidget
{
    Q_OBJECT

public:
    explicit Form1(QWidget *mainWindow, QWidget *parent = nullptr);

    QTimer *timer() const { return m_Timer1; }

private:
    void Timer1_Timer();

    QWidget *m_main;
    QTimer *m_Timer1;
};
