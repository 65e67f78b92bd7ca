// Registering at "Connect" and leaving at "Exit", against a real FTP server
// that can be made slow, failing or cutting.

#include "directory/directoryexchange.h"
#include "directory/tamsin.h"
#include "tests/support/ftpserver.h"
#include "tests/support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

constexpr char Own[] = "127.0.0.2";
const QByteArray OwnRecord = "\"127.0.0.2\"\r\n0\r\n";

// One copy of the program as far as the directory is concerned: its folder,
// its address, its table and its exchange.
struct Copy
{
    Copy(const QString &host, const QString &address, qint64 maxFileSize = DirectorySettings().maxFileSize)
    {
        DirectorySettings settings;
        settings.host = host;
        settings.programFolder = folder.path();
        settings.ownAddress = address;
        settings.maxFileSize = maxFileSize;
        exchange = std::make_unique<DirectoryExchange>(settings);
        FtpClient::Timeouts timeouts = FtpClient::defaultTimeouts();
        timeouts.connectMs = 2000;
        timeouts.responseMs = 3000;
        exchange->ftp().setTimeouts(timeouts);
    }

    QString localCopy() const { return exchange->localCopy(); }

    QTemporaryDir folder;
    PeerTable peers;
    std::unique_ptr<DirectoryExchange> exchange;
};

// Waits for a signal with one bool; true when it came with expected.
bool endsWith(QSignalSpy &spy, bool expected, int timeoutMs = 30000)
{
    if (spy.isEmpty() && !spy.wait(timeoutMs))
        return false;
    return spy.size() == 1 && spy.first().first().toBool() == expected;
}

} // namespace

class TestExchange : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void registers_data();
    void registers();
    void joinWithoutADownload_data();
    void joinWithoutADownload();
    void exitRemovesOwnRecordsOnly();
    void exitAfterServerRestart();
    void exitThatCannotFinishWritesNothing_data();
    void exitThatCannotFinishWritesNothing();
    void quirkyServers_data();
    void quirkyServers();
    void leftoversGoAtTheNextExchange();
    void exitEndsByItsDeadline_data();
    void exitEndsByItsDeadline();
    void refusedStartsEndTheirStep();
    void joinsAtOnceAllStay();
    void leaveWhileAnotherJoins();
    void millionRecords();

private:
    bool connectCopy(Copy &copy, bool expected = true);
    bool exitCopy(Copy &copy, bool expected = true);
    QString remoteCopy() const { return m_server->filePath(QStringLiteral("IP.txt")); }
    QStringList accountFiles() const { return QDir(m_server->homeDir()).entryList(QDir::Files); }
    int directStores();

    std::unique_ptr<FtpServerProcess> m_server;
};

void TestExchange::init()
{
    m_server = std::make_unique<FtpServerProcess>();
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
}

bool TestExchange::connectCopy(Copy &copy, bool expected)
{
    QSignalSpy done(copy.exchange.get(), &DirectoryExchange::registered);
    return copy.exchange->registerCopy(copy.peers) && endsWith(done, expected);
}

bool TestExchange::exitCopy(Copy &copy, bool expected)
{
    QSignalSpy done(copy.exchange.get(), &DirectoryExchange::unregistered);
    return copy.exchange->unregisterCopy() && endsWith(done, expected, 60000);
}

// Uploads straight over the directory file that the server has logged.
int TestExchange::directStores()
{
    int stores = 0;
    for (const QByteArray &line : m_server->log().split('\n'))
        stores += line.contains("] STOR ") && line.contains("/IP.txt completed=") ? 1 : 0;
    return stores;
}

