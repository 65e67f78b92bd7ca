#include "directory/directorysettings.h"
#include "directory/ftpclient.h"
#include "tests/support/ftpserver.h"
#include "tests/support/testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <QScopeGuard>

#include <pthread.h>

#include <algorithm>
#include <memory>

namespace {

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

// What the FTP client's worker thread (named "ftp") has done so far: how
// often it went to sleep, and its processor time in ms; -1 without one.
struct WorkerActivity
{
    long sleeps = -1;
    qint64 cpuMs = -1;
};

WorkerActivity workerActivity()
{
    const QString tasks = QStringLiteral("/proc/self/task/");
    WorkerActivity activity;
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString folder = tasks + task;
        if (readFile(folder + QStringLiteral("/comm")).trimmed() != "ftp")
            continue;
        for (const QByteArray &line : readFile(folder + QStringLiteral("/status")).split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches:"))
                activity.sleeps = line.mid(line.indexOf(':') + 1).trimmed().toLong();
        }
        activity.cpuMs = readFile(folder + QStringLiteral("/schedstat")).split(' ').value(0).toLongLong() / 1000000;
    }
    return activity;
}

// Waits for the running operation's end; true when it ended with ok.
// finished() never comes from inside a start function, so the spy can be
// made after it.
bool endsWith(FtpClient &client, bool ok, int timeoutMs = 20000)
{
    QSignalSpy spy(&client, &FtpClient::finished);
    return spy.wait(timeoutMs) && spy.size() == 1 && spy.first().first().toBool() == ok;
}

// The directory file on the server in tests of failures.
constexpr qint64 FreshSize = 100000;

// Bounds short enough that a test of them ends in about a second.
FtpClient::Timeouts shortTimeouts()
{
    FtpClient::Timeouts timeouts = FtpClient::defaultTimeouts();
    timeouts.connectMs = 500;
    timeouts.responseMs = 1000;
    timeouts.stallMs = 1000;
    timeouts.operationMs = 20000;
    return timeouts;
}

// How long the calling thread has waited, ready to run, for a processor:
// /proc's run_delay, in ms (0 where the system does not tell).
qint64 runQueueWaitMs()
{
    return readFile(QStringLiteral("/proc/thread-self/schedstat")).split(' ').value(1).toLongLong() / 1000000;
}

// A 10 ms timer on the test's thread, which stands in for the window's: the
// worst lateness of its ticks tells how long the event loop was held. Time
// the thread spent ready but waiting for a processor (a busy machine) is
// not counted: that is not the program's doing.
class TickWatch
{
public:
    static constexpr int TickMs = 10;
    static constexpr qint64 MostLateMs = 20;

    TickWatch()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(TickMs);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            m_worstMs = std::max(m_worstMs, lateness());
            m_last = m_clock.elapsed();
            m_lastWait = runQueueWaitMs();
        });
        m_clock.start();
        m_lastWait = runQueueWaitMs();
        m_timer.start();
    }

    // Up to now: a loop held since the last tick counts too.
    qint64 worstMs() const { return std::max(m_worstMs, lateness()); }

private:
    qint64 lateness() const { return m_clock.elapsed() - m_last - TickMs - (runQueueWaitMs() - m_lastWait); }

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_lastWait = 0;
    qint64 m_worstMs = 0;
};

