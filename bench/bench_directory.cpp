// Figures for the central directory. Prints; never fails on a number.
//
// 1. Loading a directory file into the peer table: 100000 records (the
//    table's limit), 120000 and 1000000 (past it: the load stops at the
//    limit), against a plain line-by-line read of the same bytes; and the
//    exit command's rewrite of the file without this copy's records.
// 2. "Connect" and "Exit" against a real FTP server (pyftpdlib on loopback)
//    holding 100000 and 1000000 records: the time from the start to
//    registered() / unregistered(), and the worst lateness of a 10 ms timer
//    ticking meanwhile (a late tick is a window that does not repaint), with
//    the step that was running when it came late. Where the time went: the
//    FTP operations and what ran between them, and the event handlers that
//    held the event loop longest, with their processor time, the times they
//    blocked (waiting for the disk, say) and the times the system preempted
//    them (a busy machine). An idle run of the same timer shows what the
//    machine alone costs.
//
//   bench_directory [ROUNDS]    rounds of each exchange (default 3)

#include "directory/directory.h"
#include "directory/directoryexchange.h"
#include "directory/tamsin.h"
#include "tests/support/ftpserver.h"
#include "tests/support/testfiles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QList>
#include <QLoggingCategory>
#include <QMetaEnum>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int DefaultRounds = 3;
constexpr int TickMs = 10;
constexpr int LatenessGoalMs = 20;
constexpr double ConnectGoalS = 0.5;
constexpr int IdleBaselineMs = 2000;
constexpr int ExchangeTimeoutMs = 120000;
// An address that no record of the generated files holds.
constexpr char OwnAddress[] = "10.255.255.254";