void TestExchange::registers_data()
{
    QTest::addColumn<QJsonObject>("faults");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QStringList>("peers");
    QTest::addColumn<int>("logins");

    const QJsonObject none;
    const QByteArray three = "\"10.0.0.1\",1\r\n\"10.0.0.2\",2\r\n\"10.0.0.3\",-3\r\n";
    const QStringList threePeers{"10.0.0.1", "10.0.0.2", "10.0.0.3", Own};
    QTest::newRow("empty") << none << QByteArray() << OwnRecord << QStringList{Own} << 1;
    QTest::newRow("three one-line records") << none << three << three + OwnRecord << threePeers << 1;
    QTest::newRow("own address listed already") << none << OwnRecord << OwnRecord + OwnRecord << QStringList{Own, Own}
                                                << 1;
    // A record always starts on a line of its own.
    QTest::newRow("no final line end") << none << QByteArray("\"10.0.0.1\",1")
                                       << QByteArray("\"10.0.0.1\",1\r\n") + OwnRecord << QStringList{"10.0.0.1", Own}
                                       << 1;
    // No directory at all: this copy starts it.
    QTest::newRow("no file") << none << QByteArray("<none>") << OwnRecord << QStringList{Own} << 1;
    // A failed download is fetched again, on a fresh connection; one cut
    // short with "226" is caught by its size.
    QTest::newRow("one download refused") << QJsonObject{{"retr_fail", 1}} << three << three + OwnRecord << threePeers
                                          << 2;
    QTest::newRow("one download cut short") << QJsonObject{{"retr_truncate", 1}} << three << three + OwnRecord
                                            << threePeers << 2;
}

void TestExchange::registers()
{
    QFETCH(QJsonObject, faults);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QFETCH(QStringList, peers);
    QFETCH(int, logins);
    if (before != "<none>")
        QVERIFY(writeFile(remoteCopy(), before));
    QVERIFY(m_server->setFaults(faults));

    Copy copy(m_server->hostAndPort(), Own);
    QList<DirectoryExchange::Step> steps;
    connect(copy.exchange.get(), &DirectoryExchange::stepReached, this,
            [&](DirectoryExchange::Step step) { steps << step; });
    QVERIFY(connectCopy(copy));
    QCOMPARE(steps, (QList<DirectoryExchange::Step>{DirectoryExchange::Step::Connected,
                                                     DirectoryExchange::Step::Uploading,
                                                     DirectoryExchange::Step::Disconnecting,
                                                     DirectoryExchange::Step::Loading, DirectoryExchange::Step::Done}));
    QCOMPARE(readFile(remoteCopy()), after);
    QCOMPARE(readFile(copy.localCopy()), after);
    QCOMPARE(copy.peers.count(), peers.size());
    for (int i = 0; i < peers.size(); ++i)
        QCOMPARE(copy.peers.PeerAddress[size_t(i + 1)], peers.at(i));
    QCOMPARE(m_server->loginCount(), logins);
    QVERIFY(copy.exchange->errorString().isEmpty());
}

void TestExchange::joinWithoutADownload_data()
{
    QTest::addColumn<QJsonObject>("faults");
    QTest::addColumn<bool>("serverDown");
    QTest::addColumn<qint64>("maxFileSize");

    const qint64 enough = DirectorySettings().maxFileSize;
    QTest::newRow("server down") << QJsonObject() << true << enough;
    QTest::newRow("every download refused") << QJsonObject{{"retr_fail", 100}} << false << enough;
    QTest::newRow("every download cut short") << QJsonObject{{"retr_truncate", 100}} << false << enough;
    QTest::newRow("directory too large") << QJsonObject() << false << qint64(10);
}

