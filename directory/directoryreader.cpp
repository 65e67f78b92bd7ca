#include "directory/directoryreader.h"

#include "directory/tamsin.h"

#include <QIODevice>

#include <algorithm>

namespace {

// What the reader fetches from the device at a time.
constexpr qint64 ReadChunk = 64 * 1024;
// Digits that always make a finite double.
constexpr qsizetype PlainDigitsAtMost = 15;

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArrayView trimmedBlanks(QByteArrayView text)
{
    qsizetype from = 0;
    qsizetype to = text.size();
    while (from < to && isBlank(text.at(from)))
        ++from;
    while (to > from && isBlank(text.at(to - 1)))
        --to;
    return text.sliced(from, to - from);
}

// One line taken apart into its fields, before records are made of it. The
// fields are views into the line.
struct Fields
{
    bool junk = false;       // names no address
    bool single = false;     // one field only: a record may go on on the next line
    bool quoted = false;     // the address stands in quotes
    bool tidy = false;       // nothing but the address and at most one port field
    QByteArrayView address;
    std::optional<QByteArrayView> port;
};

Fields split(QByteArrayView text)
{
    Fields f;
    const QByteArrayView line = trimmedBlanks(text);
    if (line.startsWith('"')) {
        const qsizetype close = line.indexOf('"', 1);
        if (close < 0) {
            f.junk = true;
            return f;
        }
        f.quoted = true;
        f.address = line.sliced(1, close - 1);
        const QByteArrayView rest = trimmedBlanks(line.sliced(close + 1));
        if (rest.isEmpty()) {
            f.single = true;
            f.tidy = true;
            return f;
        }
        // Whatever stands between the closing quote and the next comma is
        // dropped by the field rules; such a line is no tidy record.
        const qsizetype comma = rest.indexOf(',');
        f.tidy = comma == 0;
        if (comma >= 0) {
            const QByteArrayView after = rest.sliced(comma + 1);
            const qsizetype next = after.indexOf(',');
            f.port = trimmedBlanks(next < 0 ? after : after.first(next));
            f.tidy = f.tidy && next < 0;
        }
        return f;
    }
    const qsizetype comma = line.indexOf(',');
    f.address = trimmedBlanks(comma < 0 ? line : line.first(comma));
    if (f.address.isEmpty()) {
        f.junk = true;
        return f;
    }
    f.single = comma < 0;
    if (comma >= 0) {
        const QByteArrayView after = line.sliced(comma + 1);
        const qsizetype next = after.indexOf(',');
        f.port = trimmedBlanks(next < 0 ? after : after.first(next));
    }
    return f;
}

// A field that reads as a number, whatever its range: on a line of its own
// it can only be a port, never an address.
bool isNumber(QByteArrayView field)
{
    // The port line of nearly every record is a few plain digits; only the
    // rest needs the general conversion (which says no to a number too long
    // for a double).
    const qsizetype sign = field.startsWith('-') || field.startsWith('+') ? 1 : 0;
    if (field.size() > sign && field.size() - sign <= PlainDigitsAtMost
        && std::all_of(field.begin() + sign, field.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return true;
    bool ok = false;
    QString::fromLatin1(field).toDouble(&ok);
    return ok;
}

} // namespace

DirectoryReader::DirectoryReader(QIODevice *device)
    : m_device(device)
{
}

void DirectoryReader::fill(qint64 wanted)
{
    if (m_pos > 0) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    while (!m_atEnd && m_buffer.size() < wanted) {
        const QByteArray chunk = m_device->read(ReadChunk);
        if (chunk.isEmpty()) {
            // QIODevice tells the end from a failure only by atEnd().
            if (!m_device->atEnd())
                m_failed = true;
            m_atEnd = true;
        }
        m_buffer += chunk;
    }
}

std::optional<DirectoryReader::Line> DirectoryReader::readLine()
{
    // One byte more than the longest line, so that a CR at the end of the
    // window shows whether an LF follows it.
    if (m_buffer.size() - m_pos <= MaxLineLength)
        fill(MaxLineLength + 1);
    const qsizetype available = m_buffer.size() - m_pos;
    if (available == 0)
        return std::nullopt;

    const qsizetype window = std::min<qsizetype>(available, MaxLineLength);
    const char *begin = m_buffer.constData() + m_pos;
    const char *found = std::find_if(begin, begin + window, [](char c) { return c == '\r' || c == '\n'; });
    const qsizetype end = found == begin + window ? -1 : m_pos + (found - begin);

    Line line;
    qsizetype after = 0;
    if (end >= 0) {
        after = end + 1;
        if (m_buffer.at(end) == '\r' && after < m_buffer.size() && m_buffer.at(after) == '\n')
            ++after;
        line.textLength = end - m_pos;
        line.whole = !m_inLongLine;
        m_inLongLine = false;
    } else if (available > MaxLineLength) {
        // An over-long line goes on in pieces, none of them a record.
        after = m_pos + MaxLineLength;
        line.textLength = MaxLineLength;
        line.whole = false;
        m_inLongLine = true;
    } else {
        // The last line, without a line end.
        after = m_buffer.size();
        line.textLength = after - m_pos;
        line.whole = !m_inLongLine;
        m_inLongLine = false;
    }
    line.bytes = m_buffer.mid(m_pos, after - m_pos);
    m_pos = after;
    return line;
}

std::optional<DirectoryReader::Line> DirectoryReader::takeLine()
{
    if (m_ahead)
        return std::exchange(m_ahead, std::nullopt);
    return readLine();
}

std::optional<DirectoryRecord> DirectoryReader::next()
{
    for (;;) {
        const std::optional<Line> line = takeLine();
        if (!line)
            return std::nullopt;
        DirectoryRecord record;
        record.raw = line->bytes;
        if (!line->whole)
            return record; // junk
        if (trimmedBlanks(line->text()).isEmpty())
            continue;

        const Fields fields = split(line->text());
        // A number alone on a line, not after an address, belongs to no
        // record: reading it as an address could make one up where a record
        // was taken out before it.
        if (fields.junk || (fields.single && !fields.quoted && isNumber(fields.address)))
            return record;
        record.address = QString::fromLatin1(fields.address);
        if (fields.port)
            record.port = QString::fromLatin1(*fields.port);
        const bool tidy = fields.quoted && fields.tidy;
        if (fields.single) {
            // The port may stand on the next line, alone and unquoted.
            std::optional<Line> second = readLine();
            if (second && second->whole && !trimmedBlanks(second->text()).isEmpty()) {
                const Fields portLine = split(second->text());
                if (!portLine.junk && portLine.single && !portLine.quoted && isNumber(portLine.address)) {
                    record.port = QString::fromLatin1(portLine.address);
                    record.raw += second->bytes;
                    second.reset();
                }
            }
            m_ahead = std::move(second);
        }
        record.kind = DirectoryRecord::Kind::Odd;
        if (tidy && !record.port.isNull() && PeerTable::convertPort(record.port, &record.portValue))
            record.kind = DirectoryRecord::Kind::Peer;
        return record;
    }
}