QByteArray makeDirectory(int records)
{
    QByteArray file;
    file.reserve(qsizetype(records) * 22);
    for (int i = 0; i < records; ++i) {
        const QString address = QStringLiteral("10.%1.%2.%3").arg(i >> 16 & 255).arg(i >> 8 & 255).arg(i & 255);
        // Half of them as written at exit, half as registered at start-up.
        if (i % 2)
            Directory::appendShutdownRecord(file, address, static_cast<qint16>(i % 30000));
        else
            file += Directory::startupRecord(address, 0);
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

void loadFigures()
{
    for (int records : {100000, 120000, 1000000}) {
        const QByteArray file = makeDirectory(records);
        qint64 stored = 0;
        const double load = bestOf(5, [&] {
            auto table = std::make_unique<PeerTable>();
            Directory::load(*table, file);
            stored = table->readerBound();
        });
        qint64 lines = 0;
        const double plain = bestOf(5, [&] {
            lines = 0;
            for (const QByteArray &line : file.split('\n'))
                lines += line.isEmpty() ? 0 : 1;
        });
        std::printf("directory load: %7d records (%lld stored, %lld lines): %.3f s, plain line read %.3f s, "
                    "ratio %.1f%s\n",
                    records, static_cast<long long>(stored), static_cast<long long>(lines), load, plain,
                    plain > 0 ? load / plain : 0.0,
                    records > PeerTable::PeerLimit ? " (the load stops at the table's limit, the plain read does not)"
                                                   : "");
    }
    const QByteArray file = makeDirectory(1000000);
    qsizetype kept = 0;
    const double filter = bestOf(3, [&] { kept = Directory::withoutAddress(file, QString::fromLatin1(OwnAddress)).size(); });
    std::printf("directory rewrite at exit: 1000000 records, %.1f MB in, %.1f MB out: %.3f s\n", file.size() / 1e6,
                kept / 1e6, filter);
}

// --- what the exchange does, on a clock ---------------------------------------

// One event handled by the event loop (a socket that became readable, a
// timer, a queued call) and how long its handler held the loop.
struct Delivery
{
    qint64 ns = 0;
    qint64 cpuNs = 0;  // of it on the processor
    long waits = 0;    // times it gave the processor up: a blocking call
    long preempted = 0; // times the system took it away: the machine is busy
    QString receiver;
    QString where;
};

struct ThreadUsage
{
    qint64 cpuNs = 0;
    long waits = 0;
    long preempted = 0;

    static ThreadUsage now()
    {
        // The thread's processor clock is exact; the times in rusage go in
        // whole scheduler ticks.
        timespec cpu{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return {qint64(cpu.tv_sec) * 1000000000 + cpu.tv_nsec, usage.ru_nvcsw, usage.ru_nivcsw};
    }
};

// Times every event the loop hands out, outermost only, while recording.
class TimingApplication : public QCoreApplication
{
public:
    using QCoreApplication::QCoreApplication;

    // Longest deliveries are kept, at most this many.
    static constexpr size_t Kept = 4;

    std::function<QString()> where;
    const QObject *owner = nullptr; // whose member objects are named after it
    size_t ownerSize = 0;
    bool recording = false;
    std::vector<Delivery> longest;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (!recording || m_depth > 0)
            return QCoreApplication::notify(receiver, event);
        // Named before the handler runs: it may delete the receiver.
        const QEvent::Type type = event->type();
        const char *cls = receiver ? receiver->metaObject()->className() : "";
        const char *parentCls = receiver && receiver->parent() ? receiver->parent()->metaObject()->className() : nullptr;
        const auto address = reinterpret_cast<const char *>(receiver);
        const auto base = reinterpret_cast<const char *>(owner);
        const bool member = owner && receiver != owner && address >= base && address < base + ownerSize;
        const QString at = where ? where() : QString();
        const ThreadUsage before = ThreadUsage::now();
        QElapsedTimer clock;
        clock.start();
        ++m_depth;
        const bool result = QCoreApplication::notify(receiver, event);
        --m_depth;
        const qint64 ns = clock.nsecsElapsed();
        const ThreadUsage after = ThreadUsage::now();
        if (longest.size() < Kept || ns > longest.back().ns) {
            QString who = QString::fromLatin1(QMetaEnum::fromType<QEvent::Type>().valueToKey(type)) + QStringLiteral(" to ")
                + QString::fromLatin1(cls);
            if (parentCls)
                who += QStringLiteral(" of ") + QString::fromLatin1(parentCls);
            else if (member)
                who += QStringLiteral(" in ") + QString::fromLatin1(owner->metaObject()->className());
            longest.push_back({ns, after.cpuNs - before.cpuNs, after.waits - before.waits,
                               after.preempted - before.preempted, who, at});
            std::sort(longest.begin(), longest.end(), [](const Delivery &a, const Delivery &b) { return a.ns > b.ns; });
            if (longest.size() > Kept)
                longest.pop_back();
        }
        return result;
    }

private:
    int m_depth = 0;
};

TimingApplication *timingApp()
{
    return static_cast<TimingApplication *>(QCoreApplication::instance());
}

template <typename E>
QByteArray enumName(E value)
{
    return QMetaEnum::fromType<E>().valueToKey(int(value));
}

// What an exchange did when: the FTP operations it started (from the FTP
// client's log lines), their ends, the steps it reported and its end.
struct Timeline
{
    struct Event
    {
        enum class Kind { Start, Finish, Step, End };
        qint64 ns;
        Kind kind;
        QString text;
        QString state; // the exchange's state just then
    };

    QElapsedTimer *clock = nullptr;
    std::function<QString()> state;
    std::vector<Event> events;

    void add(Event::Kind kind, const QString &text) { events.push_back({clock->nsecsElapsed(), kind, text, state()}); }
};

Timeline *g_recording = nullptr;
QtMessageHandler g_previousHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg) {
        static const QString started = QStringLiteral("start FtpClient::Operation::");
        if (g_recording && message.startsWith(started))
            g_recording->add(Timeline::Event::Kind::Start, message.mid(started.size()));
        return;
    }
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

// A 10 ms precise timer that notes how late each tick comes, and what the
// exchange was doing around the worst one. Qt starts the next interval from
// the tick that came, so a delay does not carry over into later ticks.
class LatenessProbe
{
public:
    explicit LatenessProbe(std::function<QString()> where = {})
        : m_where(std::move(where))
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(TickMs);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
    }

    void start()
    {
        m_clock.start();
        m_last = 0;
        m_lastWhere = m_where ? m_where() : QString();
        m_worstNs = 0;
        m_ticks = 0;
        m_overGoal = 0;
        m_timer.start();
    }
    void stop() { m_timer.stop(); }

    double worstMs() const { return m_worstNs / 1e6; }
    QString worstWhere() const { return m_worstWhere; }
    int ticks() const { return m_ticks; }
    int overGoal() const { return m_overGoal; }

private:
    void tick()
    {
        const qint64 now = m_clock.nsecsElapsed();
        const qint64 late = now - m_last - qint64(TickMs) * 1000000;
        const QString where = m_where ? m_where() : QString();
        ++m_ticks;
        if (late > qint64(LatenessGoalMs) * 1000000)
            ++m_overGoal;
        if (late > m_worstNs) {
            m_worstNs = late;
            m_worstWhere = where == m_lastWhere ? where : m_lastWhere + QStringLiteral(" -> ") + where;
        }
        m_last = now;
        m_lastWhere = where;
    }

    std::function<QString()> m_where;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    QString m_lastWhere;
    qint64 m_worstNs = 0;
    QString m_worstWhere;
    int m_ticks = 0;
    int m_overGoal = 0;
};