void TestExchange::joinWithoutADownload()
{
    QFETCH(QJsonObject, faults);
    QFETCH(bool, serverDown);
    QFETCH(qint64, maxFileSize);
    // What a copy uploads now could only be built on its stale local copy:
    // it writes nothing to the server, opens with the peers it knew and
    // itself, and says why.
    const QByteArray others = "\"10.0.0.7\"\r\n0\r\n\"10.0.0.8\",0\r\n";
    QVERIFY(writeFile(remoteCopy(), others));
    QVERIFY(m_server->setFaults(faults));
    Copy copy(m_server->hostAndPort(), Own, maxFileSize);
    const QByteArray stale = "\"10.0.0.1\",1\r\n";
    QVERIFY(writeFile(copy.localCopy(), stale));
    if (serverDown)
        m_server->stop();

    QVERIFY(connectCopy(copy, false));
    QVERIFY(copy.exchange->errorString().contains(maxFileSize < others.size() ? QString::number(maxFileSize) : QString()));
    QCOMPARE(readFile(remoteCopy()), others);
    QCOMPARE(readFile(copy.localCopy()), stale + OwnRecord);
    QCOMPARE(copy.peers.count(), 2);
    QCOMPARE(copy.peers.PeerAddress[1], QStringLiteral("10.0.0.1"));
    QCOMPARE(copy.peers.PeerAddress[2], QString::fromLatin1(Own));
}

void TestExchange::exitRemovesOwnRecordsOnly()
{
    QVERIFY(writeFile(remoteCopy(), "\"10.0.0.1\"\r\n5\r\n"));
    Copy copy(m_server->hostAndPort(), Own);
    QVERIFY(connectCopy(copy));
    // Other copies come and go meanwhile; one left a record of ours with
    // another port, and two look like ours without being equal to it.
    QVERIFY(writeFile(remoteCopy(), "\"10.0.0.1\"\r\n5\r\n\"127.0.0.2\"\r\n0\r\n\"127.0.0.02\",7\r\n\"127.0.0.2\",9\r\n"
                                    "\" 127.0.0.2\",8\r\n\"10.0.0.4\"\r\n0\r\n"));
    // Changed last a minute ago by the server's clock: its size and time
    // prove it unchanged, and the exit reads it only once.
    QFile remote(remoteCopy());
    QVERIFY(remote.open(QIODevice::ReadWrite));
    QVERIFY(remote.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-60), QFileDevice::FileModificationTime));
    remote.close();
    const qsizetype readsBefore = m_server->log().count("RETR asked");
    QVERIFY(exitCopy(copy));
    QCOMPARE(m_server->log().count("RETR asked") - readsBefore, 1);
    QCOMPARE(readFile(remoteCopy()),
             QByteArray("\"10.0.0.1\",5\r\n\"127.0.0.02\",7\r\n\" 127.0.0.2\",8\r\n\"10.0.0.4\",0\r\n"));
    QCOMPARE(readFile(copy.localCopy()), readFile(remoteCopy()));
    // The table is the directory as the server held it, this copy's
    // entries blanked in their places.
    QCOMPARE(copy.peers.count(), 6);
    QVERIFY(copy.peers.PeerAddress[2].isEmpty() && copy.peers.PeerAddress[4].isEmpty());
    QCOMPARE(copy.peers.PeerAddress[3], QStringLiteral("127.0.0.02"));
    QCOMPARE(copy.peers.PeerAddress[6], QStringLiteral("10.0.0.4"));
    // Only the directory file is left on the account.
    QCOMPARE(accountFiles(), QStringList(QStringLiteral("IP.txt")));

    // A directory of only this copy's records is written back empty.
    QVERIFY(writeFile(remoteCopy(), OwnRecord + "\"127.0.0.2\",3\r\n"));
    QVERIFY(exitCopy(copy));
    QCOMPARE(readFile(remoteCopy()), QByteArray());

    // One with nothing of this copy is not written at all.
    const QByteArray others = "\"10.0.0.1\"\r\n5\r\n\r\n\"10.0.0.4\",0\r\n";
    QVERIFY(writeFile(remoteCopy(), others));
    QVERIFY(exitCopy(copy));
    QCOMPARE(readFile(remoteCopy()), others);
    QCOMPARE(readFile(copy.localCopy()), others);
}

void TestExchange::exitAfterServerRestart()
{
    QVERIFY(writeFile(remoteCopy(), QByteArray()));
    Copy copy(m_server->hostAndPort(), Own);
    QVERIFY(connectCopy(copy));
    // The connection opened at start-up is gone by the time the user leaves.
    QVERIFY(m_server->dropSessions());
    QVERIFY(exitCopy(copy));
    QCOMPARE(readFile(remoteCopy()), QByteArray());
}

