#pragma once

#include <QPaintDevice>
#include <QRect>
#include <QSize>

#include <cmath>

/// Windows and controls are designed in twips, 1/1440 inch; these turn them
/// into pixels through the real resolution of the device that shows them.
/// The strip and the program's windows share this one header.
namespace Twips {

inline constexpr double PerInch = 1440.0;

/// A designed size: width and height in twips.
struct Size
{
    double width, height;
};

/// A designed rectangle: left, top, width and height in twips.
struct Rect
{
    double left, top, width, height;
};

inline int toPixelsX(double twips, const QPaintDevice &device)
{
    return static_cast<int>(std::lround(twips * device.logicalDpiX() / PerInch));
}

inline int toPixelsY(double twips, const QPaintDevice &device)
{
    return static_cast<int>(std::lround(twips * device.logicalDpiY() / PerInch));
}

inline double fromPixelsX(int pixels, const QPaintDevice &device)
{
    return pixels * PerInch / device.logicalDpiX();
}

inline double fromPixelsY(int pixels, const QPaintDevice &device)
{
    return pixels * PerInch / device.logicalDpiY();
}

inline QSize toPixels(const Size &size, const QPaintDevice &device)
{
    return QSize(toPixelsX(size.width, device), toPixelsY(size.height, device));
}

inline QRect toPixels(const Rect &rect, const QPaintDevice &device)
{
    return QRect(toPixelsX(rect.left, device), toPixelsY(rect.top, device), toPixelsX(rect.width, device),
                 toPixelsY(rect.height, device));
}

} // namespace Twips
