// Figures for the search. Prints; never fails on a number.
//
// 1. One peer holding 10 000 shared files: the time, and how many names come
//    in one entry.
// 2. Directories of 10, 100 and 1000 peers with 0, 10 and 30 % dead entries:
//    the time of a whole search, asking up to SearchClient::MaxConnections
//    peers at once, and beside it asking one peer after the other. The
//    peers are fake responders in one helper process, each on an address of
//    its own (127.1.x.y), answering with a few names paced as the program's
//    responder paces them, then closing. A dead entry
//    is a host that drops the connection attempt, so that it costs the
//    connect bound: a listener (on 127.2.x.y) whose accept queue of one is
//    full and never taken stands in for it; a probe checks that this holds.
//    One-at-a-time rows that would take longer than a budget are estimated
//    instead: dead entries times the connect bound, plus the live peers at
//    the pace of the row without dead entries.
// 3. Floods: hostile fake peers in one helper process on loopback answer
//    every search with far more than any copy would: 64 and 200 peers of
//    16 MiB each in 256 KiB sends, and 200 peers of 100 000 one-byte
//    segments each. The search window is on screen (offscreen platform,
//    unless QT_QPA_PLATFORM says otherwise) and gets the entries the way the
//    main window hands them on. Printed: the whole search's time, the worst
//    lateness of a 10 ms timer on the window's thread, the peak growth of
//    resident memory, and how long clearing the list then takes (what a new
//    search does first).
//
//   bench_search                           runs every case
//   bench_search --serve FOLDER ADDR GAP   (internal) a responder in a process
//                                          of its own, printing its port
//   bench_search --fleet LIVE DEAD         (internal) LIVE fake responders and
//                                          DEAD dropping hosts, printing the port
//   bench_search --flood PEERS SENDS BYTES (internal) PEERS fake peers that
//                                          answer with SENDS sends of BYTES
//                                          bytes each, printing the port
//
// FERRIN_BENCH_SEARCH_ROUNDS (default 2): searches per figure, best shown
// with the range. FERRIN_BENCH_SEARCH_SEQUENTIAL_S (default 120): the most a
// one-at-a-time row may take, all its rounds together, to be run.
// FERRIN_BENCH_SEARCH_ROWS=100/0,1000/30: only those rows of the table, and
// not the one-peer figures. FERRIN_BENCH_SEARCH_FLOODS=64x16MiB,200x1B: only
// those floods (of 64x16MiB, 200x16MiB, 200x1B); either setting alone runs
// only what it names.