void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

double idleLateness()
{
    LatenessProbe probe;
    probe.start();
    idle(IdleBaselineMs);
    probe.stop();
    return probe.worstMs();
}

struct Run
{
    bool ended = false;
    bool ok = false;
    double seconds = 0;
    double worstLateMs = 0;
    QString worstWhere;
    int ticks = 0;
    int overGoal = 0;
    std::vector<Timeline::Event> events;
    std::vector<Delivery> longest;
};

enum class Exchange { Connect, Exit };

// Runs "Connect" or "Exit" to its end with the probe ticking.
Run runExchange(DirectoryExchange &exchange, PeerTable &peers, Exchange which)
{
    using Kind = Timeline::Event::Kind;
    Run run;
    const auto where = [&exchange] {
        return exchange.stateName() + u'/' + QString::fromLatin1(enumName(exchange.ftp().operation()));
    };
    LatenessProbe probe(where);
    QElapsedTimer clock;
    Timeline timeline{&clock, [&exchange] { return exchange.stateName(); }, {}};
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QList<QMetaObject::Connection> connections;
    connections << QObject::connect(&exchange, &DirectoryExchange::stepReached, [&](DirectoryExchange::Step step) {
        timeline.add(Kind::Step, QString::fromLatin1(enumName(step)));
    });
    // Connected after the exchange's own handler, so this notes the end of an
    // operation once the exchange has dealt with it.
    connections << QObject::connect(&exchange.ftp(), &FtpClient::finished,
                                    [&](bool ok) { timeline.add(Kind::Finish, ok ? QString() : QStringLiteral("FAILED")); });
    const auto end = [&](bool ok) {
        run.ended = true;
        run.seconds = clock.nsecsElapsed() / 1e9;
        run.ok = ok;
        timeline.add(Kind::End, ok ? QString() : QStringLiteral("FAILED: ") + exchange.errorString());
        loop.quit();
    };
    if (which == Exchange::Connect)
        connections << QObject::connect(&exchange, &DirectoryExchange::registered, end);
    else
        connections << QObject::connect(&exchange, &DirectoryExchange::unregistered, end);

    TimingApplication *app = timingApp();
    app->where = where;
    app->owner = &exchange;
    app->ownerSize = sizeof(DirectoryExchange);
    app->longest.clear();
    app->recording = true;
    g_recording = &timeline;
    probe.start();
    clock.start();
    deadline.start(ExchangeTimeoutMs);
    const bool started = which == Exchange::Connect ? exchange.registerCopy(peers) : exchange.unregisterCopy();
    if (started)
        loop.exec();
    probe.stop();
    g_recording = nullptr;
    app->recording = false;
    for (const auto &connection : std::as_const(connections))
        QObject::disconnect(connection);
    if (!run.ended) {
        // The exchange goes on; the next step asks more of it, or its round
        // ends and takes it along.
        run.ok = false;
        run.seconds = clock.nsecsElapsed() / 1e9;
    }
    run.worstLateMs = probe.worstMs();
    run.worstWhere = probe.worstWhere();
    run.ticks = probe.ticks();
    run.overGoal = probe.overGoal();
    run.events = std::move(timeline.events);
    run.longest = std::move(app->longest);
    return run;
}

