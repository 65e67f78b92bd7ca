#include "directory/filecomparison.h"

#include <QElapsedTimer>

namespace {

// Bytes compared between two looks at the clock.
constexpr qint64 Piece = 1 << 20;

} // namespace

FileComparison::FileComparison(const QString &path, const QString &reference, Mode mode)
    : m_file(path)
    , m_reference(reference)
{
    if (!m_file.open(QIODevice::ReadOnly) || !m_reference.open(QIODevice::ReadOnly)
        || (mode == Mode::Same ? m_file.size() != m_reference.size() : m_file.size() < m_reference.size()))
        m_done = true;
}

bool FileComparison::step(int budgetMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!m_done) {
        if (m_reference.atEnd()) {
            m_matches = true;
            m_done = true;
            break;
        }
        const QByteArray want = m_reference.read(Piece);
        if (want.isEmpty() || m_file.read(want.size()) != want) {
            m_done = true;
            break;
        }
        if (budgetMs >= 0 && clock.elapsed() >= budgetMs)
            return m_done;
    }
    return true;
}
