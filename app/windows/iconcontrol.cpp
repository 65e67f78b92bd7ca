#include "app/windows/iconcontrol.h"

#include "app/windows/look.h"

#include <QApplication>
#include <QIcon>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QVersionNumber>
#include <QWidget>

namespace {

// The notification area's tips are this long at most.
constexpr qsizetype TipLength = 64;

QPointer<QSystemTrayIcon> g_icon;
std::optional<bool> g_trayOverride;

// Name, major.minor and revision, each number as a 16-bit value.
QString tipText()
{
    const QVersionNumber version = QVersionNumber::fromString(QCoreApplication::applicationVersion());
    return QStringLiteral("%1 %2.%3, Build %4")
        .arg(QCoreApplication::applicationName())
        .arg(static_cast<quint16>(version.majorVersion()))
        .arg(static_cast<quint16>(version.minorVersion()))
        .arg(static_cast<quint16>(version.microVersion()))
        .left(TipLength);
}

void iconDoubleClicked(QWidget *owner)
{
    const bool minimised = owner->windowState() & Qt::WindowMinimized;
    // Hidden without being minimised, the frame has not been opened yet (the
    // start-up sequence shows it): there is nothing to restore or minimise.
    if (!owner->isVisible() && !minimised)
        return;
    if (minimised) {
        owner->show();
        owner->setWindowState(Qt::WindowNoState);
        owner->activateWindow();
    } else {
        owner->setWindowState(owner->windowState() | Qt::WindowMinimized);
    }
}

} // namespace

void Iconcontrol::AddTrayIcon(QWidget *owner)
{
    if (g_icon)
        return;
    QIcon image = owner->windowIcon();
    if (image.isNull())
        image = Look::programIcon();

    auto *icon = new QSystemTrayIcon(image, qApp);
    icon->setToolTip(tipText());
    QPointer<QWidget> target(owner);
    QObject::connect(icon, &QSystemTrayIcon::activated, icon, [target](QSystemTrayIcon::ActivationReason reason) {
        // Only the left double click means anything.
        if (target && reason == QSystemTrayIcon::DoubleClick)
            iconDoubleClicked(target);
    });
    icon->show();
    g_icon = icon;
}

void Iconcontrol::RemoveTrayIcon()
{
    if (!g_icon)
        return;
    g_icon->hide();
    delete g_icon.data();
}

QSystemTrayIcon *Iconcontrol::trayIcon()
{
    return g_icon;
}

bool Iconcontrol::trayAvailable()
{
    return g_trayOverride.value_or(QSystemTrayIcon::isSystemTrayAvailable());
}

void Iconcontrol::overrideTrayAvailable(std::optional<bool> available)
{
    g_trayOverride = available;
}

void Iconcontrol::HideWhenMinimized(QWidget *frame)
{
    // Without a notification area nothing could bring a hidden frame back:
    // it stays minimised on the task bar instead.
    if (!frame || !trayAvailable())
        return;
    if ((frame->windowState() & Qt::WindowMinimized) && frame->isVisible())
        frame->hide();
}
