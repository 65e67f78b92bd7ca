// What a connected copy costs while nobody uses it. The copy registers with
// a local directory server (pyftpdlib) and is then left alone, 10 s in each
// of three states:
//   shown      the main window on screen;
//   tray       minimised, with a notification area to hide it in;
//   no tray    minimised, without one (it stays on the task bar).
// For each it prints the processor time and the voluntary context switches
// (wakeups) of the whole process and of each of its threads, and what woke
// the event loop: the timer events and socket notifications by the object
// that took them. Goals for the first two: <= 10 ms of processor time and
// <= 20 wakeups per second.
//
// The program runs on a private Xvfb display when there is one (as a desktop
// would run it), else on the offscreen platform; the first line says which.
// The figures are printed, never judged.

#include "Controls/ambrelinterface.h"
#include "app/session.h"
#include "app/splash.h"
#include "app/startup.h"
#include "app/windows/iconcontrol.h"
#include "app/windows/look.h"
#include "app/windows/mdimain.h"
#include "directory/tamsin.h"
#include "tests/support/ftpserver.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace {

constexpr int MeasureMs = 10000;
// Long enough for the user count to settle after "Connect" and for a
// minimised frame to be hidden.
constexpr int SettleMs = 2500;
constexpr int ConnectWaitMs = 30000;
constexpr int XvfbStartMs = 10000;
constexpr double WakeupGoalPerSecond = 20;
constexpr double ProcessorGoalMs = 10;

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

/// Processor time and voluntary switches of one thread, or of the process.
struct Usage
{
    double cpuMs = 0;
    qint64 wakeups = 0;
};

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

Usage processUsage()
{
    rusage ru = {};
    getrusage(RUSAGE_SELF, &ru);
    Usage u;
    u.cpuMs = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    u.wakeups = ru.ru_nvcsw;
    return u;
}

/// Per thread, by "tid name".
QMap<QString, Usage> threadUsage()
{
    QMap<QString, Usage> threads;
    const double msPerTick = 1000.0 / double(sysconf(_SC_CLK_TCK));
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray stat = readAll(tasks.filePath(tid + QStringLiteral("/stat")));
        // The name stands in parentheses and may hold spaces: fields count
        // from the closing one.
        const qsizetype close = stat.lastIndexOf(')');
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        const QString name = QString::fromUtf8(stat.mid(stat.indexOf('(') + 1, close - stat.indexOf('(') - 1));
        Usage u;
        if (fields.size() > 12)
            u.cpuMs = (fields.at(11).toLongLong() + fields.at(12).toLongLong()) * msPerTick;
        for (const QByteArray &line : readAll(tasks.filePath(tid + QStringLiteral("/status"))).split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches:"))
                u.wakeups = line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
        threads.insert(tid + u' ' + name, u);
    }
    return threads;
}

/// Counts what wakes the event loop, by the object that takes it.
class WakeCounter : public QObject
{
public:
    QMap<QString, int> counts;
    bool counting = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (counting && (event->type() == QEvent::Timer || event->type() == QEvent::SockAct))
            ++counts[describe(watched, event->type())];
        return false;
    }