#include "app/windows/frmsearch.h"
#include "app/windows/searchresultsmodel.h"
#include "net/searchclient.h"
#include "net/searchresponder.h"
#include "net/transferprotocol.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QMainWindow>
#include <QMdiArea>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int SharedFiles = 10000;
constexpr int RareFiles = 10;
constexpr int Rounds = 5;
// The directories: their sizes, shares of dead entries, and the names each
// live peer answers with.
constexpr int DirectorySizes[] = {10, 100, 1000};
constexpr int DeadShares[] = {0, 10, 30};
constexpr int MostPeers = 1000;
constexpr int MostDead = MostPeers * 30 / 100;
constexpr int NamesPerPeer = 3;
constexpr int DefaultRounds = 2;
constexpr int DefaultSequentialBudgetS = 120;
// A connection attempt to a dead host that completes within this is a sign
// that the stand-in does not drop it.
constexpr int ProbeMs = 300;
constexpr int FleetStartMs = 60000;
constexpr int SearchDeadlineMs = 30 * 60 * 1000;
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
    QObject::connect(&client, &SearchClient::resultEntries, [&](const QStringList &batch) {
        for (const QString &entry : batch) {
            const qsizetype inEntry = entry.count(QStringLiteral(".mp3"));
            ++entries;
            names += inEntry;
            if (inEntry == 1 && entry.endsWith(QStringLiteral(".mp3")))
                ++single;
        }
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
    std::printf("%u\n", responder.port());
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
    print("one peer, all match (same process)", timeSearch(all, local, responder.port()));
    print("one peer, 10 match (same process)", timeSearch(few, local, responder.port()));

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

// --- directories of many peers ------------------------------------------------

QString liveAddress(int k)
{
    return QStringLiteral("127.1.%1.%2").arg(k / 250).arg(k % 250 + 1);
}

QString deadAddress(int j)
{
    return QStringLiteral("127.2.%1.%2").arg(j / 250).arg(j % 250 + 1);
}

// A thousand listeners and their connections need more than the usual 1024
// open files.
void raiseFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The names every live peer holds; those with "live" in them answer the
// search.
std::vector<std::string> fleetNames()
{
    std::vector<std::string> names;
    for (int i = 0; i < NamesPerPeer + 2; ++i)
        names.push_back("track " + std::to_string(i) + (i < NamesPerPeer ? " live.mp3" : " studio.mp3"));
    return names;
}

// What the two helper processes below share: an epoll loop over listeners
// and the connections they accept, which ends when this process's input does
// (the bench closes it as it ends). Peers serves a connection in
// ready(fd, events) and does its timed work in due(), which returns the time
// until it wants to run again, in milliseconds, or -1 for never.
template<typename Peers, typename Asker>
class EpollPeers
{
protected:
    enum Kind : quint32 { InputFd, ListenerFd, AskerFd };

    bool open()
    {
        raiseFileLimit();
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
        if (m_epoll < 0)
            return false;
        watch(STDIN_FILENO, InputFd);
        return true;
    }

    static sockaddr_in address(const QString &text, quint16 port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, text.toLatin1().constData(), &a.sin_addr);
        return a;
    }

    static int fail(const char *what, const QString &where = QString())
    {
        std::printf("error: %s %s: %s\n", what, qPrintable(where), std::strerror(errno));
        std::fflush(stdout);
        return 1;
    }

    // Listens at address; port 0 takes a free one and sets it.
    static int listenAt(const QString &text, quint16 *port, int backlog)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a = address(text, *port);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0)
            return -1;
        socklen_t size = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size);
        *port = ntohs(a.sin_port);
        return fd;
    }

    void watch(int fd, Kind kind, quint32 events = EPOLLIN, int op = EPOLL_CTL_ADD)
    {
        epoll_event event{};
        event.events = events;
        event.data.u64 = (quint64(kind) << 32) | quint32(fd);
        epoll_ctl(m_epoll, op, fd, &event);
    }

    void drop(int fd)
    {
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        m_askers.erase(fd);
    }

    int loop()
    {
        std::array<epoll_event, 256> events{};
        int timeout = -1;
        for (;;) {
            const int n = epoll_wait(m_epoll, events.data(), int(events.size()), timeout);
            for (int i = 0; i < n; ++i) {
                const auto kind = Kind(events[i].data.u64 >> 32);
                const int fd = int(events[i].data.u64 & 0xffffffffu);
                if (kind == InputFd) {
                    char byte = 0;
                    if (::read(fd, &byte, 1) <= 0)
                        return 0;
                } else if (kind == ListenerFd) {
                    acceptAll(fd);
                } else if (m_askers.count(fd)) {
                    static_cast<Peers *>(this)->ready(fd, events[i].events);
                }
            }
            timeout = static_cast<Peers *>(this)->due();
        }
    }

    std::map<int, Asker> m_askers;

private:
    void acceptAll(int listener)
    {
        for (;;) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                return;
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            m_askers[fd] = Asker();
            watch(fd, AskerFd);
        }
    }

    int m_epoll = -1;
};

struct FleetAsker
{
    std::vector<const std::string *> answer;
    size_t next = 0;
    std::chrono::steady_clock::time_point due;
    bool answering = false;
};

// The responders of the table, all in one process, on an epoll loop of their
// own. An event loop that polls every one of a thousand listeners on each
// round would cost more than the search it serves, and the figures would
// show the helper instead of the search. Each live peer answers as the
// program's responder does: every matching name as a segment of its own, the
// first ones SearchResponder::NameGapMs apart, then it closes.
class Fleet : public EpollPeers<Fleet, FleetAsker>
{
    friend EpollPeers;

public:
    int run(int live, int dead)
    {
        if (!open())
            return fail("epoll");
        quint16 port = 0;
        for (int k = 0; k < live; ++k) {
            const int fd = listenAt(liveAddress(k), &port, SOMAXCONN);
            if (fd < 0)
                return fail("cannot listen at", liveAddress(k));
            watch(fd, ListenerFd);
        }
        // A dead host: a listener with room for one waiting connection,
        // filled by a connection of its own and never accepted. The system
        // then drops every further connection attempt, as from a host that
        // is gone.
        for (int j = 0; j < dead; ++j) {
            if (listenAt(deadAddress(j), &port, 0) < 0)
                return fail("cannot listen at", deadAddress(j));
            const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in to = address(deadAddress(j), port);
            if (filler < 0 || ::connect(filler, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0)
                return fail("cannot fill the queue at", deadAddress(j));
        }
        std::printf("%u\n", port);
        std::fflush(stdout);
        return loop();
    }

private:
    // Takes a query and sets up its answer.
    void ready(int fd, quint32)
    {
        char buffer[4096];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            drop(fd);
            return;
        }
        auto &asker = m_askers[fd];
        if (asker.answering)
            return;
        const std::string query(buffer, size_t(got));
        for (const std::string &name : m_names) {
            if (name.find(query) != std::string::npos)
                asker.answer.push_back(&name);
        }
        asker.answering = true;
        asker.due = std::chrono::steady_clock::now();
    }