// The FTP operations one after the other, and what ran between them. An
// operation's end is noted once the exchange has handled it, so work the
// exchange does in that handler counts to the operation.
void printTimeline(const Run &run)
{
    using Kind = Timeline::Event::Kind;
    std::vector<const Timeline::Event *> starts, finishes, others;
    for (const Timeline::Event &e : run.events)
        (e.kind == Kind::Start ? starts : e.kind == Kind::Finish ? finishes : others).push_back(&e);
    const auto between = [&](qint64 from, qint64 to) {
        QStringList steps;
        for (const Timeline::Event *e : others) {
            if (e->ns >= from && e->ns <= to)
                steps << (e->kind == Kind::End ? QStringLiteral("end") : QStringLiteral("step ") + e->text);
        }
        return steps.join(QStringLiteral(", "));
    };
    const auto line = [](qint64 from, qint64 to, const QString &what) {
        std::printf("      %8.1f .. %8.1f ms  %7.1f ms  %s\n", from / 1e6, to / 1e6, (to - from) / 1e6, qPrintable(what));
    };
    qint64 last = 0;
    QString lastState = QStringLiteral("start");
    for (size_t i = 0; i < starts.size(); ++i) {
        const Timeline::Event &start = *starts[i];
        if (start.ns - last > 500000 || !between(last, start.ns).isEmpty())
            line(last, start.ns,
                 QStringLiteral("no FTP: %1 -> %2 %3").arg(lastState, start.state, between(last, start.ns)));
        if (i < finishes.size()) {
            const Timeline::Event &finish = *finishes[i];
            line(start.ns, finish.ns,
                 QStringLiteral("%1: %2 %3").arg(start.state, start.text, finish.text).trimmed());
            last = finish.ns;
            lastState = finish.state;
        }
    }
    const qint64 end = run.events.empty() ? 0 : run.events.back().ns;
    if (end > last + 500000)
        line(last, end, QStringLiteral("no FTP: %1 -> %2").arg(lastState, between(last, end)));
    std::printf("      longest event handlers (wall time; processor time; blocking waits; preemptions):\n");
    for (const Delivery &d : run.longest)
        std::printf("        %7.1f ms; %5.1f ms; %ld; %ld  %s, during %s\n", d.ns / 1e6, d.cpuNs / 1e6, d.waits,
                    d.preempted, qPrintable(d.receiver), qPrintable(d.where));
}

struct Spread
{
    std::vector<double> values;
    double best() const { return *std::min_element(values.begin(), values.end()); }
    double worst() const { return *std::max_element(values.begin(), values.end()); }
};

void exchangeFigures(FtpServerProcess &server, int rounds)
{
    for (int records : {100000, 1000000}) {
        const QByteArray file = makeDirectory(records);
        QTemporaryDir folder;
        DirectorySettings settings;
        settings.host = server.hostAndPort();
        settings.programFolder = folder.path();
        settings.ownAddress = QString::fromLatin1(OwnAddress);

        Spread connectTime, connectLate, exitTime, exitLate;
        std::vector<Run> connects, exits;
        for (int round = 0; round < rounds; ++round) {
            // Each round starts from the same file, with a fresh copy of the
            // program: a new session, an empty table.
            if (!writeFile(server.filePath(QStringLiteral("IP.txt")), file)) {
                std::printf("cannot write the directory file on the server\n");
                return;
            }
            auto peers = std::make_unique<PeerTable>();
            DirectoryExchange exchange(settings);
            Run connect = runExchange(exchange, *peers, Exchange::Connect);
            idle(200);
            Run leave = runExchange(exchange, *peers, Exchange::Exit);
            if (!connect.ok || !leave.ok || peers->count() != PeerTable::PeerLimit)
                std::printf("  round %d: Connect %s, Exit %s, %lld peers in the table: %s\n", round + 1,
                            connect.ok ? "ok" : "FAILED", leave.ok ? "ok" : "FAILED",
                            static_cast<long long>(peers->count()), qPrintable(exchange.errorString()));
            connectTime.values.push_back(connect.seconds);
            connectLate.values.push_back(connect.worstLateMs);
            exitTime.values.push_back(leave.seconds);
            exitLate.values.push_back(leave.worstLateMs);
            connects.push_back(std::move(connect));
            exits.push_back(std::move(leave));
            idle(200);
        }

        std::printf("\n%d records on the server (%.1f MB), %d rounds (best, and the range over the rounds):\n",
                    records, file.size() / 1e6, rounds);
        const auto line = [&](const char *what, const Spread &time, const Spread &late, const std::vector<Run> &runs) {
            const auto worstRun = std::max_element(runs.begin(), runs.end(), [](const Run &a, const Run &b) {
                return a.worstLateMs < b.worstLateMs;
            });
            int over = 0;
            int ticks = 0;
            for (const Run &r : runs) {
                over += r.overGoal;
                ticks += r.ticks;
            }
            std::printf("  %-8s %7.3f s (%.3f..%.3f)   worst tick lateness %6.1f ms (%.1f..%.1f; goal <= %d ms)"
                        "   ticks late > %d ms: %d of %d\n",
                        what, time.best(), time.best(), time.worst(), late.best(), late.best(), late.worst(),
                        LatenessGoalMs, LatenessGoalMs, over, ticks);
            std::printf("           worst tick came during: %s\n", qPrintable(worstRun->worstWhere));
        };
        line("Connect", connectTime, connectLate, connects);
        line("Exit", exitTime, exitLate, exits);
        if (records == 1000000)
            std::printf("  Connect to registered with %d records: best %.3f s (goal <= %.1f s): %s\n", records,
                        connectTime.best(), ConnectGoalS, connectTime.best() <= ConnectGoalS ? "met" : "MISSED");

        // Where the time of the fastest run went.
        const auto fastest = [](const std::vector<Run> &runs) {
            return *std::min_element(runs.begin(), runs.end(),
                                     [](const Run &a, const Run &b) { return a.seconds < b.seconds; });
        };
        std::printf("    steps of the fastest Connect:\n");
        printTimeline(fastest(connects));
        std::printf("    steps of the fastest Exit:\n");
        printTimeline(fastest(exits));
    }
}

