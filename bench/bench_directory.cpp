// Loading the central directory into the peer table: the time for a file of
// 100000 records (the table's limit) and of 120000 (past it), against a plain
// line-by-line read of the same bytes.

#include "directory/directory.h"

#include <QElapsedTimer>
#include <QList>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

QByteArray makeDirectory(int records)
{
    QByteArray file;
    file.reserve(records * 22);
    for (int i = 0; i < records; ++i) {
        const QString address = QStringLiteral("10.%1.%2.%3").arg(i >> 16 & 255).arg(i >> 8 & 255).arg(i & 255);
        // Half of them as written at exit, half as registered at start-up.
        file += i % 2 ? Directory::shutdownRecord(address, static_cast<qint16>(i % 30000))
                      : Directory::startupRecord(address, 0);
    }
    return file;
}

double bestOf(int runs, const std::function<void()> &work)
{
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        QElapsedTimer timer;
        timer.start();
        work();
        best = std::min(best, timer.nsecsElapsed() / 1e9);
    }
    return best;
}

} // namespace

int main()
{
    for (int records : {100000, 120000}) {
        const QByteArray file = makeDirectory(records);
        qint64 stored = 0;
        const double load = bestOf(5, [&] {
            PeerTable table;
            Directory::load(table, file);
            stored = table.readerBound();
        });
        qint64 lines = 0;
        const double plain = bestOf(5, [&] {
            lines = 0;
            for (const QByteArray &line : file.split('\n'))
                lines += line.isEmpty() ? 0 : 1;
        });
        std::printf("directory load: %d records (%lld stored, %lld lines): %.3f s, plain line read %.3f s, ratio %.1f\n",
                    records, static_cast<long long>(stored), static_cast<long long>(lines), load, plain,
                    plain > 0 ? load / plain : 0.0);
    }
    return 0;
}