// A stand-in server that answers each command by its verb from a table and
// stays silent on every verb the table lacks. Its passive data connection
// gets `download` once RETR has come; then it is either closed with a 226
// reply on the control connection, or left open without another byte.
class ScriptedFtpServer
{
public:
    ScriptedFtpServer()
    {
        m_control.listen(QHostAddress::LocalHost, 0);
        m_data.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_control, &QTcpServer::newConnection, &m_control, [this] {
            QTcpSocket *socket = m_control.nextPendingConnection();
            m_sessions.append(socket);
            socket->write("220 Scripted server ready\r\n");
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
        });
        QObject::connect(&m_data, &QTcpServer::newConnection, &m_data, [this] { sendDownload(); });
    }

    void setScript(const QHash<QByteArray, QByteArray> &replies, const QByteArray &download = {},
                   bool completeDownload = false)
    {
        m_replies = replies;
        m_download = download;
        m_completeDownload = completeDownload;
    }

    QByteArray passiveReply() const
    {
        return "229 Entering extended passive mode (|||" + QByteArray::number(m_data.serverPort()) + "|)";
    }

    QString hostAndPort() const { return QStringLiteral("127.0.0.1:%1").arg(m_control.serverPort()); }

    // Sends line on the latest control connection, unasked, now.
    bool sendAhead(const QByteArray &line)
    {
        QTcpSocket *socket = m_sessions.value(m_sessions.size() - 1);
        return socket && socket->write(line + "\r\n") > 0 && socket->flush();
    }

private:
    void answer(QTcpSocket *socket)
    {
        while (socket->canReadLine()) {
            const QByteArray verb = socket->readLine().trimmed().split(' ').value(0).toUpper();
            const auto reply = m_replies.constFind(verb);
            if (reply == m_replies.constEnd())
                continue;
            socket->write(*reply + "\r\n");
            if (verb == "RETR") {
                m_retrieving = socket;
                sendDownload();
            }
        }
    }

    // Once RETR has come and the data connection is there, whichever is last.
    void sendDownload()
    {
        if (!m_retrieving || !m_data.hasPendingConnections())
            return;
        QTcpSocket *data = m_data.nextPendingConnection();
        data->write(m_download);
        if (m_completeDownload) {
            data->disconnectFromHost();
            m_retrieving->write("226 Transfer complete\r\n");
        }
        m_retrieving = nullptr;
    }

    QTcpServer m_control;
    QTcpServer m_data;
    QList<QPointer<QTcpSocket>> m_sessions;
    QPointer<QTcpSocket> m_retrieving;
    QHash<QByteArray, QByteArray> m_replies;
    QByteArray m_download;
    bool m_completeDownload = false;
};

const QHash<QByteArray, QByteArray> LoginReplies = {
    {"USER", "331 Password please"},
    {"PASS", "230 Logged in"},
    {"PWD", "257 \"/\" is the current directory"},
};

} // namespace

class TestFtpClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void transfersBytesExactly_data();
    void transfersBytesExactly();
    void keepsOneConnectionUntilDisconnect();
    void failuresLeaveFilesAlone_data();
    void failuresLeaveFilesAlone();
    void statRenameRemove();
    void refusesBadSettings_data();
    void refusesBadSettings();
    void recoversAfterServerWentAway();
    void connectWithoutGreetingTimesOut();
    void silentServerEndsOperations();
    void stalledDownloadTimesOut();
    void replyAheadOfCommand();
    void heldReplyKeepsEventsGoing_data();
    void heldReplyKeepsEventsGoing();
    void cancelAndDeletion_data();
    void cancelAndDeletion();

private:
    void setUp(FtpClient &client);

    FtpServerProcess m_server;
    std::unique_ptr<QTemporaryDir> m_local;
};

void TestFtpClient::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
}

void TestFtpClient::init()
{
    if (!m_server.isRunning())
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
    QVERIFY(m_server.setFaults(QJsonObject()));
    m_local = std::make_unique<QTemporaryDir>();
    QVERIFY(m_local->isValid());
}

void TestFtpClient::setUp(FtpClient &client)
{
    // The account the program logs in to.
    const DirectorySettings account;
    client.setHost(m_server.hostAndPort());
    client.setUserName(account.userName);
    client.setPassword(account.password);
}

void TestFtpClient::transfersBytesExactly_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("directory records") << QByteArray("\"10.0.0.5\"\r\n0\r\n\"10.0.0.7\",1050\r\n");
    QByteArray everyByte;
    for (int repeat = 0; repeat < 64; ++repeat)
        for (int value = 0; value < 256; ++value)
            everyByte += char(value);
    QTest::newRow("every byte value") << everyByte;
    QTest::newRow("empty") << QByteArray();
}

