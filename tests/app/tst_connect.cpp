// "Connect" and "Exit" through the windows, against a real FTP server, and
// what a user may do while either of them waits.

#include "Controls/ambrelinterface.h"
#include "app/sessionend.h"
#include "app/shutdown.h"
#include "app/splash.h"
#include "app/startup.h"
#include "app/windows/frmdp.h"
#include "app/windows/frmsearch.h"
#include "app/windows/iconcontrol.h"
#include "app/windows/mdimain.h"
#include "app/windows/orvik.h"
#include "directory/tamsin.h"
#include "net/bytelinesmodel.h"
#include "net/downloadclient.h"
#include "net/searchclient.h"
#include "net/searchresponder.h"
#include "net/server.h"
#include "net/uploadresponder.h"
#include "tests/support/ftpserver.h"
#include "tests/support/testfiles.h"

#include <QAbstractItemView>
#include <QDir>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

namespace {

constexpr char Own[] = "127.0.0.2";
const QByteArray OwnRecord = "\"127.0.0.2\"\r\n0\r\n";

} // namespace

class TestConnect : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void connectAndExit();
    void statusStripSaysWhatFailed();
    void trayDoubleClickDuringConnect();
    void exitDuringSearch();
    void searchDuringExit();
    void searchWindowClosedDuringSearch();
    void progressWindowClosedDuringDownload();
    void sessionEndRunsExit_data();
    void sessionEndRunsExit();

private:
    void makeSplash(quint16 uploadPort = 0);
    bool connectNow();
    QString remoteCopy() const { return m_server->filePath(QStringLiteral("IP.txt")); }

    AmbrelFactory *m_strips = nullptr;
    std::unique_ptr<FtpServerProcess> m_server;
    std::unique_ptr<QTemporaryDir> m_folder;
    PeerTable m_peers;
    std::unique_ptr<Splash> m_splash;
    int m_ended = 0;
};

void TestConnect::initTestCase()
{
    QString error;
    m_strips = Startup::loadAmbrel(QStringLiteral(AMBREL_FOLDER), &error);
    QVERIFY2(m_strips, qPrintable(error));
}

void TestConnect::init()
{
    m_server = std::make_unique<FtpServerProcess>();
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    m_folder = std::make_unique<QTemporaryDir>();
    m_peers = PeerTable();
    m_ended = 0;
    makeSplash();
}

void TestConnect::cleanup()
{
    m_splash.reset();
    Iconcontrol::RemoveTrayIcon();
    m_server.reset();
    m_folder.reset();
}

void TestConnect::makeSplash(quint16 uploadPort)
{
    ProgramSettings settings;
    settings.programFolder = m_folder->path();
    settings.localAddress = QString::fromLatin1(Own);
    settings.directoryHost = m_server->hostAndPort();
    // Any free ports: a copy running on this machine does not disturb the test.
    settings.searchPort = 0;
    settings.uploadPort = uploadPort;
    m_splash = std::make_unique<Splash>(*m_strips, settings, m_peers);
    m_splash->setEndProcess([this] { ++m_ended; });
    m_splash->show();
}

bool TestConnect::connectNow()
{
    QSignalSpy finished(m_splash.get(), &Splash::connectFinished);
    m_splash->MainConnect();
    return finished.wait(30000);
}

void TestConnect::connectAndExit()
{
    QVERIFY(writeFile(remoteCopy(), "\"10.0.0.1\",1\r\n"));
    auto *title = m_splash->findChild<QLabel *>(QStringLiteral("Label1"));
    QStringList shown;
    QList<double> sizes;
    connect(m_splash.get(), &Splash::statusShown, this, [&](const QString &text) {
        shown << text;
        sizes << title->font().pointSizeF();
    });
    QVERIFY(connectNow());
    QCOMPARE(shown, (QStringList{"Connecting...", "Connected", "Uploading IP Address...",
                                 "Disconnecting From Central Server", "Loading Users:", "Done: Loading..."}));
    QCOMPARE(sizes, QList<double>(6, 36.0));
    MDIMain *main = m_splash->mainWindow();
    QVERIFY(!m_splash->isVisible());
    QVERIFY(main->isVisible());
    QVERIFY(main->server()->isVisible());
    QVERIFY(main->isLoaded());
    QVERIFY(main->server()->searchResponder().isListening());
    QCOMPARE(m_peers.count(), 2);
    QCOMPARE(readFile(remoteCopy()), "\"10.0.0.1\",1\r\n" + OwnRecord);

    emit main->exitRequested();
    emit main->exitRequested(); // a second "Exit" while the first runs
    QTRY_COMPARE(m_ended, 1);
    QVERIFY(!Iconcontrol::hasTrayIcon());
    QCOMPARE(readFile(remoteCopy()), QByteArray("\"10.0.0.1\",1\r\n"));
}

