// "Connect" and "Exit" through the windows, against a real FTP server, and
// what a user may do while either of them waits.

#include "Controls/ambrelinterface.h"
#include "app/session.h"
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
#include "tests/support/stalledasker.h"
#include "tests/support/testfiles.h"

#include <QAbstractItemView>
#include <QDir>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSessionManager>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <signal.h>
#include <sys/socket.h>
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
    void errorsLastAsLongAsTheirCause();
    void trayDoubleClickDuringConnect();
    void exitDuringSearch();
    void searchDuringExit();
    void searchWindowClosedDuringSearch();
    void progressWindowClosedDuringDownload();
    void sessionEndRunsExit_data();
    void sessionEndRunsExit();
    void forcedEndResetsUploads();

private:
    void makeSplash(quint16 uploadPort = 0);
    bool connectNow();
    MDIMain *mainWindow() const { return m_session->mainWindow(); }
    QString remoteCopy() const { return m_server->filePath(QStringLiteral("IP.txt")); }

    AmbrelFactory *m_strips = nullptr;
    std::unique_ptr<FtpServerProcess> m_server;
    std::unique_ptr<QTemporaryDir> m_folder;
    PeerTable m_peers;
    std::unique_ptr<Session> m_session;
    std::unique_ptr<Splash> m_splash;
    // How often, and with what status, the process would have ended.
    int m_ended = 0;
    int m_status = -1;
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
    m_session.reset();
    Iconcontrol::RemoveTrayIcon();
    m_server.reset();
    m_folder.reset();
}

void TestConnect::makeSplash(quint16 uploadPort)
{
    // One session at a time: it holds the process's signal handlers.
    m_splash.reset();
    m_session.reset();
    Iconcontrol::RemoveTrayIcon();
    ProgramSettings settings;
    settings.programFolder = m_folder->path();
    settings.localAddress = QString::fromLatin1(Own);
    settings.directoryHost = m_server->hostAndPort();
    // Any free ports: a copy running on this machine does not disturb the test.
    settings.searchPort = 0;
    settings.uploadPort = uploadPort;
    m_session = std::make_unique<Session>(settings, m_peers, [this](int status) {
        ++m_ended;
        m_status = status;
    });
    m_splash = std::make_unique<Splash>(*m_strips, *m_session);
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
    MDIMain *main = mainWindow();
    QVERIFY(!m_splash->isVisible());
    QVERIFY(main->isVisible());
    QVERIFY(main->server()->isVisible());
    QVERIFY(main->isLoaded());
    QVERIFY(main->server()->searchResponder().isListening());
    QCOMPARE(m_peers.count(), 2);
    QCOMPARE(readFile(remoteCopy()), "\"10.0.0.1\",1\r\n" + OwnRecord);

    // Another copy is downloading a large file from this one, slowly.
    QVERIFY(QDir(m_folder->path()).mkdir(QStringLiteral("Shared")));
    QByteArray big(16 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = char(i * 31 % 251);
    QVERIFY(writeFile(m_folder->filePath(QStringLiteral("Shared/big.bin")), big));
    StalledAsker downloader;
    UploadResponder &uploads = main->server()->uploads();
    QVERIFY(downloader.ask(QString::fromLatin1(Own), uploads.port(), "x\xa7" "big.bin"));
    QTRY_COMPARE(uploads.state(), UploadResponder::State::Answering);

    emit main->exitRequested();
    emit main->exitRequested(); // a second "Exit" while the first runs
    QTRY_COMPARE(m_ended, 1);
    QCOMPARE(m_status, 0);
    QVERIFY(!Iconcontrol::trayIcon());
    QCOMPARE(readFile(remoteCopy()), QByteArray("\"10.0.0.1\",1\r\n"));
    // The copy's end must not read as the end of the file: the download ends
    // in a reset, and what came is the file's beginning.
    StalledAsker::End end = StalledAsker::End::Open;
    QTRY_VERIFY((end = downloader.drain()) != StalledAsker::End::Open);
    QCOMPARE(end, StalledAsker::End::Reset);
    QVERIFY(!downloader.received.isEmpty() && downloader.received.size() < big.size());
    QVERIFY(downloader.received == big.left(downloader.received.size()));
}

void TestConnect::statusStripSaysWhatFailed()
{
    // No directory server: the copy opens unregistered and says so.
    m_server->stop();
    QVERIFY(connectNow());
    Orvik *status = mainWindow()->orvik();
    QVERIFY(status->hasError());
    QVERIFY2(status->line().startsWith(QStringLiteral("Not registered in the central directory: ")),
             qPrintable(status->line()));

    // A port that another program holds: the listener's error replaces it.
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress(QString::fromLatin1(Own)), 0));
    QVERIFY(m_server->start());
    makeSplash(holder.serverPort());
    QVERIFY(connectNow());
    status = mainWindow()->orvik();
    QVERIFY2(status->line().startsWith(QStringLiteral("Cannot listen on port %1").arg(holder.serverPort())),
             qPrintable(status->line()));
    // It stays across the user count's ticks.
    QSignalSpy ticks(status->status(), &QTimer::timeout);
    QVERIFY(ticks.wait(3000) && ticks.wait(3000));
    QVERIFY(status->hasError());
}

