#pragma once

#include <QList>

/// The gradient the program's panels are painted with: 256 bands from black
/// to full green, band i in the colour (0, i, 0), laid over a scale of 255
/// units along the gradient, so that the last band lies just past its end.
/// Only the arithmetic lives here, without widgets, so that every window
/// paints the same bands whichever way its gradient runs.
namespace GreenBands {

struct Band
{
    /// The band's colour is (0, green, 0).
    int green;
    /// The pixels it covers along the gradient: [from, to).
    int from;
    int to;
};

/// The bands that cover at least one of length pixels, in order.
QList<Band> over(int length);

} // namespace GreenBands
