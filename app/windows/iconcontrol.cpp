#include "app/windows/iconcontrol.h"

#include "app/windows/look.h"

#include <QApplication>
#include <QAction>
#include <QIcon>
#include <QMenu>
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

// Hidden without being minimised, the frame has not been opened yet (the
// start-up sequence shows it): there is nothing to restore or minimise.
bool opened(const QWidget *owner)
{
    return owner->isVisible() || (owner->windowState() & Qt::WindowMinimized);
}

void restore(QWidget *owner)
{
    owner->show();
    owner->setWindowState(Qt::WindowNoState);
    owner->activateWindow();
}

void iconDoubleClicked(QWidget *owner)
{
    if (!opened(owner))
        return;
    if (owner->windowState() & Qt::WindowMinimized)
        restore(owner);
    else
        owner->setWindowState(owner->windowState() | Qt::WindowMinimized);
}

// The icon's menu, with one item that brings the frame back. The
// notification areas of many current desktops (StatusNotifierItem hosts)
// never report a double click, so without it a hidden frame would be out of
// reach there; it is also the keyboard's way to the frame.
QMenu *restoreMenu(QSystemTrayIcon *icon, QWidget *owner)
{
    const QPointer<QWidget> target(owner);
    // The icon does not own its menu: the frame does, and the icon's
    // removal takes it.
    auto *menu = new QMenu(owner);
    QAction *item = menu->addAction(QStringLiteral("&Restore"));
    QObject::connect(item, &QAction::triggered, icon, [target] {
        if (!target || !opened(target))
            return;
        if (target->isVisible() && !(target->windowState() & Qt::WindowMinimized)) {
            target->raise();
            target->activateWindow();
            return;
        }
        restore(target);
    });
    return menu;
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
        // Of the clicks on the icon, only the left double click means
        // anything; the menu is the other way back.
        if (target && reason == QSystemTrayIcon::DoubleClick)
            iconDoubleClicked(target);
    });
    icon->setContextMenu(restoreMenu(icon, owner));
    icon->show();
    g_icon = icon;
}

void Iconcontrol::RemoveTrayIcon()
{
    if (!g_icon)
        return;
    g_icon->hide();
    delete g_icon->contextMenu();
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
