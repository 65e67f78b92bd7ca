#pragma once

#include <optional>

class QSystemTrayIcon;
class QWidget;

/// The notification-area icon of the main window. A left double click on the
/// icon restores a minimised main window or minimises it; a minimised main
/// window is hidden so that it lives in the notification area only.
namespace Iconcontrol {

/// Shows the icon for owner. Its tip is the program's name and version,
/// "Ferrin1 1.0, Build 0", cut at 64 characters.
void AddTrayIcon(QWidget *owner);

/// Removes the icon that AddTrayIcon added.
void RemoveTrayIcon();

/// Hides frame when it is minimised and a notification area exists to bring
/// it back from.
void HideWhenMinimized(QWidget *frame);

/// The icon on show; nullptr when there is none.
QSystemTrayIcon *trayIcon();

/// Whether the desktop has a notification area. Tests may pretend either way.
bool trayAvailable();
void overrideTrayAvailable(std::optional<bool> available);

} // namespace Iconcontrol
