#pragma once

#include <QPaintDevice>
#include <QtMath>

// Layout values of the strip are kept in twips (1/1440 inch) and turned into
// pixels through the real resolution of the device that shows them.
namespace Twips {

inline constexpr int PerInch = 1440;

inline int toPixelsX(const QPaintDevice &device, int twips)
{
    return qRound(double(twips) * device.logicalDpiX() / PerInch);
}

inline int toPixelsY(const QPaintDevice &device, int twips)
{
    return qRound(double(twips) * device.logicalDpiY() / PerInch);
}

} // namespace Twips
