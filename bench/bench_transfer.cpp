// Moves one large file through the transfer protocol between two peers on
// loopback and, in the same run, through a plain `nc` pipe, and prints:
// throughput of both and their ratio, the added peak memory of the
// downloading process, and how late a 10 ms timer of that process fired at
// worst while the file came in.
//
// The serving peer is this program run a second time with --serve, so the
// downloading process holds only what a copy of the program holds while it
// downloads: the download client and the progress window with its list.
//
// FERRIN_BENCH_TRANSFER_MIB sets the size (default 100; 1024 for 1 GiB).
// The figures are printed, never judged.

#include "app/windows/frmdp.h"
#include "app/windows/progresslist.h"
#include "net/downloadclient.h"
#include "net/uploadresponder.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMainWindow>
#include <QMdiArea>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr qint64 DefaultMiB = 100;
constexpr int TickMs = 10;
constexpr int ServerStartMs = 10000;
constexpr int NcRetries = 50;
constexpr int NcRetryPauseMs = 20;
constexpr int NcWaitMs = 10 * 60 * 1000;
const QString ServingAddress = QStringLiteral("127.0.0.2");
const QString DownloadingAddress = QStringLiteral("127.0.0.3");
const QString NcAddress = QStringLiteral("127.0.0.1");
const QString FileName = QStringLiteral("bench.bin");

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

/// A field of /proc/self/status, in KiB.
qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

/// Starts counting the peak of the resident set afresh.
void resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

bool makeFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(MiB, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (char &c : block) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    for (qint64 at = 0; at < size; at += block.size()) {
        // Each block is told apart from the others by its position.
        memcpy(block.data(), &at, sizeof at);
        if (file.write(block.constData(), std::min<qint64>(block.size(), size - at)) < 0)
            return false;
    }
    return true;
}

QByteArray digest(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QByteArray();
    return hash.result();
}

quint16 freePort(const QString &address)
{
    QTcpServer probe;
    return probe.listen(QHostAddress(address), 0) ? probe.serverPort() : 0;
}

double rate(qint64 bytes, qint64 ns)
{
    return ns > 0 ? (double(bytes) / MiB) / (double(ns) / 1e9) : 0.0;
}

/// The file through nc: listener first, then the sender until it gets in.
qint64 ncCopy(const QString &source, const QString &target)
{
    const quint16 port = freePort(NcAddress);
    QProcess listener;
    listener.setStandardInputFile(QProcess::nullDevice());
    listener.setStandardOutputFile(target);
    listener.start(QStringLiteral("nc"), {QStringLiteral("-l"), NcAddress, QString::number(port)});
    if (!listener.waitForStarted())
        return -1;
    QElapsedTimer clock;
    for (int attempt = 0; attempt < NcRetries; ++attempt) {
        QProcess sender;
        sender.setStandardInputFile(source);
        sender.setStandardOutputFile(QProcess::nullDevice());
        clock.start();
        sender.start(QStringLiteral("nc"), {QStringLiteral("-N"), NcAddress, QString::number(port)});
        if (!sender.waitForFinished(NcWaitMs))
            break;
        if (sender.exitCode() == 0) {
            listener.waitForFinished(NcWaitMs);
            return clock.nsecsElapsed();
        }
        // The listener was not up yet.
        QThread::msleep(NcRetryPauseMs);
    }
    listener.kill();
    listener.waitForFinished();
    return -1;
}