    // Sends the names that are due; returns the time until the next one, in
    // whole milliseconds for epoll_wait, or -1 when none waits.
    int due()
    {
        const auto now = std::chrono::steady_clock::now();
        std::vector<int> done;
        auto wait = std::chrono::steady_clock::duration::max();
        for (auto &[fd, asker] : m_askers) {
            if (!asker.answering)
                continue;
            if (asker.due <= now) {
                if (asker.next < asker.answer.size()) {
                    const std::string &name = *asker.answer[asker.next++];
                    ::send(fd, name.data(), name.size(), MSG_NOSIGNAL);
                    const int gap = int(asker.next) < SearchResponder::PacedNames ? SearchResponder::NameGapMs : 0;
                    asker.due = now + std::chrono::milliseconds(gap);
                }
                if (asker.next >= asker.answer.size()) {
                    done.push_back(fd);
                    continue;
                }
            }
            wait = std::min(wait, asker.due - now);
        }
        for (const int fd : done)
            drop(fd);
        if (wait == std::chrono::steady_clock::duration::max())
            return -1;
        // Round up: waking early only means another round.
        return int(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
    }

    const std::vector<std::string> m_names = fleetNames();
};

// How many of the dead hosts let a connection attempt through within ProbeMs.
int probeDeadHosts(int dead, quint16 port)
{
    std::vector<std::unique_ptr<QTcpSocket>> probes;
    for (int j = 0; j < dead; ++j) {
        probes.push_back(std::make_unique<QTcpSocket>());
        probes.back()->connectToHost(QHostAddress(deadAddress(j)), port);
    }
    idle(ProbeMs);
    int answered = 0;
    for (const auto &probe : probes) {
        if (probe->state() == QAbstractSocket::ConnectedState)
            ++answered;
        probe->abort();
    }
    return answered;
}

// One directory: live peers and dead entries, the dead ones spread evenly.
struct Table
{
    int peers = 0;
    int dead = 0;
    QStringList addresses;
    QHash<QString, int> position;