void TestFtpClient::transfersBytesExactly()
{
    QFETCH(QByteArray, bytes);
    // Longer than every row, so that a transfer that appends or leaves a
    // tail shows.
    const QByteArray stale(20000, 'x');
    const QString remote =
        QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'_') + QStringLiteral(".bin");
    const QString up = m_local->filePath(QStringLiteral("up"));
    const QString down = m_local->filePath(QStringLiteral("down"));
    QVERIFY(writeFile(m_server.filePath(remote), stale));
    QVERIFY(writeFile(up, bytes));
    QVERIFY(writeFile(down, stale));

    // No operation needs an explicit connect.
    FtpClient client;
    setUp(client);
    QVERIFY(client.put(up, remote));
    QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));
    QCOMPARE(client.error(), FtpClient::NoError);
    QCOMPARE(readFile(m_server.filePath(remote)), bytes);

    QVERIFY(client.get(remote, down));
    QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));
    QCOMPARE(client.bytesTransferred(), bytes.size());
    QCOMPARE(readFile(down), bytes);
    QCOMPARE(entries(m_local->path()), QStringList({QStringLiteral("down"), QStringLiteral("up")}));

    QVERIFY(client.append(bytes, remote));
    QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));
    QCOMPARE(readFile(m_server.filePath(remote)), bytes + bytes);
}

void TestFtpClient::keepsOneConnectionUntilDisconnect()
{
    const QString local = m_local->filePath(QStringLiteral("IP.txt"));
    const QString remote = QStringLiteral("IP.txt");
    QVERIFY(writeFile(m_server.filePath(remote), "\"10.0.0.5\"\r\n0\r\n"));
    const int loginsBefore = m_server.loginCount();

    FtpClient client;
    setUp(client);
    QVERIFY(client.connectToHost());
    QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));
    for (int round = 0; round < 3; ++round) {
        QVERIFY(client.get(remote, local));
        QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));
        QVERIFY(writeFile(local, readFile(local) + "\"10.0.0.9\"\r\n0\r\n"));
        QVERIFY(client.put(local, remote));
        QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));
    }
    QCOMPARE(readFile(m_server.filePath(remote)).count("10.0.0.9"), 3);
    QTRY_COMPARE(m_server.loginCount(), loginsBefore + 1);

    // Connected and at rest, the client's thread sleeps until work comes:
    // it neither wakes up (once, at most, to settle after the last
    // operation) nor spins.
    QSignalSpy finished(&client, &FtpClient::finished);
    const WorkerActivity before = workerActivity();
    QVERIFY(before.sleeps >= 0);
    QVERIFY(!finished.wait(1000));
    const WorkerActivity after = workerActivity();
    QVERIFY2(after.sleeps - before.sleeps <= 1 && after.cpuMs - before.cpuMs <= 5,
             qPrintable(QStringLiteral("woke %1 times, %2 ms busy")
                            .arg(after.sleeps - before.sleeps)
                            .arg(after.cpuMs - before.cpuMs)));

    QVERIFY(client.disconnectFromHost());
    QVERIFY(endsWith(client, true));
    QTRY_VERIFY(m_server.log().contains("QUIT"));
    QVERIFY(client.connectToHost());
    QVERIFY(endsWith(client, true));
    QTRY_COMPARE(m_server.loginCount(), loginsBefore + 2);
}

void TestFtpClient::failuresLeaveFilesAlone_data()
{
    QTest::addColumn<QJsonObject>("faults");
    QTest::addColumn<bool>("upload");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QString>("local");
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<FtpClient::Error>("expected");

    const QJsonObject none;
    QTest::newRow("no such remote file") << none << false << "none.txt" << "IP.txt" << qint64(-1)
                                         << FtpClient::NotFoundError;
    // A refusal that is no "not found" is told apart.
    QTest::newRow("download refused") << QJsonObject{{"retr_fail", 1}} << false << "IP.txt" << "IP.txt" << qint64(-1)
                                      << FtpClient::RemoteFileError;
    // Larger than one block of the transfer, so that the bound holds across blocks.
    QTest::newRow("download past its bound") << none << false << "IP.txt" << "IP.txt" << qint64(FreshSize - 1)
                                             << FtpClient::TooLargeError;
    // Without a local file nothing is sent, not even a login.
    QTest::newRow("upload without a local file") << none << true << "IP.txt" << "missing.txt" << qint64(-1)
                                                 << FtpClient::LocalFileError;
}