int serve(const QString &folder, const QString &address)
{
    UploadResponder responder(folder, address, 0);
    if (!responder.start())
        return 1;
    out() << "PORT " << responder.port() << Qt::endl;
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--serve") == 0) {
        QCoreApplication app(argc, argv);
        return serve(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    }
    QApplication app(argc, argv);
    const qint64 mib = std::max<qint64>(1, qEnvironmentVariableIntValue("FERRIN_BENCH_TRANSFER_MIB")
                                               ? qEnvironmentVariableIntValue("FERRIN_BENCH_TRANSFER_MIB")
                                               : DefaultMiB);
    const qint64 size = mib * MiB;

    QTemporaryDir servingFolder;
    QTemporaryDir downloadingFolder;
    QDir(servingFolder.path()).mkdir(QStringLiteral("Shared"));
    QDir(downloadingFolder.path()).mkdir(QStringLiteral("Downloads"));
    const QString source = servingFolder.filePath(QStringLiteral("Shared/") + FileName);
    if (!makeFile(source, size)) {
        out() << "cannot write the test file" << Qt::endl;
        return 1;
    }
    const QByteArray sourceDigest = digest(source);

    out() << "transfer bench: " << mib << " MiB on loopback; serving peer in a second process" << Qt::endl;

    // The same file through nc, for a yardstick.
    const QString ncTarget = downloadingFolder.filePath(QStringLiteral("nc.out"));
    const qint64 ncNs = ncCopy(source, ncTarget);
    const bool ncExact = ncNs > 0 && digest(ncTarget) == sourceDigest;
    QFile::remove(ncTarget);

    QProcess server;
    server.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--serve"), servingFolder.path(), ServingAddress});
    if (!server.waitForReadyRead(ServerStartMs)) {
        out() << "the serving peer did not start" << Qt::endl;
        return 1;
    }
    const quint16 port = QString::fromLatin1(server.readLine()).section(u' ', 1).trimmed().toUShort();

    // The downloading copy: its client and its progress window, shown.
    QMainWindow frame;
    auto *area = new QMdiArea(&frame);
    frame.setCentralWidget(area);
    auto *window = new frmDP(&frame);
    area->addSubWindow(window);
    frame.show();
    window->show();
    DownloadClient client(downloadingFolder.path(), DownloadingAddress, port);
    QObject::connect(&client, &DownloadClient::progressCleared, window, &frmDP::clearProgress);
    QObject::connect(&client, &DownloadClient::progressLine, window, &frmDP::addProgressLine);
    QObject::connect(&client, &DownloadClient::bytesReceived, window, &frmDP::addProgressBytes);
    QCoreApplication::processEvents();

    qint64 worstLateNs = 0;
    qint64 ticks = 0;
    QElapsedTimer tickClock;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(TickMs);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = tickClock.nsecsElapsed();
        worstLateNs = std::max(worstLateNs, now - qint64(TickMs) * 1000000);
        ++ticks;
        tickClock.start();
    });

    bool complete = false;
    QEventLoop loop;
    QObject::connect(&client, &DownloadClient::finished, [&](bool ok) {
        complete = ok;
        loop.quit();
    });
    const qint64 rssBefore = statusKiB("VmRSS:");
    resetPeak();
    QElapsedTimer clock;
    clock.start();
    tickClock.start();
    ticker.start();
    const QString entry = ServingAddress + QChar(0x00A7) + FileName;
    if (client.startdownload(entry))
        loop.exec();
    const qint64 ns = clock.nsecsElapsed();
    ticker.stop();
    const qint64 peak = statusKiB("VmHWM:");
    // The list is scrolled to its last line once, as a user would.
    ProgressList *list = window->DL();
    QElapsedTimer scroll;
    scroll.start();
    list->scrollToBottom();
    list->repaint();
    const qint64 scrollNs = scroll.nsecsElapsed();

    const QString target = client.targetPath(entry);
    const bool exact = complete && digest(target) == sourceDigest;
    QFile::remove(target);
    QFile::remove(source);
    server.kill();
    server.waitForFinished();

    const double ncRate = rate(size, ncNs);
    const double ourRate = rate(size, ns);
    out() << Qt::fixed;
    out().setRealNumberPrecision(1);
    if (ncNs > 0)
        out() << "  nc:          " << ncRate << " MiB/s (" << ncNs / 1e6 << " ms)" << (ncExact ? "" : ", NOT byte-exact")
              << Qt::endl;
    else
        out() << "  nc:          did not run" << Qt::endl;
    out() << "  transfer:    " << ourRate << " MiB/s (" << ns / 1e6 << " ms)"
          << (exact ? ", byte-exact" : ", NOT byte-exact") << Qt::endl;
    out().setRealNumberPrecision(2);
    if (ncNs > 0)
        out() << "  ratio:       " << ourRate / ncRate << " of nc (goal >= 0.5)" << Qt::endl;
    out().setRealNumberPrecision(1);
    out() << "  memory:      " << rssBefore / 1024.0 << " MiB before, peak " << peak / 1024.0 << " MiB, added "
          << (peak - rssBefore) / 1024.0 << " MiB (goal <= 64 MiB for 1 GiB)" << Qt::endl;
    out() << "  event loop:  worst lateness of a " << TickMs << " ms timer " << worstLateNs / 1e6 << " ms over "
          << ticks << " ticks (goal <= 20 ms)" << Qt::endl;
    out() << "  list:        " << list->model()->rowCount() << " lines; scrolling to the last took "
          << scrollNs / 1e6 << " ms" << Qt::endl;
    return exact ? 0 : 1;
}
