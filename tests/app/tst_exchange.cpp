// Registering at "Connect" and leaving at "Exit", against a real FTP server.

#include "Controls/ambrelinterface.h"
#include "app/shutdown.h"
#include "app/splash.h"
#include "app/startup.h"
#include "app/tamsin.h"
#include "app/windows/iconcontrol.h"
#include "app/windows/mdimain.h"
#include "net/ftpclient.h"
#include "net/server.h"
#include "tests/support/ftpserver.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

constexpr char Own[] = "127.0.0.2";
const QByteArray OwnRecord = "\"127.0.0.2\"\r\n0\r\n";

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(data);
}

} // namespace

class TestExchange : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void emptyDirectory();
    void appendsAfterOneLineRecords();
    void ownAddressAlreadyListed();
    void serverUnreachable();
    void getFailsPutSucceeds();
    void exitRemovesOwnRecordsOnly();
    void exitWithOnlyOwnRecordsUploadsEmptyFile();
    void exitAfterServerRestart();
    void exitWithServerDownLeavesDirectory();

private:
    void connectNow();
    void exitNow();
    QString localCopy() const { return m_folder->filePath(QStringLiteral("IP.txt")); }
    QString remoteCopy() const { return m_server->filePath(QStringLiteral("IP.txt")); }

    AmbrelFactory *m_strips = nullptr;
    std::unique_ptr<FtpServerProcess> m_server;
    std::unique_ptr<QTemporaryDir> m_folder;
    PeerTable m_peers;
    std::unique_ptr<Splash> m_splash;
    int m_ended = 0;
    QString m_host;
};

void TestExchange::initTestCase()
{
    QString error;
    m_strips = Startup::loadAmbrel(QStringLiteral(AMBREL_FOLDER), &error);
    QVERIFY2(m_strips, qPrintable(error));
}

void TestExchange::init()
{
    m_server = std::make_unique<FtpServerProcess>();
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    m_folder = std::make_unique<QTemporaryDir>();
    m_peers = PeerTable();
    m_ended = 0;
    m_host = m_server->hostAndPort();
}

void TestExchange::cleanup()
{
    m_splash.reset();
    Iconcontrol::RemoveTrayIcon();
    m_server.reset();
    m_folder.reset();
}

void TestExchange::connectNow()
{
    ProgramSettings settings;
    settings.programFolder = m_folder->path();
    settings.localAddress = QString::fromLatin1(Own);
    settings.directoryHost = m_host;
    m_splash = std::make_unique<Splash>(*m_strips, settings, m_peers);
    m_splash->setEndProcess([this] { ++m_ended; });
    m_splash->show();

    auto *title = m_splash->findChild<QLabel *>(QStringLiteral("Label1"));
    QStringList shown;
    QList<double> sizes;
    connect(m_splash.get(), &Splash::statusShown, this, [&](const QString &text) {
        shown << text;
        sizes << title->font().pointSizeF();
    });
    m_splash->MainConnect();

    QCOMPARE(shown, (QStringList{"Connecting...", "Connected", "Uploading IP Address...",
                                 "Disconnecting From Central Server", "Loading Users:", "Done: Loading..."}));
    QCOMPARE(sizes, QList<double>(6, 36.0));
    QVERIFY(!m_splash->isVisible());
    QVERIFY(m_splash->mainWindow()->isVisible());
    QVERIFY(m_splash->mainWindow()->server()->isVisible());
    QVERIFY(m_splash->mainWindow()->isLoaded());
}

void TestExchange::exitNow()
{
    QVERIFY(m_splash);
    emit m_splash->mainWindow()->exitRequested();
    QCOMPARE(m_ended, 1);
    QVERIFY(!Iconcontrol::hasTrayIcon());
}

void TestExchange::emptyDirectory()
{
    writeFile(remoteCopy(), QByteArray());
    connectNow();
    QCOMPARE(readFile(remoteCopy()), OwnRecord);
    QCOMPARE(readFile(localCopy()), OwnRecord);
    QCOMPARE(m_peers.PeerCount, 1.0);
    QCOMPARE(m_peers.PeerAddress[1], QString::fromLatin1(Own));
    QCOMPARE(m_peers.PeerPort[1], qint16(0));
}

