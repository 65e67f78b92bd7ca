#include "app/windows/form1.h"

#include "app/windows/iconcontrol.h"
#include "app/windows/twips.h"

#include <QTimer>

Form1::Form1(QWidget *mainWindow, QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint)
    , m_main(mainWindow)
    , m_Timer1(new QTimer(this))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Form1"));
    setFixedSize(Twips::toPixelsX(4680, this), Twips::toPixelsY(3090, this));
    m_Timer1->setObjectName(QStringLiteral("Timer1"));
    m_Timer1->setInterval(10);
    connect(m_Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
}

void Form1::Timer1_Timer()
{
    Iconcontrol::HideWhenMinimized(m_main);
}