void TestFtpClient::failuresLeaveFilesAlone()
{
    QFETCH(QJsonObject, faults);
    QFETCH(bool, upload);
    QFETCH(QString, remote);
    QFETCH(QString, local);
    QFETCH(qint64, maxBytes);
    QFETCH(FtpClient::Error, expected);
    const QByteArray before("\"10.0.0.5\"\r\n0\r\n\xa7\x80\xff");
    const QString localCopy = m_local->filePath(QStringLiteral("IP.txt"));
    QVERIFY(writeFile(localCopy, before));
    const QByteArray fresh(FreshSize, 'f');
    QVERIFY(writeFile(m_server.filePath(QStringLiteral("IP.txt")), fresh));
    QVERIFY(m_server.setFaults(faults));
    const int loginsBefore = m_server.loginCount();

    FtpClient client;
    setUp(client);
    const QString localFile = m_local->filePath(local);
    QVERIFY(upload ? client.put(localFile, remote) : client.get(remote, localFile, maxBytes));
    QVERIFY(endsWith(client, false));
    QCOMPARE(client.error(), expected);
    QVERIFY(!client.errorString().isEmpty());
    QCOMPARE(readFile(localCopy), before);
    QCOMPARE(entries(m_local->path()), QStringList(QStringLiteral("IP.txt")));
    QCOMPARE(readFile(m_server.filePath(QStringLiteral("IP.txt"))), fresh);
    if (upload)
        QCOMPARE(m_server.loginCount(), loginsBefore);

    // The failure does not stick to the next operation, and a download as
    // long as its bound is whole.
    QVERIFY(client.get(QStringLiteral("IP.txt"), localCopy, FreshSize));
    QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));
    QCOMPARE(client.error(), FtpClient::NoError);
    QCOMPARE(readFile(localCopy), fresh);
}

void TestFtpClient::statRenameRemove()
{
    QVERIFY(writeFile(m_server.filePath(QStringLiteral("a.txt")), "12345"));
    QVERIFY(writeFile(m_server.filePath(QStringLiteral("b.txt")), "old"));
    FtpClient client;
    setUp(client);

    QVERIFY(client.stat(QStringLiteral("a.txt")));
    QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));
    QCOMPARE(client.remoteSize(), qint64(5));
    const QDateTime written = QFileInfo(m_server.filePath(QStringLiteral("a.txt"))).lastModified();
    QCOMPARE(client.remoteTime().toSecsSinceEpoch(), written.toSecsSinceEpoch());

    QVERIFY(client.stat(QStringLiteral("none.txt")));
    QVERIFY(endsWith(client, false));
    QCOMPARE(client.error(), FtpClient::NotFoundError);

    // A rename over an existing file replaces it.
    QVERIFY(client.rename(QStringLiteral("a.txt"), QStringLiteral("b.txt")));
    QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));
    QCOMPARE(readFile(m_server.filePath(QStringLiteral("b.txt"))), QByteArray("12345"));
    QVERIFY(!QFile::exists(m_server.filePath(QStringLiteral("a.txt"))));
    QVERIFY(client.rename(QStringLiteral("a.txt"), QStringLiteral("c.txt")));
    QVERIFY(endsWith(client, false));

    QVERIFY(client.remove(QStringLiteral("b.txt")));
    QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));
    QVERIFY(!QFile::exists(m_server.filePath(QStringLiteral("b.txt"))));
}

