#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QString>
#include <QWidget>

/// The program's look: black windows, green text in a comic face, lists green
/// on dark grey, and the name the start-up and main windows show.
namespace Look {

inline constexpr char Caption[] = "Ferrin";

inline const QColor Background(0, 0, 0);
inline const QColor Text(0, 255, 0);
inline const QColor ListBackground(64, 64, 64);
inline constexpr char FaceName[] = "Comic Sans MS";

/// The designed face at the given size.
QFont face(double points, bool bold = false, bool italic = false);

/// Green on black for a window or control, through its palette.
void paintGreenOnBlack(QWidget *w);

/// Green on dark grey, for lists.
void paintList(QWidget *w);

/// A scroll bar that shows on black: a green handle and arrows on a black
/// track.
void paintScrollBar(QWidget *bar);

/// The program's icon, for every window and the notification area.
QIcon programIcon();

/// Makes the designed face resolve to a comic face that this machine has,
/// when fontconfig has no alias for it.
void resolveComicFace();

} // namespace Look