void TestExchange::exitThatCannotFinishWritesNothing_data()
{
    QTest::addColumn<QJsonObject>("faults");
    QTest::addColumn<bool>("serverDown");
    QTest::addColumn<QByteArray>("addedMeanwhile");
    QTest::addColumn<bool>("journalBlocked");

    QTest::newRow("server down") << QJsonObject() << true << QByteArray() << false;
    QTest::newRow("every download cut short") << QJsonObject{{"retr_truncate", 100}} << false << QByteArray() << false;
    // Past the largest directory a copy reads, by the records of others.
    QTest::newRow("directory grown too large") << QJsonObject() << false
                                               << QByteArray("\"10.0.0.9\",1\r\n").repeated(10) << false;
    // The server's disk fills up in the middle of the upload.
    QTest::newRow("upload cut off") << QJsonObject{{"stor_cut", 1}} << false << QByteArray() << false;
    // An upload that could not be noted would never be found again, were it
    // left behind.
    QTest::newRow("upload journal cannot be written") << QJsonObject() << false << QByteArray() << true;
}

void TestExchange::exitThatCannotFinishWritesNothing()
{
    QFETCH(QJsonObject, faults);
    QFETCH(bool, serverDown);
    QFETCH(QByteArray, addedMeanwhile);
    QFETCH(bool, journalBlocked);
    const QByteArray others = "\"10.0.0.1\",1\r\n\"10.0.0.2\",2\r\n";
    QVERIFY(writeFile(remoteCopy(), others));
    Copy copy(m_server->hostAndPort(), Own, 100);
    QVERIFY(connectCopy(copy));
    const QByteArray joined = readFile(copy.localCopy());
    QCOMPARE(joined, others + OwnRecord);
    QVERIFY(writeFile(remoteCopy(), joined + addedMeanwhile));
    QVERIFY(m_server->setFaults(faults));
    if (serverDown)
        m_server->stop();
    if (journalBlocked)
        QVERIFY(QDir(copy.folder.path()).mkdir(QStringLiteral(".IP.txt-uploads")));

    // The directory keeps this copy's record rather than lose anything,
    // and the local copy stays as it was.
    QVERIFY(exitCopy(copy, false));
    QCOMPARE(readFile(remoteCopy()), joined + addedMeanwhile);
    QCOMPARE(readFile(copy.localCopy()), joined);
    QCOMPARE(accountFiles(), QStringList(QStringLiteral("IP.txt")));
}