void TestFtpClient::refusesBadSettings_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("remoteFile");
    QTest::addColumn<FtpClient::Error>("expected");

    const QString good = DirectorySettings().password;
    const QString server = m_server.hostAndPort();
    QTest::newRow("wrong password") << server << "wrong" << "IP.txt" << FtpClient::LoginError;
    QTest::newRow("nobody listening") << QString() << good << "IP.txt" << FtpClient::ConnectionError;
    QTest::newRow("empty host") << "-" << good << "IP.txt" << FtpClient::SettingsError;
    QTest::newRow("port out of range") << "127.0.0.1:65536" << good << "IP.txt" << FtpClient::SettingsError;
    QTest::newRow("host with a path") << server + "/x" << good << "IP.txt" << FtpClient::SettingsError;
    QTest::newRow("no remote file") << server << good << "" << FtpClient::SettingsError;
    QTest::newRow("remote folder") << server << good << "folder/" << FtpClient::SettingsError;
    QTest::newRow("command in the name")
        << server << good << "IP.txt\r\nDELE IP.txt" << FtpClient::SettingsError;
    // The client's thread cannot be made: nothing would ever run an operation.
    QTest::newRow("no thread for the client") << "<no thread>" << good << "IP.txt" << FtpClient::TransferError;
}

void TestFtpClient::refusesBadSettings()
{
    QFETCH(QString, host);
    QFETCH(QString, password);
    QFETCH(QString, remoteFile);
    QFETCH(FtpClient::Error, expected);
    const QString local = m_local->filePath(QStringLiteral("IP.txt"));
    QVERIFY(writeFile(local, "local"));
    QVERIFY(writeFile(m_server.filePath(QStringLiteral("IP.txt")), "remote"));

    // A port that is bound and not listening refuses every connection; bound
    // without address reuse, nothing else can take it while it is held.
    QTcpSocket held;
    QVERIFY(held.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress));
    if (host.isEmpty())
        host = QStringLiteral("127.0.0.1:%1").arg(held.localPort());
    else if (host == u"-")
        host.clear();
    // Threads made without a stack size of their own get one larger than
    // any address space, so the system makes none.
    const bool noThread = host == u"<no thread>";
    pthread_attr_t usual;
    QCOMPARE(pthread_getattr_default_np(&usual), 0);
    const auto restore = qScopeGuard([&] {
        pthread_setattr_default_np(&usual);
        pthread_attr_destroy(&usual);
    });
    if (noThread) {
        host = m_server.hostAndPort();
        pthread_attr_t huge;
        pthread_attr_init(&huge);
        QCOMPARE(pthread_attr_setstacksize(&huge, size_t(1) << 62), 0);
        QCOMPARE(pthread_setattr_default_np(&huge), 0);
        pthread_attr_destroy(&huge);
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^QThread::start: ")));
    }

    FtpClient client;
    setUp(client);
    client.setHost(host);
    client.setPassword(password);
    QVERIFY(client.get(remoteFile, local));
    QVERIFY(endsWith(client, false));
    QCOMPARE(client.error(), expected);
    QVERIFY(client.put(local, remoteFile));
    QVERIFY(endsWith(client, false));
    QCOMPARE(client.error(), expected);
    QCOMPARE(readFile(local), QByteArray("local"));
    QCOMPARE(readFile(m_server.filePath(QStringLiteral("IP.txt"))), QByteArray("remote"));
}

void TestFtpClient::recoversAfterServerWentAway()
{
    const QString local = m_local->filePath(QStringLiteral("IP.txt"));
    const QString remote = QStringLiteral("IP.txt");
    QVERIFY(writeFile(local, "local"));
    QVERIFY(writeFile(m_server.filePath(remote), "remote"));
    FtpClient client;
    setUp(client);
    client.setTimeouts(shortTimeouts());
    QVERIFY(client.connectToHost());
    QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));

    m_server.stop();
    QVERIFY(client.get(remote, local));
    QVERIFY(endsWith(client, false));
    QVERIFY(client.error() > 0);
    QCOMPARE(readFile(local), QByteArray("local"));
    QCOMPARE(entries(m_local->path()), QStringList(QStringLiteral("IP.txt")));

    // What the exit command does after a failed download, once a server
    // answers again.
    QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
    QVERIFY(writeFile(m_server.filePath(remote), "remote"));
    client.setHost(m_server.hostAndPort());
    QVERIFY(client.disconnectFromHost());
    QVERIFY(endsWith(client, true));
    QVERIFY(client.connectToHost());
    QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));
    QVERIFY(client.get(remote, local));
    QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));
    QCOMPARE(readFile(local), QByteArray("remote"));

    // A server that closed the connection in between is noticed before the
    // connection is used: the next operation logs in again by itself.
    const int loginsBefore = m_server.loginCount();
    QVERIFY(m_server.dropSessions());
    QVERIFY(client.put(local, remote));
    QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));
    QTRY_COMPARE(m_server.loginCount(), loginsBefore + 1);
}