// --- a server that holds the reply ending a download ---------------------------

// One download from a server that holds the reply ending it ("226") for 5 s
// after the data: the worst lateness of a 10 ms timer meanwhile, which is how
// long the window would not repaint.
constexpr int HeldReplyS = 5;
constexpr int HeldReplyRecords = 1000;

void heldReplyFigures(FtpServerProcess &server)
{
    const QByteArray file = makeDirectory(HeldReplyRecords);
    QTemporaryDir folder;
    if (!writeFile(server.filePath(QStringLiteral("IP.txt")), file) || !server.setFaults(QJsonObject{{QStringLiteral("hold_226"), HeldReplyS}})) {
        std::printf("cannot arm the held reply on the server\n");
        return;
    }
    FtpClient client;
    client.setHost(server.hostAndPort());
    const DirectorySettings account;
    client.setUserName(account.userName);
    client.setPassword(account.password);

    QEventLoop loop;
    bool ended = false;
    bool ok = false;
    QObject::connect(&client, &FtpClient::finished, &loop, [&](bool result) {
        ended = true;
        ok = result;
        loop.quit();
    });
    QTimer::singleShot(ExchangeTimeoutMs, &loop, &QEventLoop::quit);

    // The gap from the last tick to the end counts too: a loop held until
    // the end sees no tick at all.
    QElapsedTimer clock;
    qint64 lastTickNs = 0;
    qint64 worstNs = 0;
    int ticks = 0;
    int overGoal = 0;
    const auto lateness = [&] {
        const qint64 now = clock.nsecsElapsed();
        const qint64 late = now - lastTickNs - qint64(TickMs) * 1000000;
        lastTickNs = now;
        worstNs = std::max(worstNs, late);
        return late;
    };
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(TickMs);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        ++ticks;
        if (lateness() > qint64(LatenessGoalMs) * 1000000)
            ++overGoal;
    });
    clock.start();
    probe.start();
    if (client.get(QStringLiteral("IP.txt"), folder.filePath(QStringLiteral("IP.txt"))))
        loop.exec();
    probe.stop();
    lateness();
    const double seconds = clock.nsecsElapsed() / 1e9;
    server.setFaults(QJsonObject());

    std::printf("\ndownload of %d records while the server holds its \"226\" for %d s: %s after %.2f s\n",
                HeldReplyRecords, HeldReplyS, ended ? (ok ? "ok" : "FAILED") : "NOT ENDED", seconds);
    std::printf("  worst tick lateness %.1f ms (goal <= %d ms), ticks late > %d ms: %d of %d\n", worstNs / 1e6,
                LatenessGoalMs, LatenessGoalMs, overGoal, ticks);
}

} // namespace

int main(int argc, char **argv)
{
    TimingApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int rounds = args.size() > 1 ? std::max(1, args.at(1).toInt()) : DefaultRounds;

    loadFigures();

    // The FTP client's "start" lines mark the steps in the timelines.
    QLoggingCategory::setFilterRules(QStringLiteral("ferrin.ftp.debug=true\nferrin.directory.debug=true"));
    g_previousHandler = qInstallMessageHandler(recordMessage);

    std::printf("\nidle 10 ms timer, nothing else running: worst tick lateness %.1f ms\n", idleLateness());
    FtpServerProcess server;
    if (!server.start()) {
        std::printf("cannot start the FTP server: %s\n", qPrintable(server.errorString()));
        return 0;
    }
    exchangeFigures(server, rounds);
    heldReplyFigures(server);
    std::printf("\nidle 10 ms timer, nothing else running: worst tick lateness %.1f ms\n", idleLateness());
    return 0;
}