void TestExchange::quirkyServers_data()
{
    QTest::addColumn<QJsonObject>("atConnect");
    QTest::addColumn<QJsonObject>("atExit");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("joined");
    QTest::addColumn<QByteArray>("left");
    QTest::addColumn<bool>("leftOk");
    QTest::addColumn<int>("directStores");

    const QByteArray others = "\"10.0.0.1\",1\r\n\"10.0.0.2\",2\r\n";
    const QJsonObject none;
    const QJsonObject noAppend{{"appe_refuse", 1}};
    const QJsonObject noRenameOver{{"rnto_exists", 100}};
    const QJsonObject noSize{{"size_refuse", 100000}};
    QTest::newRow("APPE refused") << noAppend << none << others << others + OwnRecord << others << true << 0;
    QTest::newRow("APPE refused, no file yet")
        << noAppend << none << QByteArray("<none>") << OwnRecord << QByteArray() << true << 0;
    QTest::newRow("APPE and rename over a file refused")
        << QJsonObject{{"appe_refuse", 100}, {"rnto_exists", 100}} << noRenameOver << others << others + OwnRecord
        << others << true << 2;
    QTest::newRow("rename over a file refused at exit") << none << noRenameOver << others << others + OwnRecord
                                                        << others << true << 1;
    // A refusal that passes (a busy server, or one that does not replace a
    // file another copy is reading) leaves the session with its renames.
    QTest::newRow("APPE refused, one rename over a file refused")
        << QJsonObject{{"appe_refuse", 100}, {"rnto_exists", 1}} << none << others << others + OwnRecord << others
        << true << 0;
    // The server's disk fills up in the middle of the append: the piece that
    // it kept goes at the exit, with the record.
    QTest::newRow("append cut off") << QJsonObject{{"appe_cut", 1}} << none << others
                                    << others + "\"127.0.0\r\n" + OwnRecord << others << true << 0;
    // Another copy's append, cut off, lands between this copy's download and
    // its append: glued to that piece, its record reads as none, and it is
    // added again on a line of its own.
    const QByteArray piece = others + "\"10.0.0";
    QTest::newRow("record glued to another's piece")
        << QJsonObject{{"retr_swap", QString::fromLatin1(piece)}} << none << others << piece + OwnRecord + OwnRecord
        << piece + "\"127.0.0.2\"\r\n0\r\n" << true << 0;
    QTest::newRow("no SIZE") << noSize << noSize << others << others + OwnRecord << others << true << 0;
    // An overloaded server: every transfer's closing reply comes late.
    const QJsonObject slowReplies{{"hold_226", 0.5}};
    QTest::newRow("closing replies held") << slowReplies << slowReplies << others << others + OwnRecord << others
                                          << true << 0;
    // Cut short with "226" and no size to tell: never put in the directory's place.
    QTest::newRow("upload cut, no SIZE") << none << QJsonObject{{"stor_short", 1}, {"size_refuse", 100000}} << others
                                         << others + OwnRecord << others + OwnRecord << false << 0;
    // Right after the exit's download one copy leaves and another, with an
    // address as long, joins: the same size and, within the second, the
    // same time.
    const QByteArray swapped = "\"10.0.0.9\",1\r\n\"10.0.0.2\",2\r\n" + OwnRecord;
    QTest::newRow("same size and second after the download")
        << none << QJsonObject{{"retr_swap", QString::fromLatin1(swapped)}} << others << others + OwnRecord
        << QByteArray("\"10.0.0.9\",1\r\n\"10.0.0.2\",2\r\n") << true << 0;
}

void TestExchange::quirkyServers()
{
    QFETCH(QJsonObject, atConnect);
    QFETCH(QJsonObject, atExit);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, joined);
    QFETCH(QByteArray, left);
    QFETCH(bool, leftOk);
    QFETCH(int, directStores);
    if (before != "<none>")
        QVERIFY(writeFile(remoteCopy(), before));

    Copy copy(m_server->hostAndPort(), Own);
    QVERIFY(m_server->setFaults(atConnect));
    QVERIFY(connectCopy(copy));
    QCOMPARE(readFile(remoteCopy()), joined);
    QCOMPARE(readFile(copy.localCopy()), joined);
    QCOMPARE(accountFiles(), QStringList(QStringLiteral("IP.txt")));

    QVERIFY(m_server->setFaults(atExit));
    QVERIFY(exitCopy(copy, leftOk));
    QCOMPARE(readFile(remoteCopy()), left);
    if (leftOk)
        QCOMPARE(readFile(copy.localCopy()), left);
    QCOMPARE(accountFiles(), QStringList(QStringLiteral("IP.txt")));
    QCOMPARE(this->directStores(), directStores);
}