void TestFtpClient::connectWithoutGreetingTimesOut()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    const QString local = m_local->filePath(QStringLiteral("IP.txt"));

    FtpClient client;
    client.setHost(QStringLiteral("127.0.0.1:%1").arg(silent.serverPort()));
    client.setTimeouts(shortTimeouts());

    // Events go on while connect waits, and an operation started meanwhile
    // is turned away without a word instead of disturbing the one that runs.
    int ticks = 0;
    bool busyWhileWaiting = false;
    bool anotherStarted = true;
    QTimer timer;
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, &timer, [&] {
        if (ticks++ > 0)
            return;
        busyWhileWaiting = client.isBusy();
        anotherStarted = client.get(QStringLiteral("IP.txt"), local) || client.put(local, QStringLiteral("IP.txt"))
            || client.connectToHost() || client.disconnectFromHost();
    });
    timer.start();

    QVERIFY(client.connectToHost());
    QVERIFY(endsWith(client, false));
    QCOMPARE(client.error(), FtpClient::TimeoutError);
    QVERIFY(!client.isBusy());
    QVERIFY(silent.hasPendingConnections());
    QVERIFY(ticks > 0);
    QVERIFY(busyWhileWaiting);
    QVERIFY(!anotherStarted);
    QVERIFY(!QFile::exists(local));
}

void TestFtpClient::silentServerEndsOperations()
{
    // Logs in and opens a data connection, then answers nothing: not the
    // transfer's other commands, not QUIT.
    ScriptedFtpServer server;
    QHash<QByteArray, QByteArray> replies = LoginReplies;
    replies.insert("EPSV", server.passiveReply());
    server.setScript(replies);
    const QString local = m_local->filePath(QStringLiteral("IP.txt"));
    QVERIFY(writeFile(local, "local"));

    FtpClient client;
    setUp(client);
    client.setHost(server.hostAndPort());
    client.setTimeouts(shortTimeouts());

    QVERIFY(client.connectToHost());
    QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));
    QVERIFY(client.get(QStringLiteral("IP.txt"), local));
    QVERIFY(endsWith(client, false));
    QCOMPARE(client.error(), FtpClient::TimeoutError);
    QCOMPARE(readFile(local), QByteArray("local"));
    QCOMPARE(entries(m_local->path()), QStringList(QStringLiteral("IP.txt")));

    // A goodbye that gets no answer ends at the response bound, and the
    // event loop runs on time while it waits.
    QVERIFY(client.connectToHost());
    QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));
    const TickWatch ticks;
    QVERIFY(client.disconnectFromHost());
    QVERIFY(endsWith(client, true));
    QVERIFY2(ticks.worstMs() <= TickWatch::MostLateMs,
             qPrintable(QStringLiteral("a tick came %1 ms late").arg(ticks.worstMs())));
}

