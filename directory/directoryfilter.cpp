#include "directory/directoryfilter.h"

#include "directory/directory.h"

#include <QByteArrayView>
#include <QIODevice>

#include <utility>

namespace {

// What is gathered before it goes to the output device.
constexpr qsizetype WriteChunk = 64 * 1024;

} // namespace

DirectoryFilter::DirectoryFilter(QIODevice *in, QIODevice *out, QString ownAddress)
    : m_reader(in)
    , m_out(out)
    , m_own(std::move(ownAddress))
    , m_ownRecord(Directory::startupRecord(m_own, 0))
{
}

bool DirectoryFilter::step(int budgetMs)
{
    // A failed write ends the reading (and sets m_done) from inside take().
    if (!m_done && m_reader.readFor(budgetMs, [this](const DirectoryRecord &record) { return take(record); })
        && !m_done) {
        m_failed = m_failed || m_reader.failed();
        m_done = true;
    }
    // What a slice gathered is on the device when it returns.
    if (!flush())
        m_done = true;
    return m_done;
}

bool DirectoryFilter::take(const DirectoryRecord &record)
{
    if (m_sink)
        m_sink(record);
    if ((record.hasAddress() && record.address == m_own) || isOwnFragment(record)) {
        ++m_removed;
        return true;
    }
    if (record.kind == DirectoryRecord::Kind::Peer)
        Directory::appendShutdownRecord(m_chunk, record.address, record.portValue);
    else
        m_chunk += record.raw;
    return m_chunk.size() < WriteChunk || flush();
}

bool DirectoryFilter::isOwnFragment(const DirectoryRecord &record) const
{
    if (record.kind != DirectoryRecord::Kind::Junk)
        return false;
    QByteArrayView text(record.raw);
    while (text.endsWith('\n') || text.endsWith('\r'))
        text.chop(1);
    // Its line end, if any, came from the append after it. A fragment this
    // short may as well be the start of another copy's record whose address
    // begins alike; it reads as no record for anyone, so nothing is lost.
    return !text.isEmpty() && text.size() < m_ownRecord.size() && QByteArrayView(m_ownRecord).startsWith(text);
}

bool DirectoryFilter::flush()
{
    if (m_chunk.isEmpty())
        return true;
    const bool written = m_out->write(m_chunk) == m_chunk.size();
    m_chunk.resize(0); // keeps its room for the next records
    if (!written) {
        m_failed = true;
        m_done = true;
    }
    return written;
}
