#include "app/windows/iconcontrol.h"

#include "Controls/twips.h"
#include "app/windows/look.h"

#include <QApplication>
#include <QIcon>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QVersionNumber>
#include <QWidget>

#include <cmath>

namespace {

QPointer<QSystemTrayIcon> g_icon;
std::optional<bool> g_trayOverride;

} // namespace

QByteArray Iconcontrol::tipRecord(const QString &productName, int major, int minor, int revision)
{
    const QString tip = QStringLiteral("%1 %2.%3, Build %4")
                            .arg(productName)
                            .arg(static_cast<quint16>(major))
                            .arg(static_cast<quint16>(minor))
                            .arg(static_cast<quint16>(revision));
    QByteArray record = tip.toLatin1();
    record.append('\0');
    if (record.size() > TipLength)
        record.truncate(TipLength);
    while (record.size() < TipLength)
        record.append(' ');
    return record;
}

QString Iconcontrol::tipText(const QString &productName, int major, int minor, int revision)
{
    const QByteArray record = tipRecord(productName, major, minor, revision);
    const qsizetype nul = record.indexOf('\0');
    return QString::fromLatin1(nul < 0 ? record : record.left(nul));
}

void Iconcontrol::AddTrayIcon(QWidget *owner)
{
    if (g_icon)
        return;
    const QVersionNumber version = QVersionNumber::fromString(QCoreApplication::applicationVersion());
    QIcon image = owner->windowIcon();
    if (image.isNull())
        image = Look::programIcon();

    auto *icon = new QSystemTrayIcon(image, qApp);
    icon->setToolTip(tipText(QCoreApplication::applicationName(), version.majorVersion(), version.minorVersion(),
                             version.microVersion()));
    QPointer<QWidget> target(owner);
    QObject::connect(icon, &QSystemTrayIcon::activated, icon, [target](QSystemTrayIcon::ActivationReason reason) {
        if (!target)
            return;
        // Only the left double click means anything; the rest map to the
        // messages the icon ignores.
        const int message = reason == QSystemTrayIcon::DoubleClick ? WM_LBUTTONDBLCLK
                            : reason == QSystemTrayIcon::Context   ? WM_RBUTTONUP
                                                                   : WM_LBUTTONUP;
        TrayMessage(message, target);
    });
    icon->show();
    g_icon = icon;
}

void Iconcontrol::TrayMouseMessage(double X, double /*Y*/, QWidget *owner)
{
    const double twipsPerPixel = Twips::fromPixelsX(1, *owner);
    TrayMessage(static_cast<int>(std::nearbyint(X / twipsPerPixel)), owner);
}

void Iconcontrol::TrayMessage(int message, QWidget *owner)
{
    if (message != WM_LBUTTONDBLCLK || !owner)
        return;
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

void Iconcontrol::RemoveTrayIcon()
{
    if (!g_icon)
        return;
    g_icon->hide();
    delete g_icon.data();
}

bool Iconcontrol::hasTrayIcon()
{
    return g_icon && g_icon->isVisible();
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
