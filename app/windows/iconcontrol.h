#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

class QWidget;

/// The notification-area icon of the main window. A left double click on the
/// icon restores a minimised main window or minimises it; a minimised main
/// window is hidden so that it lives in the notification area only.
namespace Iconcontrol {

/// Message numbers the shell reports for icon events.
inline constexpr int WM_LBUTTONDBLCLK = 515;
inline constexpr int WM_LBUTTONDOWN = 513;
inline constexpr int WM_LBUTTONUP = 514;
inline constexpr int WM_RBUTTONUP = 517;
inline constexpr int WM_MOUSEMOVE = 512;
inline constexpr int TipLength = 64;

/// Shows the icon for owner, with the program's name and version as its tip.
void AddTrayIcon(QWidget *owner);

/// Acts on one icon event. X carries the event's message number in twips, as
/// the shell packs it into a mouse move; Y is not used.
void TrayMouseMessage(double X, double Y, QWidget *owner);

/// The same, given the message number itself.
void TrayMessage(int message, QWidget *owner);

/// Removes the icon that AddTrayIcon added.
void RemoveTrayIcon();

/// Hides frame when it is minimised and a notification area exists to bring
/// it back from.
void HideWhenMinimized(QWidget *frame);

/// The 64-character tip record: name, space, major.minor, ", Build ",
/// revision, a NUL, then spaces; cut at 64 characters.
QByteArray tipRecord(const QString &productName, int major, int minor, int revision);

/// The tip as the icon shows it (the record up to its NUL).
QString tipText(const QString &productName, int major, int minor, int revision);

/// Whether the icon is on show.
bool hasTrayIcon();

/// Whether the desktop has a notification area. Tests may pretend either way.
bool trayAvailable();
void overrideTrayAvailable(std::optional<bool> available);

} // namespace Iconcontrol
