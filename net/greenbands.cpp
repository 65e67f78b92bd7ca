#include "net/greenbands.h"

#include <cmath>

namespace {

constexpr int Bands = 256;
constexpr double ScaleUnits = 255.0;

int edge(int band, int length)
{
    return static_cast<int>(std::lround(static_cast<double>(band) * length / ScaleUnits));
}

} // namespace

QList<GreenBands::Band> GreenBands::over(int length)
{
    QList<Band> bands;
    for (int i = 0; i < Bands; ++i) {
        const int from = edge(i, length);
        const int to = edge(i + 1, length);
        if (to > from)
            bands.append(Band{i, from, to});
    }
    return bands;
}