void TestExchange::leftoversGoAtTheNextExchange()
{
    const QByteArray others = "\"10.0.0.1\",1\r\n";
    QVERIFY(writeFile(remoteCopy(), others));
    const QString othersUpload = QStringLiteral("IP.txt.127.0.0.3-0badf00d.tmp");
    QVERIFY(writeFile(m_server->filePath(othersUpload), others));
    Copy copy(m_server->hostAndPort(), Own);
    QVERIFY(connectCopy(copy));

    // The upload breaks off and its delete is refused: it stays, for now,
    // also where the server does not tell whether it is there.
    QVERIFY(m_server->setFaults(QJsonObject{{"stor_cut", 1}, {"dele_refuse", 1}, {"size_refuse", 100000}}));
    QVERIFY(exitCopy(copy, false));
    QCOMPARE(accountFiles().size(), 3);

    // Once it is older than any exit still at work, the next exchange
    // deletes it; the other copy's upload stays.
    const QString journal = copy.folder.filePath(QStringLiteral(".IP.txt-uploads"));
    const QString noted = QString::fromLatin1(readFile(journal));
    QVERIFY(noted.contains(QStringLiteral(".tmp")));
    QVERIFY(writeFile(journal, QString(noted).replace(QRegularExpression(QStringLiteral("^[0-9]+"),
                                                                         QRegularExpression::MultilineOption),
                                                      QStringLiteral("0"))
                                   .toLatin1()));
    QVERIFY(exitCopy(copy));
    QCOMPARE(readFile(remoteCopy()), others);
    QCOMPARE(accountFiles(), (QStringList{QStringLiteral("IP.txt"), othersUpload}));
    QVERIFY(!QFile::exists(journal));

    // One noted that is not on the account (its rename went through after
    // all, or it was never made) is forgotten, not deleted again and again.
    QVERIFY(m_server->setFaults(QJsonObject()));
    QVERIFY(writeFile(journal, "0 IP.txt.127.0.0.2-00000001.tmp\n"));
    // A new journal half written by a run killed meanwhile goes too.
    const QString halfWritten = copy.folder.filePath(QStringLiteral("..IP.txt-uploads.a1B2c3"));
    QVERIFY(writeFile(halfWritten, "0 IP.txt.127.0.0.2-000"));
    QVERIFY(connectCopy(copy));
    QVERIFY(!QFile::exists(journal));
    QVERIFY(!QFile::exists(halfWritten));
}

void TestExchange::exitEndsByItsDeadline_data()
{
    QTest::addColumn<QJsonObject>("atConnect");
    QTest::addColumn<QString>("exitDuring");
    QTest::addColumn<QJsonObject>("atExit");
    QTest::addColumn<int>("deadlineMs");
    QTest::addColumn<int>("endsWithinMs");
    QTest::addColumn<bool>("leftOk");
    QTest::addColumn<bool>("recordStays");

    // The server stalls longer than the deadline and never than a reply bound.
    constexpr int DeadlineMs = 4000;
    constexpr int ByTheDeadline = DeadlineMs + 1000;
    const QJsonObject none;
    const QJsonObject noAppendNoRename{{"appe_refuse", 100}, {"rnto_exists", 100}};
    QTest::newRow("append of Connect on its way")
        << QJsonObject{{"appe_delay", 20.0}} << "Join/Appending" << none << DeadlineMs << ByTheDeadline << false
        << false;
    // Its upload is on the account: the upload goes, in the share of the
    // deadline kept for that (a second of this one; a busy machine needs it).
    constexpr int RoomyDeadlineMs = 12000;
    QTest::newRow("exit stalled")
        << none << QString() << QJsonObject{{"size_refuse", 100000}, {"retr_delay", 20.0}, {"retr_delay_match", ".tmp"}}
        << RoomyDeadlineMs << RoomyDeadlineMs + 1000 << false << true;
    // The server has emptied the directory for an upload straight over it:
    // the upload ends, late, rather than leave it empty.
    QTest::newRow("exit's upload over the directory on its way")
        << noAppendNoRename << QString() << QJsonObject{{"stor_delay", 6.0}} << DeadlineMs << 20000 << true << false;
    QTest::newRow("Connect's upload over the directory on its way")
        << QJsonObject{{"appe_refuse", 100}, {"rnto_exists", 100}, {"stor_delay", 6.0}}
        << "Join/Replacing/Storing" << none << DeadlineMs << 20000 << false << true;
    // The download took longer than half the time left: no upload over the
    // directory begins that the deadline would catch half-way.
    QTest::newRow("too little time left for an upload over the directory")
        << noAppendNoRename << QString() << QJsonObject{{"retr_delay", 1.5}} << DeadlineMs << ByTheDeadline << false
        << true;
    // The directory is done with: a goodbye the server holds is not waited for.
    QTest::newRow("goodbye held") << none << QString() << QJsonObject{{"quit_delay", 20.0}}
                                  << DirectoryExchange::ExitDeadlineMs << 10000 << true << false;
}