void TestConnect::statusStripSaysWhatFailed()
{
    // No directory server: the copy opens unregistered and says so.
    m_server->stop();
    QVERIFY(connectNow());
    Orvik *status = m_splash->mainWindow()->orvik();
    QVERIFY(status->hasError());
    QVERIFY2(status->line().startsWith(QStringLiteral("Not registered in the central directory: ")),
             qPrintable(status->line()));

    // A port that another program holds: the listener's error replaces it.
    m_splash.reset();
    Iconcontrol::RemoveTrayIcon();
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress(QString::fromLatin1(Own)), 0));
    QVERIFY(m_server->start());
    makeSplash(holder.serverPort());
    QVERIFY(connectNow());
    status = m_splash->mainWindow()->orvik();
    QVERIFY2(status->line().startsWith(QStringLiteral("Cannot listen on port %1").arg(holder.serverPort())),
             qPrintable(status->line()));
    // It stays across the user count's ticks.
    QSignalSpy ticks(status->statusTimer(), &QTimer::timeout);
    QVERIFY(ticks.wait(3000) && ticks.wait(3000));
    QVERIFY(status->hasError());
}

void TestConnect::trayDoubleClickDuringConnect()
{
    // The download is held back, so the frame exists, hidden, for a second
    // before the start-up sequence shows it.
    QVERIFY(m_server->setFaults(QJsonObject{{"retr_delay", 0.5}}));
    QSignalSpy finished(m_splash.get(), &Splash::connectFinished);
    connect(&m_splash->exchange(), &DirectoryExchange::stepReached, this, [this](DirectoryExchange::Step step) {
        if (step == DirectoryExchange::Step::Uploading)
            QTimer::singleShot(0, this, [this] {
                Iconcontrol::TrayMessage(Iconcontrol::WM_LBUTTONDBLCLK, m_splash->mainWindow());
            });
    });
    m_splash->MainConnect();
    QVERIFY(finished.wait(30000));
    MDIMain *main = m_splash->mainWindow();
    QVERIFY(main->isVisible());
    QVERIFY(!(main->windowState() & Qt::WindowMinimized));
}

void TestConnect::exitDuringSearch()
{
    // The only other peer accepts and never answers.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress(QStringLiteral("127.0.0.3")), 0));
    QVERIFY(writeFile(remoteCopy(), "\"127.0.0.3\",0\r\n"));
    QVERIFY(connectNow());
    MDIMain *main = m_splash->mainWindow();
    SearchClient &search = main->server()->searchClient();
    search.setPort(silent.serverPort());
    QSignalSpy searchFinished(&search, &SearchClient::searchFinished);
    main->showSearchWindow();
    frmsearch *window = main->searchWindow();
    window->searchtext()->setText(QStringLiteral("abc"));
    window->Command1()->click();
    QVERIFY(search.isSearching());
    QTRY_VERIFY(silent.hasPendingConnections());

    emit main->exitRequested();
    QCOMPARE(searchFinished.count(), 1);
    QTRY_COMPARE(m_ended, 1);
    QCOMPARE(readFile(remoteCopy()), QByteArray("\"127.0.0.3\",0\r\n"));
}

void TestConnect::searchDuringExit()
{
    // A peer with one matching file; the exit's download is held back.
    QTemporaryDir other;
    QDir(other.path()).mkpath(QStringLiteral("Shared"));
    QVERIFY(writeFile(other.filePath(QStringLiteral("Shared/abc.txt")), "x"));
    SearchResponder responder(other.path(), QStringLiteral("127.0.0.3"), 0);
    QVERIFY(responder.start());
    QVERIFY(writeFile(remoteCopy(), "\"127.0.0.3\",0\r\n"));
    QVERIFY(connectNow());
    MDIMain *main = m_splash->mainWindow();
    SearchClient &search = main->server()->searchClient();
    search.setPort(responder.localPort());

    QVERIFY(m_server->setFaults(QJsonObject{{"retr_delay", 1.0}}));
    emit main->exitRequested();
    QSignalSpy searchFinished(&search, &SearchClient::searchFinished);
    main->showSearchWindow();
    main->searchWindow()->searchtext()->setText(QStringLiteral("abc"));
    main->searchWindow()->Command1()->click();
    QVERIFY(searchFinished.wait(10000));
    QCOMPARE(main->searchWindow()->Searchresults()->model()->rowCount(), 1);
    QCOMPARE(m_ended, 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_ended, 1, 30000);
}