void TestFtpClient::stalledDownloadTimesOut()
{
    ScriptedFtpServer server;
    QHash<QByteArray, QByteArray> replies = LoginReplies;
    replies.insert("EPSV", server.passiveReply());
    replies.insert("TYPE", "200 Binary");
    replies.insert("SIZE", "213 1000");
    replies.insert("RETR", "150 Here it comes");
    server.setScript(replies, QByteArray(1, 'z'));
    const QString local = m_local->filePath(QStringLiteral("IP.txt"));
    QVERIFY(writeFile(local, "local"));

    FtpClient client;
    client.setHost(server.hostAndPort());
    FtpClient::Timeouts timeouts = shortTimeouts();
    timeouts.responseMs = 30000; // so that only the stall bound can end it
    client.setTimeouts(timeouts);

    QVERIFY(client.get(QStringLiteral("IP.txt"), local));
    QVERIFY(endsWith(client, false));
    QCOMPARE(client.error(), FtpClient::TimeoutError);
    QCOMPARE(readFile(local), QByteArray("local"));
    QCOMPARE(entries(m_local->path()), QStringList(QStringLiteral("IP.txt")));
}

void TestFtpClient::replyAheadOfCommand()
{
    // A server close by may answer before the command has quite left; here
    // the reply to EPSV is already waiting when EPSV goes out on a connection
    // kept from before. The data connection must open at once, not when
    // some bound runs out.
    ScriptedFtpServer server;
    QHash<QByteArray, QByteArray> replies = LoginReplies;
    replies.insert("TYPE", "200 Binary");
    replies.insert("SIZE", "213 5");
    replies.insert("RETR", "150 Here it comes");
    server.setScript(replies, "hello", true);
    const QString local = m_local->filePath(QStringLiteral("IP.txt"));

    FtpClient client;
    client.setHost(server.hostAndPort());
    FtpClient::Timeouts timeouts = shortTimeouts();
    timeouts.connectMs = 30000;
    timeouts.operationMs = 30000;
    client.setTimeouts(timeouts);

    QVERIFY(client.connectToHost());
    QVERIFY2(endsWith(client, true), qPrintable(client.errorString()));
    QVERIFY(server.sendAhead(server.passiveReply()));
    QVERIFY(client.get(QStringLiteral("IP.txt"), local));
    QVERIFY2(endsWith(client, true, 5000), qPrintable(client.errorString()));
    QCOMPARE(readFile(local), QByteArray("hello"));
}

void TestFtpClient::heldReplyKeepsEventsGoing_data()
{
    QTest::addColumn<bool>("upload");
    QTest::addColumn<double>("holdS");
    QTest::addColumn<int>("operationMs");
    QTest::addColumn<FtpClient::Error>("expected");

    QTest::newRow("get") << false << 2.0 << 20000 << FtpClient::NoError;
    QTest::newRow("put") << true << 2.0 << 20000 << FtpClient::NoError;
    QTest::newRow("get held past the operation bound") << false << 30.0 << 2000 << FtpClient::TimeoutError;
}

void TestFtpClient::heldReplyKeepsEventsGoing()
{
    QFETCH(bool, upload);
    QFETCH(double, holdS);
    QFETCH(int, operationMs);
    QFETCH(FtpClient::Error, expected);
    const QString local = m_local->filePath(QStringLiteral("IP.txt"));
    const QString remote = QStringLiteral("held.txt");
    QVERIFY(writeFile(local, "local"));
    QVERIFY(writeFile(m_server.filePath(remote), "remote"));

    // A server that sends the data, closes the data connection and only
    // then falls silent, before its "226".
    QVERIFY(m_server.setFaults(QJsonObject{{"hold_226", holdS}}));
    FtpClient client;
    setUp(client);
    FtpClient::Timeouts timeouts = FtpClient::defaultTimeouts();
    timeouts.operationMs = operationMs;
    client.setTimeouts(timeouts);

    const TickWatch ticks;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(upload ? client.put(local, remote) : client.get(remote, local));
    QVERIFY(endsWith(client, expected == FtpClient::NoError, 40000));
    const qint64 tookMs = clock.elapsed();
    QCOMPARE(client.error(), expected);
    QVERIFY2(ticks.worstMs() <= TickWatch::MostLateMs,
             qPrintable(QStringLiteral("a tick came %1 ms late").arg(ticks.worstMs())));
    if (expected == FtpClient::NoError) {
        QVERIFY(tookMs >= qint64(holdS * 1000) - 100);
        QCOMPARE(readFile(upload ? m_server.filePath(remote) : local), QByteArray(upload ? "local" : "remote"));
    } else {
        QVERIFY2(tookMs < operationMs + 2000, qPrintable(QStringLiteral("ended after %1 ms").arg(tookMs)));
        QCOMPARE(readFile(local), QByteArray("local"));
        QCOMPARE(entries(m_local->path()), QStringList(QStringLiteral("IP.txt")));
    }
}

