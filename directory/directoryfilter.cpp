#include "directory/directoryfilter.h"

#include "directory/directory.h"

#include <QElapsedTimer>
#include <QIODevice>

#include <utility>

namespace {

// Records between two looks at the clock.
constexpr int RecordsPerClockCheck = 256;

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
                return false;
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
        const QByteArray bytes = record->kind == DirectoryRecord::Kind::Peer
            ? Directory::shutdownRecord(record->address, record->portValue)
            : record->raw;
        if (m_out->write(bytes) != bytes.size()) {
            m_failed = true;
            m_done = true;
            break;
        }
        if (record->hasAddress())
            ++m_kept;
    }
    return true;
}
