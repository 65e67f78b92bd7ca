#include "directory/recordcount.h"

#include <QByteArrayView>
#include <QElapsedTimer>

#include <cstring>

namespace {

// Bytes searched between two looks at the clock.
constexpr qint64 Piece = 1 << 20;

bool isLineEnd(char c)
{
    return c == '\n' || c == '\r';
}

} // namespace

RecordCount::RecordCount(const QString &path, const QString &address)
    : m_file(path)
    , m_needle('"' + address.toLatin1() + '"')
{
    m_done = !m_file.open(QIODevice::ReadOnly);
}

bool RecordCount::step(int budgetMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!m_done) {
        const qsizetype carried = m_buffer.size();
        m_buffer.resize(carried + Piece);
        const qint64 got = m_file.read(m_buffer.data() + carried, Piece);
        if (got <= 0) {
            m_done = true;
            break;
        }
        m_buffer.resize(carried + got);
        const QByteArrayView piece(m_buffer);
        for (qsizetype at = piece.indexOf(m_needle); at >= 0; at = piece.indexOf(m_needle, at + 1)) {
            if (at == 0 ? m_lineStartBefore : isLineEnd(piece[at - 1]))
                ++m_count;
        }
        // An occurrence across the border of two pieces is counted with the
        // second: too short to hold one, the bytes carried are never counted
        // twice.
        const qsizetype keep = qMin(m_needle.size() - 1, m_buffer.size());
        if (keep < m_buffer.size())
            m_lineStartBefore = isLineEnd(m_buffer.at(m_buffer.size() - keep - 1));
        std::memmove(m_buffer.data(), m_buffer.constData() + m_buffer.size() - keep, size_t(keep));
        m_buffer.resize(keep);
        if (budgetMs >= 0 && clock.elapsed() >= budgetMs)
            return m_done;
    }
    return true;
}