void TestExchange::exitEndsByItsDeadline()
{
    QFETCH(QJsonObject, atConnect);
    QFETCH(QString, exitDuring);
    QFETCH(QJsonObject, atExit);
    QFETCH(int, deadlineMs);
    QFETCH(int, endsWithinMs);
    QFETCH(bool, leftOk);
    QFETCH(bool, recordStays);
    const QByteArray others = "\"10.0.0.1\",1\r\n";
    QVERIFY(writeFile(remoteCopy(), others));

    QVERIFY(m_server->setFaults(atConnect));
    Copy copy(m_server->hostAndPort(), Own);
    FtpClient::Timeouts timeouts = copy.exchange->ftp().timeouts();
    timeouts.responseMs = 30000;
    copy.exchange->ftp().setTimeouts(timeouts);
    copy.exchange->setExitDeadlineMs(deadlineMs);
    QSignalSpy joined(copy.exchange.get(), &DirectoryExchange::registered);
    QSignalSpy left(copy.exchange.get(), &DirectoryExchange::unregistered);
    QVERIFY(copy.exchange->registerCopy(copy.peers));
    if (exitDuring.isEmpty()) {
        QVERIFY(endsWith(joined, true));
        // Changed last a minute ago: its size and time prove it unchanged.
        QFile remote(remoteCopy());
        QVERIFY(remote.open(QIODevice::ReadWrite));
        QVERIFY(remote.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-60), QFileDevice::FileModificationTime));
        remote.close();
        QVERIFY(m_server->setFaults(atExit));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(copy.exchange->stateName().startsWith(exitDuring), 10000);
    }
    QVERIFY(copy.exchange->unregisterCopy());
    QVERIFY(left.wait(endsWithinMs));
    QCOMPARE(left.first().first().toBool(), leftOk);
    if (!exitDuring.isEmpty())
        QVERIFY(joined.isEmpty());
    QCOMPARE(readFile(remoteCopy()), recordStays ? others + OwnRecord : others);
    QCOMPARE(accountFiles(), QStringList(QStringLiteral("IP.txt")));
}

void TestExchange::refusedStartsEndTheirStep()
{
    // The FTP client is kept busy by a download the server holds back: every
    // start of the exchange is refused, and each step ends all the same.
    const QByteArray others = "\"10.0.0.1\",1\r\n";
    QVERIFY(writeFile(remoteCopy(), others));
    QVERIFY(m_server->setFaults(QJsonObject{{"retr_delay", 20.0}}));
    Copy copy(m_server->hostAndPort(), Own);
    FtpClient &ftp = copy.exchange->ftp();
    QSignalSpy busyEnded(&ftp, &FtpClient::finished);
    QVERIFY(ftp.get(QStringLiteral("IP.txt"), copy.folder.filePath(QStringLiteral("held"))));

    QSignalSpy joined(copy.exchange.get(), &DirectoryExchange::registered);
    QVERIFY(copy.exchange->registerCopy(copy.peers));
    QVERIFY(joined.wait(5000));
    QCOMPARE(joined.first().first().toBool(), false);
    QCOMPARE(copy.peers.count(), 1);
    QCOMPARE(readFile(copy.localCopy()), OwnRecord);

    QSignalSpy left(copy.exchange.get(), &DirectoryExchange::unregistered);
    QVERIFY(copy.exchange->unregisterCopy());
    QVERIFY(left.wait(5000));
    QCOMPARE(left.first().first().toBool(), false);
    QVERIFY(busyEnded.isEmpty());
    QCOMPARE(readFile(remoteCopy()), others);
}