    Table(int size, int deadShare)
        : peers(size)
        , dead(size * deadShare / 100)
    {
        int live = 0;
        int gone = 0;
        for (int i = 0; i < size; ++i) {
            const bool isDead = (i + 1) * dead / size > i * dead / size;
            const QString address = isDead ? deadAddress(gone++) : liveAddress(live++);
            position.insert(address, i);
            addresses << address;
        }
    }
    int live() const { return peers - dead; }
};

// Processor time a process has used so far, in nanoseconds.
qint64 processorNs(qint64 pid)
{
    QFile file(pid > 0 ? QStringLiteral("/proc/%1/schedstat").arg(pid) : QStringLiteral("/proc/self/schedstat"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().split(' ').value(0).toLongLong();
}

struct Outcome
{
    double seconds = 0;
    double benchCpu = 0;  // seconds on the processor, this process
    double helperCpu = 0; // and the responders' process
    qsizetype names = 0;
    bool inOrder = true;
    bool finished = false;
};

Outcome searchOnce(const Table &table, quint16 port, int maxConnections, qint64 helper)
{
    SearchClient client;
    client.setPort(port);
    client.setMaxConnections(maxConnections);
    Outcome outcome;
    int last = -1;
    QObject::connect(&client, &SearchClient::resultEntries, [&](const QStringList &entries) {
        for (const QString &entry : entries) {
            const int at = table.position.value(entry.section(TransferProtocol::Separator, 0, 0), -1);
            if (at < last || at < 0)
                outcome.inOrder = false;
            last = std::max(last, at);
            outcome.names += entry.count(QStringLiteral(".mp3"));
        }
    });
    QEventLoop loop;
    QObject::connect(&client, &SearchClient::searchFinished, &loop, [&] {
        outcome.finished = true;
        loop.quit();
    });
    QTimer::singleShot(SearchDeadlineMs, &loop, &QEventLoop::quit);
    const qint64 benchBefore = processorNs(0);
    const qint64 helperBefore = processorNs(helper);
    QElapsedTimer timer;
    timer.start();
    if (client.search(QStringLiteral("live"), table.addresses))
        loop.exec();
    outcome.seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    outcome.benchCpu = (processorNs(0) - benchBefore) / 1e9;
    outcome.helperCpu = (processorNs(helper) - helperBefore) / 1e9;
    client.cancel();
    return outcome;
}

struct Column
{
    double best = 0;
    double worst = 0;
    double benchCpu = 0; // of the best round
    double helperCpu = 0;
    bool estimated = false;
    bool run = false;
    QString check;
};

// rounds searches: best and worst time, and whether every one of them brought
// every name, in directory order.
Column measure(const Table &table, quint16 port, int maxConnections, int rounds, qint64 helper)
{
    Column column;
    column.run = true;
    column.best = 1e300;
    const qsizetype expected = qsizetype(table.live()) * NamesPerPeer;
    QStringList faults;
    for (int round = 0; round < rounds; ++round) {
        const Outcome outcome = searchOnce(table, port, maxConnections, helper);
        if (outcome.seconds < column.best) {
            column.benchCpu = outcome.benchCpu;
            column.helperCpu = outcome.helperCpu;
        }
        column.best = std::min(column.best, outcome.seconds);
        column.worst = std::max(column.worst, outcome.seconds);
        if (!outcome.finished)
            faults << QStringLiteral("did not end");
        if (outcome.names != expected)
            faults << QStringLiteral("%1 of %2 names").arg(outcome.names).arg(expected);
        if (!outcome.inOrder)
            faults << QStringLiteral("out of order");
        // A responder listens again once its answer has gone; a moment
        // lets the last ones do so before the next round.
        idle(SettleMs * 2);
    }
    faults.removeDuplicates();
    column.check = faults.isEmpty() ? QStringLiteral("%1 names, in order").arg(expected) : faults.join(u", ");
    return column;
}

// The goal a row of the concurrent walk has, in seconds; 0 for none.
double goalFor(int peers, int deadShare)
{
    if (peers <= 100 && deadShare > 0)
        return 3.5;
    if (peers == 1000 && deadShare == 30)
        return 10;
    if (peers == 100 && deadShare == 0)
        return 0.05;
    return 0;
}

QString seconds(double s)
{
    return s < 1 ? QStringLiteral("%1 ms").arg(s * 1000, 0, 'f', 1) : QStringLiteral("%1 s").arg(s, 0, 'f', 2);
}

// "best (best..worst)" in the unit of the best.
QString figure(double best, double worst)
{
    if (best < 1)
        return QStringLiteral("%1 ms (%2..%3)").arg(best * 1000, 0, 'f', 1).arg(best * 1000, 0, 'f', 1).arg(worst * 1000, 0, 'f', 1);
    return QStringLiteral("%1 s (%2..%3)").arg(best, 0, 'f', 2).arg(best, 0, 'f', 2).arg(worst, 0, 'f', 2);
}

int settingFromEnvironment(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

void manyPeers()
{
    const int rounds = settingFromEnvironment("FERRIN_BENCH_SEARCH_ROUNDS", DefaultRounds);
    const int budgetS = settingFromEnvironment("FERRIN_BENCH_SEARCH_SEQUENTIAL_S", DefaultSequentialBudgetS);

    QProcess fleet;
    fleet.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--fleet"), QString::number(MostPeers), QString::number(MostDead)});
    if (!fleet.waitForReadyRead(FleetStartMs)) {
        std::printf("the responders did not start: %s\n", fleet.readAllStandardError().constData());
        return;
    }
    const QByteArray line = fleet.readLine().trimmed();
    const auto port = static_cast<quint16>(line.toUInt());
    if (port == 0) {
        std::printf("the responders did not start: %s\n", line.constData());
        return;
    }

    std::printf("\nsearch of N peers, %d live responders and %d dead hosts in one helper process on loopback\n",
                MostPeers, MostDead);
    const auto probe = [&](const char *when) {
        const int answered = probeDeadHosts(MostDead, port);
        if (answered == 0)
            std::printf("dead hosts %s: no connection attempt to one of them completed within %d ms: they stand "
                        "in for hosts that drop it\n",
                        when, ProbeMs);
        else
            std::printf("WARNING: dead hosts %s: %d of %d let a connection attempt through within %d ms: the "
                        "figures with dead entries do not show dropping hosts\n",
                        when, answered, MostDead, ProbeMs);
    };
    probe("before");
    std::printf("%d searches per figure: the best, and the range. \"cpu\": processor time of the best search, this "
                "process + the responders'.\n"
                "One at a time: rows whose searches would take more than %d s together are estimated (\"est.\": dead "
                "entries x the %.0f s connect bound + the live peers at the pace of the row without dead entries).\n",
                rounds, budgetS, SearchClient::ConnectTimeoutMs / 1000.0);
    std::printf("%5s %5s | %-26s %-20s %-18s | %-26s | %s\n", "peers", "dead", "up to 128 at once", "cpu",
                "goal", "one at a time", "check");

    const QStringList only = qEnvironmentVariable("FERRIN_BENCH_SEARCH_ROWS").split(u',', Qt::SkipEmptyParts);
    for (const int size : DirectorySizes) {
        double perLivePeer = 0; // one at a time, from the row without dead entries
        for (const int deadShare : DeadShares) {
            if (!only.isEmpty() && !only.contains(QStringLiteral("%1/%2").arg(size).arg(deadShare)))
                continue;
            const Table table(size, deadShare);
            const Column concurrent = measure(table, port, SearchClient::MaxConnections, rounds, fleet.processId());
            const double goal = goalFor(size, deadShare);
            const QString goalText = goal > 0 ? QStringLiteral("<= %1 %2").arg(seconds(goal),
                                                                                concurrent.best <= goal ? "met" : "MISSED")
                                              : QString();

            Column sequential;
            const double estimate = table.dead * SearchClient::ConnectTimeoutMs / 1000.0 + table.live() * perLivePeer;
            if (estimate * rounds <= budgetS) {
                sequential = measure(table, port, 1, rounds, fleet.processId());
                if (deadShare == 0)
                    perLivePeer = sequential.best / table.live();
            } else {
                sequential.best = sequential.worst = estimate;
                sequential.estimated = true;
            }
            const QString sequentialText = sequential.estimated
                ? QString::fromLatin1(perLivePeer > 0 ? "%1 est." : "%1 est. (dead only)").arg(seconds(sequential.best))
                : figure(sequential.best, sequential.worst);
            const QString check = concurrent.check == sequential.check || sequential.estimated
                ? concurrent.check
                : QStringLiteral("128: %1; 1: %2").arg(concurrent.check, sequential.check);
            std::printf("%5d %3d %% | %-26s %-20s %-18s | %-26s | %s\n", size, deadShare,
                        qPrintable(figure(concurrent.best, concurrent.worst)),
                        qPrintable(QStringLiteral("%1 + %2").arg(seconds(concurrent.benchCpu), seconds(concurrent.helperCpu))),
                        qPrintable(goalText), qPrintable(sequentialText), qPrintable(check));
            std::fflush(stdout);
        }
    }
    probe("after");
    fleet.closeWriteChannel();
    if (!fleet.waitForFinished(ServeStartMs)) {
        fleet.kill();
        fleet.waitForFinished();
    }
}

// --- floods -------------------------------------------------------------------

constexpr int FloodTickMs = 10;
// How long the window is watched after the search has ended: what it lays
// out and paints then counts too.
constexpr int FloodAfterMs = 1000;
constexpr int FloodDeadlineMs = 10 * 60 * 1000;
// One-byte sends a fake peer makes before the next peer has its go.
constexpr int FloodSendsPerRound = 256;

QString floodAddress(int k)
{
    return QStringLiteral("127.3.%1.%2").arg(k / 250).arg(k % 250 + 1);
}

struct FloodAsker
{
    bool answering = false;
    int sent = 0;       // whole pieces
    size_t offset = 0;  // into the piece on its way
};

// The hostile peers, all in one process on an epoll loop of their own. Each
// one takes the query, answers with sends pieces of size bytes, and closes.
// A send is one send(2), repeated on what the system did not take; the
// pieces go out as fast as the asking side takes them.
class FloodPeers : public EpollPeers<FloodPeers, FloodAsker>
{
    friend EpollPeers;

public:
    int run(int peers, int sends, int size)
    {
        m_sends = sends;
        m_piece = std::string(size_t(size), 'x');
        if (!open())
            return fail("epoll");
        quint16 port = 0;
        for (int k = 0; k < peers; ++k) {
            const int fd = listenAt(floodAddress(k), &port, SOMAXCONN);
            if (fd < 0)
                return fail("cannot listen at", floodAddress(k));
            watch(fd, ListenerFd);
        }
        std::printf("%u\n", port);
        std::fflush(stdout);
        return loop();
    }

private:
    void ready(int fd, quint32 events)
    {
        if (events & (EPOLLIN | EPOLLERR | EPOLLHUP))
            readable(fd);
        if (m_askers.count(fd) && (events & EPOLLOUT))
            writable(fd);
    }

    int due() { return -1; }

    void readable(int fd)
    {
        char buffer[4096];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            // The asker is gone: cut off, or the search is over.
            drop(fd);
            return;
        }
        FloodAsker &asker = m_askers[fd];
        if (!asker.answering) {
            asker.answering = true;
            watch(fd, AskerFd, EPOLLIN | EPOLLOUT, EPOLL_CTL_MOD);
        }
    }

    void writable(int fd)
    {
        FloodAsker &asker = m_askers[fd];
        for (int round = 0; round < FloodSendsPerRound && asker.sent < m_sends; ++round) {
            const ssize_t put = ::send(fd, m_piece.data() + asker.offset, m_piece.size() - asker.offset,
                                       MSG_NOSIGNAL | MSG_DONTWAIT);
            if (put < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    drop(fd);
                return;
            }
            asker.offset += size_t(put);
            if (asker.offset < m_piece.size())
                return;
            asker.offset = 0;
            ++asker.sent;
        }
        if (asker.sent >= m_sends)
            drop(fd);
    }

    int m_sends = 0;
    std::string m_piece;
};

// Resident memory of this process now, and at its peak since the last reset,
// in bytes.
qint64 statusBytes(const char *field)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(std::strlen(field))).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return 0;
}

void resetPeakMemory()
{
    // What an earlier run freed goes back to the system first, or it would
    // be counted as the start of this one.
    malloc_trim(0);
    QFile file(QStringLiteral("/proc/self/clear_refs"));
    if (file.open(QIODevice::WriteOnly))
        file.write("5");
}

struct FloodRun
{
    double seconds = 0;
    double worstLateMs = 0;
    double growthMiB = 0;
    qint64 entries = 0;
    qint64 longest = 0;
    int cutOff = 0;
    bool finished = false;
    double clearMs = 0;
};

// One search of the flooding peers with the search window on screen.
FloodRun floodSearch(int peers, quint16 port)
{
    QMainWindow main;
    auto *area = new QMdiArea;
    main.setCentralWidget(area);
    main.resize(900, 700);
    main.show();
    auto *window = new frmsearch(&main);
    area->addSubWindow(window);
    window->show();
    idle(SettleMs);

    QStringList addresses;
    for (int k = 0; k < peers; ++k)
        addresses << floodAddress(k);
    SearchClient client;
    client.setPort(port);
    FloodRun run;
    // As the main window hands them on.
    QObject::connect(&client, &SearchClient::resultEntries, window, [&](const QStringList &entries) {
        run.entries += entries.size();
        for (const QString &entry : entries)
            run.longest = std::max<qint64>(run.longest, entry.size());
        window->addResults(entries);
    });
    QObject::connect(&client, &SearchClient::peerCutOff, [&] { ++run.cutOff; });

    QElapsedTimer clock;
    QElapsedTimer sinceTick;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(FloodTickMs);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        run.worstLateMs = std::max(run.worstLateMs, sinceTick.nsecsElapsed() / 1e6 - FloodTickMs);
        sinceTick.start();
    });

    QEventLoop loop;
    QObject::connect(&client, &SearchClient::searchFinished, &loop, [&] {
        run.finished = true;
        run.seconds = clock.nsecsElapsed() / 1e9;
        // The window goes on being watched a while after.
        QTimer::singleShot(FloodAfterMs, &loop, &QEventLoop::quit);
    });
    QTimer::singleShot(FloodDeadlineMs, &loop, &QEventLoop::quit);
    resetPeakMemory();
    const qint64 before = statusBytes("VmRSS:");
    clock.start();
    sinceTick.start();
    tick.start();
    if (client.search(QStringLiteral("flood"), addresses))
        loop.exec();
    tick.stop();
    if (!run.finished)
        run.seconds = clock.nsecsElapsed() / 1e9;
    run.growthMiB = (statusBytes("VmHWM:") - before) / double(1 << 20);
    client.cancel();
    // What a new search does first.
    QElapsedTimer clearing;
    clearing.start();
    window->results()->clear();
    run.clearMs = clearing.nsecsElapsed() / 1e6;
    return run;
}