private:
    static QString describe(QObject *o, QEvent::Type type)
    {
        QString text = QLatin1String(type == QEvent::Timer ? "timer  " : "socket ")
                       + QLatin1String(o->metaObject()->className());
        if (!o->objectName().isEmpty())
            text += u' ' + o->objectName();
        if (QObject *p = o->parent()) {
            text += QStringLiteral(" of ") + QLatin1String(p->metaObject()->className());
            if (!p->objectName().isEmpty())
                text += u' ' + p->objectName();
        }
        return text;
    }
};

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void measure(const char *state, WakeCounter &counter)
{
    runFor(SettleMs);
    counter.counts.clear();
    const Usage before = processUsage();
    const QMap<QString, Usage> threadsBefore = threadUsage();
    counter.counting = true;
    runFor(MeasureMs);
    counter.counting = false;
    const Usage after = processUsage();
    const QMap<QString, Usage> threadsAfter = threadUsage();

    const double seconds = MeasureMs / 1000.0;
    out() << Qt::fixed;
    out().setRealNumberPrecision(1);
    out() << "  " << state << ": " << (after.cpuMs - before.cpuMs) << " ms of processor time, "
          << (after.wakeups - before.wakeups) / seconds << " wakeups per second over " << seconds << " s"
          << " (goals <= " << ProcessorGoalMs << " ms, <= " << WakeupGoalPerSecond << " per second)" << Qt::endl;
    for (auto it = threadsAfter.cbegin(); it != threadsAfter.cend(); ++it) {
        const Usage was = threadsBefore.value(it.key());
        out() << "      thread " << it.key() << ": " << (it->cpuMs - was.cpuMs) << " ms, "
              << (it->wakeups - was.wakeups) / seconds << " wakeups/s" << Qt::endl;
    }
    if (counter.counts.isEmpty())
        out() << "      nothing woke the event loop" << Qt::endl;
    for (auto it = counter.counts.cbegin(); it != counter.counts.cend(); ++it)
        out() << "      " << it.value() / seconds << "/s " << it.key() << Qt::endl;
}

/// A display of its own, so that the figures are those of a desktop and no
/// other program's events count; empty when there is no Xvfb.
std::unique_ptr<QProcess> startXvfb()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty() || qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        return nullptr;
    auto server = std::make_unique<QProcess>();
    server->setProcessChannelMode(QProcess::SeparateChannels);
    server->start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                         QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                         QStringLiteral("1024x768x24")});
    if (!server->waitForReadyRead(XvfbStartMs))
        return nullptr;
    const QByteArray number = server->readLine().trimmed();
    if (number.isEmpty())
        return nullptr;
    qputenv("DISPLAY", ":" + number);
    qputenv("QT_QPA_PLATFORM", "xcb");
    return server;
}

} // namespace

int main(int argc, char **argv)
{
    std::unique_ptr<QProcess> display = startXvfb();
    if (!display)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    Look::resolveComicFace();
    out() << "at-rest bench: a connected copy left alone, on the "
          << (display ? "xcb platform (private Xvfb)" : "offscreen platform") << Qt::endl;

    FtpServerProcess server;
    if (!server.start()) {
        out() << "cannot start the directory server: " << server.errorString() << Qt::endl;
        return 1;
    }
    QString error;
    AmbrelFactory *strips = Startup::loadAmbrel(QStringLiteral(AMBREL_FOLDER), &error);
    if (!strips) {
        out() << error << Qt::endl;
        return 1;
    }
    QTemporaryDir folder;
    ProgramSettings settings;
    settings.programFolder = folder.path();
    settings.localAddress = QStringLiteral("127.0.0.2");
    settings.directoryHost = server.hostAndPort();
    settings.searchPort = 0;
    settings.uploadPort = 0;

    WakeCounter counter;
    app.installEventFilter(&counter);

    Session session(settings, Tamsin::peers(), [](int) {});
    Splash splash(*strips, session);
    splash.show();
    {
        QEventLoop loop;
        QObject::connect(&splash, &Splash::connectFinished, &loop, &QEventLoop::quit);
        QTimer::singleShot(ConnectWaitMs, &loop, &QEventLoop::quit);
        // As a user does it, so that the strip moves as it does then.
        QMetaObject::invokeMethod(splash.findChild<QLineEdit *>(QStringLiteral("Username")), "returnPressed");
        loop.exec();
    }
    MDIMain *main = session.mainWindow();
    if (!main || !main->isVisible()) {
        out() << "the copy did not connect" << Qt::endl;
        return 1;
    }

    measure("shown", counter);
    Iconcontrol::overrideTrayAvailable(true);
    main->showMinimized();
    measure("tray", counter);
    Iconcontrol::overrideTrayAvailable(false);
    main->show();
    main->showNormal();
    runFor(SettleMs);
    main->showMinimized();
    measure("no tray", counter);

    Iconcontrol::RemoveTrayIcon();
    if (display) {
        display->terminate();
        display->waitForFinished();
    }
    return 0;
}
