#include "directory/directoryfilter.h"

#include "directory/directory.h"

#include <QElapsedTimer>
#include <QIODevice>

#include <utility>

namespace {

// Records between two looks at the clock.
constexpr int RecordsPerClockCheck = 256;
// What is gathered before it goes to the output device.
constexpr qsizetype WriteChunk = 64 * 1024;

} // namespace

DirectoryFilter::DirectoryFilter(QIODevice *in, QIODevice *out, QString ownAddress)
    : m_reader(in)
    , m_out(out)
    , m_own(std::move(ownAddress))
{
}

bool DirectoryFilter::step(int budgetMs)
{
    QElapsedTimer clock;
    clock.start();
    int sinceCheck = 0;
    while (!m_done) {
        if (budgetMs >= 0 && ++sinceCheck == RecordsPerClockCheck) {
            sinceCheck = 0;
            if (clock.elapsed() >= budgetMs)
                break;
        }
        const std::optional<DirectoryRecord> record = m_reader.next();
        if (!record) {
            m_failed = m_failed || m_reader.failed();
            m_done = true;
            break;
        }
        if (m_sink)
            m_sink(*record);
        if (record->hasAddress() && record->address == m_own) {
            ++m_removed;
            continue;
        }
        if (record->kind == DirectoryRecord::Kind::Peer)
            Directory::appendShutdownRecord(m_chunk, record->address, record->portValue);
        else
            m_chunk += record->raw;
        if (m_chunk.size() >= WriteChunk && !flush())
            break;
    }
    // What a slice gathered is on the device when it returns.
    if (!flush())
        m_done = true;
    return m_done;
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