void TestConnect::searchWindowClosedDuringSearch()
{
    // A silent peer first, then one with a matching file.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress(QStringLiteral("127.0.0.3")), 0));
    QTemporaryDir other;
    QDir(other.path()).mkpath(QStringLiteral("Shared"));
    QVERIFY(writeFile(other.filePath(QStringLiteral("Shared/abc.txt")), "x"));
    SearchResponder responder(other.path(), QStringLiteral("127.0.0.4"), silent.serverPort());
    QVERIFY(responder.start());
    QVERIFY(writeFile(remoteCopy(), "\"127.0.0.3\",0\r\n\"127.0.0.4\",0\r\n"));
    QVERIFY(connectNow());
    MDIMain *main = m_splash->mainWindow();
    SearchClient &search = main->server()->searchClient();
    search.setPort(silent.serverPort());
    search.setSilenceTimeout(300);
    QSignalSpy searchFinished(&search, &SearchClient::searchFinished);

    main->showSearchWindow();
    QPointer<frmsearch> first = main->searchWindow();
    first->searchtext()->setText(QStringLiteral("abc"));
    first->Command1()->click();
    QVERIFY(first->close());
    QTRY_VERIFY(first.isNull());
    QVERIFY(searchFinished.wait(10000));
    // The result went into a window made anew, hidden.
    frmsearch *second = main->searchWindow();
    QCOMPARE(second->Searchresults()->model()->rowCount(), 1);
    QCOMPARE(second->Searchresults()->accessibleDescription(), QStringLiteral("3 of 3 peers asked"));
    QVERIFY(!second->isVisible());
    QVERIFY(second->Command1()->isEnabled());
}

void TestConnect::progressWindowClosedDuringDownload()
{
    // Another copy serves a large file.
    QTemporaryDir other;
    QDir(other.path()).mkpath(QStringLiteral("Shared"));
    QFile big(other.filePath(QStringLiteral("Shared/big.bin")));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(qint64(256) << 20));
    big.close();
    UploadResponder responder(other.path(), QStringLiteral("127.0.0.3"), 0);
    QVERIFY(responder.start());
    QDir(m_folder->path()).mkpath(QStringLiteral("Downloads"));
    QVERIFY(connectNow());
    MDIMain *main = m_splash->mainWindow();
    DownloadClient &download = main->server()->downloads();
    QSignalSpy finished(&download, &DownloadClient::finished);

    main->showProgressWindow();
    QPointer<frmDP> first = main->progressWindow();
    // The copy dials the port every copy listens on; here the other's.
    download.setUploadPort(responder.port());
    QVERIFY(main->server()->startdownload(QStringLiteral("127.0.0.3\u00a7big.bin")));
    QTRY_VERIFY(first->model()->byteCount() > 0);
    QVERIFY(first->close());
    QTRY_VERIFY(first.isNull());
    main->showProgressWindow();
    frmDP *second = main->progressWindow();
    QVERIFY(second->isVisible());
    QVERIFY(finished.wait(30000));
    QVERIFY(finished.first().first().toBool());
    QCOMPARE(second->model()->data(second->model()->index(second->model()->rowCount() - 1)).toString(),
             QStringLiteral("Done!"));
}

void TestConnect::sessionEndRunsExit_data()
{
    QTest::addColumn<int>("how");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
    QTest::newRow("the event loop is told to quit") << 0;
}

void TestConnect::sessionEndRunsExit()
{
    QFETCH(int, how);
    SessionEnd session;
    QVERIFY(session.isInstalled());
    connect(m_splash.get(), &Splash::connectStarted, &session, [&session] { session.setHoldQuit(true); });
    connect(&session, &SessionEnd::endRequested, m_splash.get(), &Splash::endSession);
    QVERIFY(writeFile(remoteCopy(), "\"10.0.0.1\",1\r\n"));
    QVERIFY(connectNow());
    QCOMPARE(readFile(remoteCopy()), "\"10.0.0.1\",1\r\n" + OwnRecord);

    if (how) {
        QCOMPARE(::raise(how), 0);
    } else {
        // What quit() sends when the event loop runs (the test's does not).
        QEvent quit(QEvent::Quit);
        QVERIFY(QCoreApplication::sendEvent(QCoreApplication::instance(), &quit));
    }
    QTRY_COMPARE(m_ended, 1);
    QCOMPARE(readFile(remoteCopy()), QByteArray("\"10.0.0.1\",1\r\n"));
}

QTEST_MAIN(TestConnect)
#include "tst_connect.moc"
