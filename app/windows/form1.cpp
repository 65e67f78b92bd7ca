#include "app/windows/form1.h"

#include "Controls/twips.h"
#include "app/windows/iconcontrol.h"

#include <QEvent>
#include <QTimer>

namespace {

constexpr int DesignInterval = 10;
constexpr Twips::Size ClientSize{4680, 3090};

} // namespace

Form1::Form1(QWidget *mainWindow, QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint)
    , m_main(mainWindow)
    , m_Timer1(new QTimer(this))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Form1"));
    setFixedSize(Twips::toPixels(ClientSize, *this));
    m_Timer1->setObjectName(QStringLiteral("Timer1"));
    m_Timer1->setInterval(DesignInterval);
    connect(m_Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
}

void Form1::enableTimer(int interval)
{
    m_Timer1->setInterval(interval);
    if (!m_enabled) {
        m_enabled = true;
        m_main->installEventFilter(this);
    }
    runWhilePending();
}

void Form1::Timer1_Timer()
{
    Iconcontrol::HideWhenMinimized(m_main);
    runWhilePending();
}

void Form1::runWhilePending()
{
    // A minimised frame is hidden within one interval of its minimising; a
    // frame that is shown, or already hidden, gives the timer nothing to do.
    const bool pending = m_enabled && m_main->isVisible() && (m_main->windowState() & Qt::WindowMinimized)
                         && Iconcontrol::trayAvailable();
    if (!pending)
        m_Timer1->stop();
    else if (!m_Timer1->isActive())
        m_Timer1->start();
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_main) {
        const QEvent::Type type = event->type();
        if (type == QEvent::WindowStateChange || type == QEvent::Show || type == QEvent::Hide)
            runWhilePending();
    }
    return QWidget::eventFilter(watched, event);
}
