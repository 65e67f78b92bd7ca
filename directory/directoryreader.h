#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QString>

#include <optional>

class QIODevice;

/// One record of the directory file as it stands there.
struct DirectoryRecord
{
    enum class Kind {
        /// A registration: `"address",port` on one line, or `"address"` and
        /// `port` on two. Written back in the one-line layout.
        Peer,
        /// A line that names an address but does not read as a registration
        /// in either layout (an unquoted address, a missing or unreadable
        /// port, more fields than two, text after the closing quote). Its
        /// address counts; its bytes are written back as they are.
        Odd,
        /// Bytes that name no address at all. Written back as they are.
        Junk,
    };

    Kind kind = Kind::Junk;
    /// The address field, quotes removed; empty for Junk.
    QString address;
    /// The port field as written, blanks removed; null when the record has
    /// none.
    QString port;
    /// The port converted as the peer table stores it (Peer records only).
    qint16 portValue = 0;
    /// The record's bytes, line ends included.
    QByteArray raw;

    bool hasAddress() const { return kind != Kind::Junk; }
};

/// Reads the central directory file record by record, from any device,
/// holding no more than a line or two at a time.
///
/// The file is 8-bit text. A record is a quoted address and a port, in one
/// of two layouts that stand side by side in one file:
///
///     "10.0.0.5"<CR><LF>0<CR><LF>      (registration at start-up)
///     "10.0.0.5",0<CR><LF>             (written back at exit)
///
/// Spaces and tabs before a field are skipped, and after an unquoted one.
/// A quoted field ends at the next quote; a comma or the line end ends any
/// other field. A lone CR or LF ends a line too.
///
/// Every record ends at a line end: a line that does not read as a record
/// spoils only itself, never the records after it. A line that holds a
/// single field starts a record; the line after it is its port when that
/// line holds a single unquoted number. A number alone on a line after
/// anything else is no record. Blank lines are no records.
class DirectoryReader
{
public:
    /// Lines this long or longer are no records; they are passed on in
    /// pieces of this size.
    static constexpr qint64 MaxLineLength = 4096;

    /// device is read from its current position and must outlive the reader.
    explicit DirectoryReader(QIODevice *device);

    /// The next record, or nothing at the end of the data. Blank lines are
    /// skipped.
    std::optional<DirectoryRecord> next();

    /// Hands the records to take (bool take(const DirectoryRecord &)), one
    /// at a time, until the data ends, take returns false, or about budgetMs
    /// milliseconds have passed (no bound when negative). True when the data
    /// ended or take stopped the reading; false when the time ran out first.
    template <typename Take>
    bool readFor(int budgetMs, Take take);

    /// Whether a read of the device failed.
    bool failed() const { return m_failed; }

private:
    // Records read between two looks at the clock. A look costs about as
    // much as reading one short record, so it is taken only now and then;
    // and even this many of the longest records (pieces of MaxLineLength)
    // take a small part of a slice of the event loop's time.
    static constexpr int RecordsPerClockCheck = 64;

    struct Line
    {
        QByteArray bytes;         // with its line end
        qsizetype textLength = 0; // without it
        bool whole = true;        // false for the pieces of an over-long line

        QByteArrayView text() const { return QByteArrayView(bytes).first(textLength); }
    };

    void fill(qint64 wanted);
    std::optional<Line> readLine();
    std::optional<Line> takeLine();

    QIODevice *m_device;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    bool m_atEnd = false;
    std::optional<Line> m_ahead;
    bool m_failed = false;
    bool m_inLongLine = false;
};

template <typename Take>
bool DirectoryReader::readFor(int budgetMs, Take take)
{
    QElapsedTimer clock;
    clock.start();
    int sinceCheck = 0;
    for (;;) {
        if (budgetMs >= 0 && ++sinceCheck == RecordsPerClockCheck) {
            sinceCheck = 0;
            if (clock.elapsed() >= budgetMs)
                return false;
        }
        const std::optional<DirectoryRecord> record = next();
        if (!record || !take(*record))
            return true;
    }
}