void TestConnect::errorsLastAsLongAsTheirCause()
{
    QVERIFY(connectNow());
    Server *server = mainWindow()->server();
    Orvik *status = mainWindow()->orvik();
    QCOMPARE(status->line(), QString());

    // A peer that breaks off its own search is its own business.
    SearchResponder &searches = server->searchResponder();
    QTcpSocket asker;
    asker.connectToHost(QString::fromLatin1(Own), searches.port());
    QTRY_COMPARE(searches.state(), SearchResponder::State::AwaitingRequest);
    const linger reset{1, 0};
    QCOMPARE(::setsockopt(int(asker.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    asker.abort();
    QTRY_VERIFY(searches.isListening());
    QCOMPARE(status->line(), QString());

    // Another program takes the download port while a file is being sent:
    // the strip says so until the port is free and the listener is back.
    QVERIFY(QDir(m_folder->path()).mkdir(QStringLiteral("Shared")));
    QVERIFY(writeFile(m_folder->filePath(QStringLiteral("Shared/a.txt")), "abc"));
    UploadResponder &uploads = server->uploads();
    const quint16 port = uploads.port();
    StalledAsker downloader;
    QVERIFY(downloader.ask(QString::fromLatin1(Own), port, ""));
    QTRY_COMPARE(uploads.state(), UploadResponder::State::AwaitingRequest);
    auto intruder = std::make_unique<QTcpServer>();
    QVERIFY(intruder->listen(QHostAddress(QString::fromLatin1(Own)), port));
    QVERIFY(downloader.send("x\xa7" "a.txt"));
    QTRY_COMPARE(uploads.state(), UploadResponder::State::Rebinding);
    QVERIFY2(status->line().startsWith(QStringLiteral("Cannot listen on port %1: ").arg(port)),
             qPrintable(status->line()));
    intruder.reset();
    QTRY_COMPARE_WITH_TIMEOUT(uploads.state(), UploadResponder::State::Listening, 10000);
    QCOMPARE(status->line(), QString());
    QTRY_VERIFY(downloader.drain() == StalledAsker::End::Closed);
    QCOMPARE(downloader.received, QByteArray("abc"));
}

void TestConnect::trayDoubleClickDuringConnect()
{
    // The download is held back, so the frame exists, hidden, for a second
    // before the start-up sequence shows it.
    QVERIFY(m_server->setFaults(QJsonObject{{"retr_delay", 0.5}}));
    QSignalSpy finished(m_splash.get(), &Splash::connectFinished);
    bool clicked = false;
    connect(&m_session->exchange(), &DirectoryExchange::stepReached, this, [&](DirectoryExchange::Step step) {
        if (step == DirectoryExchange::Step::Uploading)
            QTimer::singleShot(0, this, [&] {
                if (QSystemTrayIcon *icon = Iconcontrol::trayIcon()) {
                    emit icon->activated(QSystemTrayIcon::DoubleClick);
                    clicked = true;
                }
            });
    });
    m_splash->MainConnect();
    QVERIFY(finished.wait(30000));
    QVERIFY(clicked);
    MDIMain *main = mainWindow();
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
    MDIMain *main = mainWindow();
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
    MDIMain *main = mainWindow();
    SearchClient &search = main->server()->searchClient();
    search.setPort(responder.port());

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
    MDIMain *main = mainWindow();
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
    // The copy dials the port every copy listens on; here the other's.
    makeSplash(responder.port());
    QDir(m_folder->path()).mkpath(QStringLiteral("Downloads"));
    QVERIFY(connectNow());
    MDIMain *main = mainWindow();
    DownloadClient &download = main->server()->downloads();
    QSignalSpy finished(&download, &DownloadClient::finished);

    main->showProgressWindow();
    QPointer<frmDP> first = main->progressWindow();
    QVERIFY(main->server()->startdownload(QStringLiteral("127.0.0.3\u00a7big.bin")));
    QTRY_VERIFY(first->lines()->byteCount() > 0);
    QVERIFY(first->close());
    QTRY_VERIFY(first.isNull());
    main->showProgressWindow();
    frmDP *second = main->progressWindow();
    QVERIFY(second->isVisible());
    QVERIFY(finished.wait(30000));
    QVERIFY(finished.first().first().toBool());
    QCOMPARE(second->lines()->data(second->lines()->index(second->lines()->rowCount() - 1)).toString(),
             QStringLiteral("Done!"));
}

void TestConnect::sessionEndRunsExit_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("status");
    QTest::newRow("SIGTERM") << "SIGTERM" << 0;
    QTest::newRow("SIGINT") << "SIGINT" << 0;
    QTest::newRow("SIGHUP") << "SIGHUP" << 0;
    QTest::newRow("the event loop is told to quit") << "quit" << 0;
    QTest::newRow("a session save, then the quit of a logout") << "save" << 0;
    QTest::newRow("a second signal: at once") << "twice" << 128 + SIGTERM;
    QTest::newRow("File > Exit, then a signal: at once") << "exit" << 128 + SIGINT;
}

void TestConnect::sessionEndRunsExit()
{
    QFETCH(QString, how);
    QFETCH(int, status);
    QVERIFY(writeFile(remoteCopy(), "\"10.0.0.1\",1\r\n"));
    QVERIFY(connectNow());
    QCOMPARE(readFile(remoteCopy()), "\"10.0.0.1\",1\r\n" + OwnRecord);
    // What quit() sends when the event loop runs (the test's does not).
    const auto quit = [] {
        QEvent event(QEvent::Quit);
        return QCoreApplication::sendEvent(QCoreApplication::instance(), &event);
    };

    if (how == QLatin1String("quit")) {
        QVERIFY(quit());
    } else if (how == QLatin1String("save")) {
        // A save comes during the session as well: no reason to leave.
        auto *manager = qApp->findChild<QSessionManager *>();
        QVERIFY(manager);
        emit qApp->commitDataRequest(*manager);
        emit qApp->saveStateRequest(*manager);
        QCOMPARE(m_session->state(), Session::State::Running);
        QVERIFY(quit());
    } else if (how == QLatin1String("twice")) {
        QCOMPARE(::raise(SIGTERM), 0);
        QCOMPARE(::raise(SIGTERM), 0);
    } else if (how == QLatin1String("exit")) {
        emit mainWindow()->exitRequested();
        QCOMPARE(::raise(SIGINT), 0);
    } else {
        QCOMPARE(::raise(how == QLatin1String("SIGTERM") ? SIGTERM : how == QLatin1String("SIGINT") ? SIGINT : SIGHUP),
                 0);
    }
    QTRY_COMPARE(m_ended, 1);
    QCOMPARE(m_status, status);
    // Ended at once, the copy leaves its record behind.
    QCOMPARE(readFile(remoteCopy()), status ? "\"10.0.0.1\",1\r\n" + OwnRecord : QByteArray("\"10.0.0.1\",1\r\n"));
}

void TestConnect::forcedEndResetsUploads()
{
    // The event loop cannot take the second signal, so the signal handler
    // ends the process: an upload it cuts off must not read as the whole file.
    QVERIFY(QDir(m_folder->path()).mkdir(QStringLiteral("Shared")));
    QFile big(m_folder->filePath(QStringLiteral("Shared/big.bin")));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(qint64(64) << 20));
    big.close();
    QProcess copy;
    QSignalSpy ended(&copy, &QProcess::finished);
    copy.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    copy.start(QStringLiteral(STUCKCOPY_PATH), {m_folder->path(), QString::fromLatin1(Own)});
    QTRY_VERIFY(copy.canReadLine());
    const quint16 port = copy.readLine().trimmed().toUShort();
    StalledAsker downloader;
    QVERIFY(downloader.ask(QString::fromLatin1(Own), port, "x\xa7" "big.bin"));
    QTRY_VERIFY(downloader.drain() == StalledAsker::End::Open && !downloader.received.isEmpty());

    QCOMPARE(::kill(pid_t(copy.processId()), SIGTERM), 0);
    QTRY_VERIFY(copy.canReadLine());
    QCOMPARE(copy.readLine(), QByteArray("leaving\n"));
    QCOMPARE(::kill(pid_t(copy.processId()), SIGTERM), 0);
    QVERIFY(ended.wait(30000));
    QCOMPARE(copy.exitStatus(), QProcess::NormalExit);
    QCOMPARE(copy.exitCode(), 128 + SIGTERM);
    StalledAsker::End end = StalledAsker::End::Open;
    QTRY_VERIFY((end = downloader.drain()) != StalledAsker::End::Open);
    QCOMPARE(end, StalledAsker::End::Reset);
    QVERIFY(downloader.received.size() < big.size());
}

QTEST_MAIN(TestConnect)
#include "tst_connect.moc"
