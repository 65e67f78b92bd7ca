// Figures for the search: one peer holding 10 000 shared files, and a table
// of 20 entries of which half are dead. Prints; never fails on a number.
//
//   bench_search                           runs every case
//   bench_search --serve FOLDER ADDR GAP   (internal) a responder in a process
//                                          of its own, printing its port

#include "net/searchclient.h"
#include "net/searchprotocol.h"
#include "net/searchresponder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>
#include <vector>

namespace {

constexpr int SharedFiles = 10000;
constexpr int RareFiles = 10;
constexpr int Rounds = 5;
constexpr int TableEntries = 20;
constexpr int ServeStartMs = 10000;
constexpr int SettleMs = 50;

struct Figures
{
    double bestMs = 0;
    double medianMs = 0;
    qsizetype names = 0;
    // Over the rounds: the fewest entries, and the smallest share of entries
    // that hold exactly one name.
    qsizetype fewestEntries = 0;
    double worstSingleShare = 1;
};

void fillShared(const QString &programFolder, int files, int rare)
{
    const QString shared = programFolder + QStringLiteral("/Shared/");
    QDir().mkpath(shared);
    for (int i = 0; i < files; ++i) {
        const QString name = i < rare ? QStringLiteral("rare %1 live.mp3").arg(i, 5, 10, QLatin1Char('0'))
                                      : QStringLiteral("track %1 live.mp3").arg(i, 5, 10, QLatin1Char('0'));
        QFile file(shared + name);
        file.open(QIODevice::WriteOnly);
    }
}

// Runs one search to its end.
void runSearch(SearchClient &client, const QString &query, const QStringList &peers)
{
    QEventLoop loop;
    QObject::connect(&client, &SearchClient::searchFinished, &loop, &QEventLoop::quit);
    if (client.search(query, peers))
        loop.exec();
}

// Times Rounds searches. Every shared name ends in ".mp3", so an entry that
// holds more than one is names joined.
Figures timeSearch(const QString &query, const QStringList &peers, quint16 port)
{
    SearchClient client;
    client.setPort(port);
    qsizetype entries = 0;
    qsizetype names = 0;
    qsizetype single = 0;
    QObject::connect(&client, &SearchClient::resultEntry, [&](const QString &entry) {
        const qsizetype inEntry = entry.count(QStringLiteral(".mp3"));
        ++entries;
        names += inEntry;
        if (inEntry == 1 && entry.endsWith(QStringLiteral(".mp3")))
            ++single;
    });
    std::vector<double> times;
    Figures figures;
    figures.fewestEntries = std::numeric_limits<qsizetype>::max();
    for (int round = 0; round < Rounds; ++round) {
        entries = names = single = 0;
        QElapsedTimer timer;
        timer.start();
        runSearch(client, query, peers);
        times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        figures.names = std::max(figures.names, names);
        figures.fewestEntries = std::min(figures.fewestEntries, entries);
        if (entries > 0)
            figures.worstSingleShare = std::min(figures.worstSingleShare, static_cast<double>(single) / entries);
        // A responder listens again only after its close has reached us; give
        // it a moment before the next round so that it is not refused.
        QEventLoop settle;
        QTimer::singleShot(SettleMs, &settle, &QEventLoop::quit);
        settle.exec();
    }
    std::sort(times.begin(), times.end());
    figures.bestMs = times.front();
    figures.medianMs = times[times.size() / 2];
    return figures;
}

void print(const char *what, const Figures &f)
{
    std::printf("%-52s best %8.1f ms  median %8.1f ms  names %5lld  entries >= %5lld  one-name entries >= %5.1f %%\n",
                what, f.bestMs, f.medianMs, static_cast<long long>(f.names), static_cast<long long>(f.fewestEntries),
                100.0 * f.worstSingleShare);
}

int serve(const QString &folder, const QString &address, int gapMs)
{
    SearchResponder responder(folder, address, 0);
    responder.setNameGap(gapMs);
    if (!responder.start())
        return 1;
    std::printf("%u\n", responder.localPort());
    std::fflush(stdout);
    return QCoreApplication::exec();
}

void oneLargePeer()
{
    QTemporaryDir folder;
    fillShared(folder.path(), SharedFiles, RareFiles);
    const QString all = QStringLiteral("live.mp3");
    const QString few = QStringLiteral("rare");

    // Responder and client in one process, as when a copy searches itself.
    SearchResponder responder(folder.path(), QStringLiteral("127.0.0.2"), 0);
    if (!responder.start()) {
        std::printf("cannot listen: %s\n", qPrintable(responder.errorString()));
        return;
    }
    const QStringList local{QStringLiteral("127.0.0.2")};
    print("one peer, all match (same process)", timeSearch(all, local, responder.localPort()));
    print("one peer, 10 match (same process)", timeSearch(few, local, responder.localPort()));

    // Responder in a process of its own, as another copy on the network:
    // as the program runs it, and without any pause between names.
    for (const int gapMs : {SearchResponder::NameGapMs, 0}) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--serve"), folder.path(), QStringLiteral("127.0.0.3"), QString::number(gapMs)});
        if (!child.waitForReadyRead(ServeStartMs)) {
            std::printf("the serving process did not start\n");
            return;
        }
        const auto port = static_cast<quint16>(child.readLine().trimmed().toUInt());
        const QStringList remote{QStringLiteral("127.0.0.3")};
        const QByteArray gap = QByteArray::number(gapMs);
        print(("one peer, all match (other process, gap " + gap + " ms)").constData(), timeSearch(all, remote, port));
        print(("one peer, 10 match (other process, gap " + gap + " ms)").constData(), timeSearch(few, remote, port));
        child.terminate();
        if (!child.waitForFinished(ServeStartMs))
            child.kill();
    }
}