void TestExchange::joinsAtOnceAllStay()
{
    // Every download is held back for a second, with the file as it was when
    // it was asked for: three copies that join at once all read the same.
    const QByteArray others = "\"10.0.0.1\",1\r\n";
    QVERIFY(writeFile(remoteCopy(), others));
    QVERIFY(m_server->setFaults(QJsonObject{{"retr_delay", 1.0}}));
    std::vector<std::unique_ptr<Copy>> copies;
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (const char *address : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        copies.push_back(std::make_unique<Copy>(m_server->hostAndPort(), QString::fromLatin1(address)));
        spies.push_back(std::make_unique<QSignalSpy>(copies.back()->exchange.get(), &DirectoryExchange::registered));
    }
    for (auto &copy : copies)
        QVERIFY(copy->exchange->registerCopy(copy->peers));
    for (auto &spy : spies)
        QVERIFY(endsWith(*spy, true));
    const QByteArray file = readFile(remoteCopy());
    QVERIFY2(file.startsWith(others), file.constData());
    for (const char *address : {"127.0.0.2", "127.0.0.3", "127.0.0.4"})
        QVERIFY2(file.count("\"" + QByteArray(address) + "\"\r\n0\r\n") == 1, file.constData());
    QCOMPARE(file.size(), others.size() + 3 * OwnRecord.size());
}

void TestExchange::leaveWhileAnotherJoins()
{
    const QByteArray others = "\"10.0.0.1\",1\r\n";
    QVERIFY(writeFile(remoteCopy(), others));
    Copy leaver(m_server->hostAndPort(), Own);
    QVERIFY(connectCopy(leaver));
    QVERIFY(m_server->setFaults(QJsonObject{{"retr_delay", 1.0}}));

    Copy joiner(m_server->hostAndPort(), "127.0.0.3");
    QSignalSpy left(leaver.exchange.get(), &DirectoryExchange::unregistered);
    QSignalSpy joined(joiner.exchange.get(), &DirectoryExchange::registered);
    QVERIFY(leaver.exchange->unregisterCopy());
    QVERIFY(joiner.exchange->registerCopy(joiner.peers));
    QVERIFY(endsWith(left, true, 60000));
    QVERIFY(endsWith(joined, true, 60000));
    // The joiner's record in either layout, as the leaver may have rewritten it.
    const QByteArray file = readFile(remoteCopy());
    QVERIFY2(file == others + "\"127.0.0.3\"\r\n0\r\n" || file == others + "\"127.0.0.3\",0\r\n", file.constData());
}

void TestExchange::millionRecords()
{
    // Far more records than the table holds: "Exit" keeps every other one,
    // in order, and "Connect" stops reading at the table's end. Appends are
    // refused, so "Connect" writes the whole directory with its record too.
    QByteArray file;
    constexpr int Records = 1'000'000;
    file.reserve(Records * 22);
    for (int i = 0; i < Records; ++i) {
        if (i == Records / 2)
            file += OwnRecord;
        else
            file += "\"10." + QByteArray::number(i >> 16) + '.' + QByteArray::number((i >> 8) & 255) + '.'
                + QByteArray::number(i & 255) + "\",0\r\n";
    }
    QVERIFY(writeFile(remoteCopy(), file));
    QVERIFY(m_server->setFaults(QJsonObject{{"appe_refuse", 1}}));
    Copy copy(m_server->hostAndPort(), Own);
    QVERIFY(connectCopy(copy));
    QVERIFY(readFile(remoteCopy()) == file + OwnRecord);
    QCOMPARE(copy.peers.count(), PeerTable::PeerLimit);
    QVERIFY(exitCopy(copy));
    QByteArray expected = file;
    const qsizetype at = file.indexOf(OwnRecord);
    expected.remove(at, OwnRecord.size());
    const QByteArray after = readFile(remoteCopy());
    QCOMPARE(after.count('\n'), Records - 1);
    QVERIFY(after == expected);
}

QTEST_GUILESS_MAIN(TestExchange)
#include "tst_exchange.moc"
