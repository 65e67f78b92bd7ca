#include "directory/filecopy.h"

#include <QByteArray>
#include <QElapsedTimer>

namespace {

// Bytes copied between two looks at the clock.
constexpr qint64 Piece = 1 << 20;

} // namespace

FileCopy::FileCopy(const QString &from, const QString &to)
    : m_from(from)
    , m_to(to)
{
    if (!m_from.open(QIODevice::ReadOnly))
        fail(m_from);
    else if (!m_to.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail(m_to);
}

bool FileCopy::step(int budgetMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!m_done) {
        const QByteArray piece = m_from.read(Piece);
        if (piece.isEmpty()) {
            if (m_from.error() != QFileDevice::NoError)
                fail(m_from);
            else if (!m_to.flush())
                fail(m_to);
            m_done = true;
            break;
        }
        if (m_to.write(piece) != piece.size()) {
            fail(m_to);
            break;
        }
        if (budgetMs >= 0 && clock.elapsed() >= budgetMs)
            return m_done;
    }
    return true;
}

void FileCopy::fail(const QFile &file)
{
    m_error = QStringLiteral("%1: %2").arg(file.fileName(), file.errorString());
    m_done = true;
}