void halfDeadTable()
{
    // Live peers on 127.0.1.x, dead entries on 127.0.2.x where nothing listens,
    // alternating.
    QTemporaryDir folder;
    fillShared(folder.path(), 5, 1);
    std::vector<std::unique_ptr<SearchResponder>> live;
    quint16 port = 0;
    QStringList addresses;
    for (int i = 0; i < TableEntries / 2; ++i) {
        const QString address = QStringLiteral("127.0.1.%1").arg(i + 1);
        live.push_back(std::make_unique<SearchResponder>(folder.path(), address, port));
        if (!live.back()->start()) {
            std::printf("cannot listen at %s: %s\n", qPrintable(address), qPrintable(live.back()->errorString()));
            return;
        }
        port = live.back()->localPort();
        addresses << address << QStringLiteral("127.0.2.%1").arg(i + 1);
    }
    print("20 entries, 10 refuse (nothing listening)", timeSearch(QStringLiteral("rare"), addresses, port));

    // A host that drops the connection attempt costs the whole connect limit:
    // a listener whose queue of one is full stands in for it.
    QTcpServer full;
    full.setListenBacklogSize(0);
    if (!full.listen(QHostAddress(QStringLiteral("127.0.3.1")), port))
        return;
    full.pauseAccepting();
    QTcpSocket filler;
    filler.connectToHost(QStringLiteral("127.0.3.1"), port);
    if (!filler.waitForConnected(ServeStartMs))
        return;
    SearchClient client;
    client.setPort(port);
    QElapsedTimer timer;
    timer.start();
    runSearch(client, QStringLiteral("rare"), {QStringLiteral("127.0.3.1")});
    std::printf("%-58s %8.1f ms  (connect limit %d ms; 10 such entries cost %d s)\n",
                "one entry that drops the connection attempt", static_cast<double>(timer.nsecsElapsed()) / 1e6,
                SearchClient::ConnectTimeoutMs, 10 * SearchClient::ConnectTimeoutMs / 1000);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 5 && args.at(1) == QStringLiteral("--serve"))
        return serve(args.at(2), args.at(3), args.at(4).toInt());
    oneLargePeer();
    halfDeadTable();
    return 0;
}
