#include "directory/tamsin.h"

#include <algorithm>
#include <cmath>

namespace {

// Rounds like the conversions the directory format was made with: to the
// nearest whole number, a half to the even neighbour.
bool roundToInt64(double value, qint64 *out)
{
    if (!std::isfinite(value) || std::fabs(value) > 9.0e18)
        return false;
    *out = static_cast<qint64>(std::nearbyint(value));
    return true;
}

} // namespace

bool PeerTable::convertPort(const QString &field, qint16 *port)
{
    const QString text = field.trimmed();
    if (text.isEmpty())
        return false;
    // Nearly every port field is a short whole number; reading it directly
    // spares the general conversion below, which costs more than the rest of
    // loading a record. Six digits at most, so no sum can overflow.
    const qsizetype sign = text.front() == u'-' || text.front() == u'+' ? 1 : 0;
    if (text.size() > sign && text.size() - sign <= 6
        && std::all_of(text.cbegin() + sign, text.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; })) {
        qint64 whole = 0;
        for (qsizetype i = sign; i < text.size(); ++i)
            whole = whole * 10 + (text.at(i).unicode() - u'0');
        if (text.front() == u'-')
            whole = -whole;
        if (whole < -32768 || whole > 32767)
            return false;
        *port = static_cast<qint16>(whole);
        return true;
    }
    bool ok = false;
    const double value = text.toDouble(&ok);
    qint64 whole = 0;
    if (!ok || !roundToInt64(value, &whole))
        return false;
    if (whole < -32768 || whole > 32767)
        return false;
    *port = static_cast<qint16>(whole);
    return true;
}

bool PeerTable::addRecord(const QString &address, const QString &portField)
{
    PeerCount += 1;
    qint64 index = 0;
    if (!roundToInt64(PeerCount, &index) || index < 0 || index > PeerLimit)
        return false;
    const auto i = static_cast<std::size_t>(index);
    PeerAddress[i] = address;
    qint16 port = 0;
    if (convertPort(portField, &port))
        PeerPort[i] = port;
    return true;
}

qint64 PeerTable::count() const
{
    qint64 n = 0;
    return roundToInt64(PeerCount, &n) ? n : 0;
}

qint64 PeerTable::readerBound() const
{
    return std::clamp<qint64>(count(), 0, PeerLimit);
}

PeerTable &Tamsin::peers()
{
    static PeerTable table;
    return table;
}