void TestFtpClient::cancelAndDeletion_data()
{
    QTest::addColumn<bool>("held");

    // Waiting for a server that accepted and says nothing, and waiting for
    // the "226" of a download whose data has passed.
    QTest::newRow("connecting") << false;
    QTest::newRow("reply held") << true;
}

void TestFtpClient::cancelAndDeletion()
{
    QFETCH(bool, held);
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    const QString silentHost = QStringLiteral("127.0.0.1:%1").arg(silent.serverPort());
    const QString local = m_local->filePath(QStringLiteral("IP.txt"));
    QVERIFY(writeFile(local, "local"));
    QVERIFY(writeFile(m_server.filePath(QStringLiteral("IP.txt")), "remote"));
    if (held)
        QVERIFY(m_server.setFaults(QJsonObject{{"hold_226", 60}}));
    const auto prepare = [&](FtpClient &client) {
        setUp(client);
        if (!held)
            client.setHost(silentHost);
        client.setTimeouts(shortTimeouts());
    };
    // Whether the operation waits where the row says: the server holds one
    // more "226" than before, or the silent server has its connection.
    const auto waiting = [&](qsizetype heldBefore) {
        return held ? m_server.log().count("226 held") > heldBefore : silent.hasPendingConnections();
    };

    // A dropped operation says nothing and leaves the local file alone; the
    // next one runs as usual, at once.
    FtpClient client;
    prepare(client);
    qsizetype heldBefore = m_server.log().count("226 held");
    QVERIFY(client.get(QStringLiteral("IP.txt"), local));
    QSignalSpy finished(&client, &FtpClient::finished);
    QTRY_VERIFY_WITH_TIMEOUT(waiting(heldBefore), 10000);
    client.cancel();
    QVERIFY(!client.isBusy());
    QVERIFY(!finished.wait(300));
    QCOMPARE(readFile(local), QByteArray("local"));
    QCOMPARE(entries(m_local->path()), QStringList(QStringLiteral("IP.txt")));
    QVERIFY(m_server.setFaults(QJsonObject()));
    setUp(client);
    QVERIFY(client.get(QStringLiteral("IP.txt"), local));
    QVERIFY2(endsWith(client, true, 5000), qPrintable(client.errorString()));
    QCOMPARE(readFile(local), QByteArray("remote"));
    QCOMPARE(finished.size(), 1);

    // Deleted by an event handler while an operation runs, without holding
    // the event loop.
    if (held)
        QVERIFY(m_server.setFaults(QJsonObject{{"hold_226", 60}}));
    QVERIFY(writeFile(local, "local"));
    QPointer<FtpClient> doomed = new FtpClient;
    prepare(*doomed);
    heldBefore = m_server.log().count("226 held");
    QVERIFY(doomed->get(QStringLiteral("IP.txt"), local));
    QTRY_VERIFY_WITH_TIMEOUT(waiting(heldBefore), 10000);
    qint64 deletionMs = -1;
    QTimer::singleShot(0, &silent, [&doomed, &deletionMs] {
        QElapsedTimer clock;
        clock.start();
        delete doomed.data();
        deletionMs = clock.elapsed();
    });
    QTRY_VERIFY(doomed.isNull());
    QVERIFY2(deletionMs < 1000, qPrintable(QStringLiteral("deletion took %1 ms").arg(deletionMs)));
    QCOMPARE(readFile(local), QByteArray("local"));
    QCOMPARE(entries(m_local->path()), QStringList(QStringLiteral("IP.txt")));
}

QTEST_GUILESS_MAIN(TestFtpClient)
#include "tst_ftpclient.moc"
