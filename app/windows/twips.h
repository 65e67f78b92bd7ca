#pragma once

#include <QRect>
#include <QWidget>

#include <cmath>

/// Window sizes are designed in twips, 1/1440 inch; these convert them through
/// the real resolution of the screen the widget is on.
namespace Twips {

inline constexpr double PerInch = 1440.0;

inline double dpiX(const QWidget *w) { return w ? w->logicalDpiX() : 96.0; }
inline double dpiY(const QWidget *w) { return w ? w->logicalDpiY() : 96.0; }

inline int toPixelsX(double twips, const QWidget *w) { return static_cast<int>(std::lround(twips * dpiX(w) / PerInch)); }
inline int toPixelsY(double twips, const QWidget *w) { return static_cast<int>(std::lround(twips * dpiY(w) / PerInch)); }
inline double fromPixelsX(int pixels, const QWidget *w) { return pixels * PerInch / dpiX(w); }
inline double fromPixelsY(int pixels, const QWidget *w) { return pixels * PerInch / dpiY(w); }

/// A rectangle given as left, top, width, height in twips.
inline QRect rect(double left, double top, double width, double height, const QWidget *w)
{
    return QRect(toPixelsX(left, w), toPixelsY(top, w), toPixelsX(width, w), toPixelsY(height, w));
}

} // namespace Twips