struct FloodCase
{
    const char *name;
    int peers;
    int sends;
    int size;
};

constexpr FloodCase Floods[] = {
    {"64x16MiB", 64, 64, 256 * 1024},
    {"200x16MiB", 200, 64, 256 * 1024},
    {"200x1B", 200, 100000, 1},
};

void floods(const QStringList &only)
{
    std::printf("\nfloods: hostile peers in one helper process on loopback; the search window on screen (%s)\n"
                "goals: the search ends within the turn bound + 2 s (%.0f s), the 10 ms timer is never more than "
                "50 ms late, memory grows by <= 150 MiB\n",
                qPrintable(QGuiApplication::platformName()), SearchClient::TurnTimeoutMs / 1000.0 + 2);
    std::printf("%-10s | %-10s %-16s %-14s | %-16s | %s\n", "flood", "search", "worst tick late", "memory growth",
                "list cleared in", "entries listed");
    for (const FloodCase &flood : Floods) {
        if (!only.isEmpty() && !only.contains(QLatin1String(flood.name)))
            continue;
        QProcess helper;
        helper.start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--flood"), QString::number(flood.peers), QString::number(flood.sends),
                      QString::number(flood.size)});
        if (!helper.waitForReadyRead(FleetStartMs)) {
            std::printf("the flooding peers did not start: %s\n", helper.readAllStandardError().constData());
            continue;
        }
        const auto port = static_cast<quint16>(helper.readLine().trimmed().toUInt());
        const FloodRun run = floodSearch(flood.peers, port);
        std::printf("%-10s | %-10s %-16s %-14s | %-16s | %lld, the longest %lld characters; %d answers cut off\n",
                    flood.name,
                    qPrintable(run.finished ? seconds(run.seconds) : QStringLiteral("> %1").arg(seconds(run.seconds))),
                    qPrintable(QStringLiteral("%1 ms").arg(run.worstLateMs, 0, 'f', 1)),
                    qPrintable(QStringLiteral("%1 MiB").arg(run.growthMiB, 0, 'f', 0)),
                    qPrintable(QStringLiteral("%1 ms").arg(run.clearMs, 0, 'f', 1)),
                    static_cast<long long>(run.entries), static_cast<long long>(run.longest), run.cutOff);
        std::fflush(stdout);
        helper.closeWriteChannel();
        if (!helper.waitForFinished(ServeStartMs)) {
            helper.kill();
            helper.waitForFinished();
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    // The helpers need no window; the floods show the search window.
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--serve" || arg == "--fleet" || arg == "--flood") {
            QCoreApplication app(argc, argv);
            const QStringList args = QCoreApplication::arguments();
            if (args.size() == 5 && args.at(1) == QStringLiteral("--serve"))
                return serve(args.at(2), args.at(3), args.at(4).toInt());
            if (args.size() == 4 && args.at(1) == QStringLiteral("--fleet"))
                return Fleet().run(args.at(2).toInt(), args.at(3).toInt());
            if (args.size() == 5 && args.at(1) == QStringLiteral("--flood"))
                return FloodPeers().run(args.at(2).toInt(), args.at(3).toInt(), args.at(4).toInt());
            return 2;
        }
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    raiseFileLimit();
    const QStringList rows = qEnvironmentVariable("FERRIN_BENCH_SEARCH_ROWS").split(u',', Qt::SkipEmptyParts);
    const QStringList floodsOnly = qEnvironmentVariable("FERRIN_BENCH_SEARCH_FLOODS").split(u',', Qt::SkipEmptyParts);
    const bool everything = rows.isEmpty() && floodsOnly.isEmpty();
    if (everything)
        oneLargePeer();
    if (everything || !rows.isEmpty())
        manyPeers();
    if (everything || !floodsOnly.isEmpty())
        floods(floodsOnly);
    return 0;
}