void TestExchange::appendsAfterOneLineRecords()
{
    const QByteArray three = "\"10.0.0.1\",1\r\n\"10.0.0.2\",2\r\n\"10.0.0.3\",-3\r\n";
    writeFile(remoteCopy(), three);
    connectNow();
    QCOMPARE(readFile(remoteCopy()), three + OwnRecord);
    QCOMPARE(readFile(localCopy()), three + OwnRecord);
    QCOMPARE(m_peers.PeerCount, 4.0);
    QCOMPARE(m_peers.PeerAddress[1], QStringLiteral("10.0.0.1"));
    QCOMPARE(m_peers.PeerPort[3], qint16(-3));
    QCOMPARE(m_peers.PeerAddress[4], QString::fromLatin1(Own));
    // The one-line layout of the earlier records stays as it was.
    QCOMPARE(m_server->loginCount(), 1);
}

void TestExchange::ownAddressAlreadyListed()
{
    writeFile(remoteCopy(), OwnRecord);
    connectNow();
    QCOMPARE(readFile(remoteCopy()), OwnRecord + OwnRecord);
    QCOMPARE(m_peers.PeerCount, 2.0);
}

void TestExchange::serverUnreachable()
{
    const QByteArray earlier = "\"10.0.0.1\",1\r\n";
    writeFile(localCopy(), earlier);
    m_server->stop();
    connectNow();
    QCOMPARE(readFile(localCopy()), earlier + OwnRecord);
    QCOMPARE(m_peers.PeerCount, 2.0);
    QCOMPARE(m_peers.PeerAddress[2], QString::fromLatin1(Own));
}

void TestExchange::getFailsPutSucceeds()
{
    // No directory on the server: the fetch fails, the put creates it from
    // the local copy of an earlier run.
    const QByteArray earlier = "\"10.0.0.9\"\r\n0\r\n";
    writeFile(localCopy(), earlier);
    connectNow();
    QCOMPARE(readFile(remoteCopy()), earlier + OwnRecord);
    QCOMPARE(m_peers.PeerCount, 2.0);
}

void TestExchange::exitRemovesOwnRecordsOnly()
{
    writeFile(remoteCopy(), "\"10.0.0.1\"\r\n5\r\n");
    connectNow();
    // Other copies come and go meanwhile; one left a record of ours with
    // another port, and two look like ours without being equal to it.
    writeFile(remoteCopy(), "\"10.0.0.1\"\r\n5\r\n\"127.0.0.2\"\r\n0\r\n\"127.0.0.02\",7\r\n\"127.0.0.2\",9\r\n"
                            "\" 127.0.0.2\",8\r\n\"10.0.0.4\"\r\n0\r\n");
    exitNow();
    QCOMPARE(readFile(remoteCopy()),
             QByteArray("\"10.0.0.1\",5\r\n\"127.0.0.02\",7\r\n\" 127.0.0.2\",8\r\n\"10.0.0.4\",0\r\n"));
    QCOMPARE(readFile(localCopy()), readFile(remoteCopy()));
    QCOMPARE(m_peers.PeerCount, 6.0);
}

void TestExchange::exitWithOnlyOwnRecordsUploadsEmptyFile()
{
    writeFile(remoteCopy(), QByteArray());
    connectNow();
    writeFile(remoteCopy(), OwnRecord + "\"127.0.0.2\",3\r\n");
    exitNow();
    QCOMPARE(readFile(remoteCopy()), QByteArray());
}

void TestExchange::exitAfterServerRestart()
{
    writeFile(remoteCopy(), QByteArray());
    connectNow();
    // The connection opened at start-up is gone by the time the user leaves.
    m_server->stop();
    QVERIFY2(m_server->restart(), qPrintable(m_server->errorString()));
    exitNow();
    QCOMPARE(readFile(remoteCopy()), QByteArray());
}

void TestExchange::exitWithServerDownLeavesDirectory()
{
    writeFile(remoteCopy(), "\"10.0.0.1\",1\r\n");
    connectNow();
    const QByteArray before = readFile(remoteCopy());
    const QByteArray localBefore = readFile(localCopy());
    m_server->stop();
    exitNow();
    QCOMPARE(readFile(remoteCopy()), before);
    QCOMPARE(readFile(localCopy()), localBefore);
}

QTEST_MAIN(TestExchange)
#include "tst_exchange.moc"
