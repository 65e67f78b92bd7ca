#include "app/tamsin.h"
#include "net/eventsocket.h"
#include "net/searchclient.h"
#include "net/searchprotocol.h"
#include "net/searchresponder.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

constexpr int WaitMs = 5000;
// Short limits, so that a silent or unreachable peer ends its turn quickly.
constexpr int ShortTimeoutMs = 300;

// One copy of the program as the search sees it: a program folder of its own
// and a responder on one loopback address.
struct Peer
{
    Peer(const QString &address, quint16 port, const QStringList &shared, bool withSharedFolder = true)
    {
        if (withSharedFolder) {
            QDir(folder.path()).mkpath(QStringLiteral("Shared"));
            for (const QString &name : shared) {
                const QString path = folder.path() + QStringLiteral("/Shared/") + name;
                if (name.endsWith(QLatin1Char('/'))) {
                    QDir().mkpath(path);
                } else {
                    QFile file(path);
                    file.open(QIODevice::WriteOnly);
                }
            }
        }
        responder = std::make_unique<SearchResponder>(folder.path(), address, port);
    }

    QTemporaryDir folder;
    std::unique_ptr<SearchResponder> responder;
};

// Asks like a plain peer would and gives back every byte of the answer, or
// "<refused>" when the connection could not be made.
QByteArray ask(const QString &address, quint16 port, const QByteArray &query)
{
    QTcpSocket socket;
    socket.connectToHost(address, port);
    if (!socket.waitForConnected(WaitMs))
        return "<refused>";
    socket.write(query);
    QByteArray answer;
    const bool closed = QTest::qWaitFor([&] {
        answer += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState;
    }, WaitMs);
    answer += socket.readAll();
    return closed ? answer : answer + "<still open>";
}

PeerTable tableOf(const QStringList &addresses)
{
    PeerTable table;
    for (const QString &address : addresses)
        table.addRecord(address, QStringLiteral("0"));
    return table;
}

} // namespace

class TestSearch : public QObject
{
    Q_OBJECT

private slots:
    void answersFromTheSharedFolder_data();
    void answersFromTheSharedFolder();
    void linksLeadingOutAreNotOffered();
    void missingSharedFolderAnswersNothing();
    void servesOnePeerAtATimeAndListensAgain();
    void faultsReturnToListening_data();
    void faultsReturnToListening();
    void listensAgainOnceThePortIsFree();

    void searchAsksEveryPeerInTurn();
    void sectionSignOnTheWire();
    void emptyTextAsksNobody();
    void secondSearchDoesNotNest();
    void unreachablePeerEndsItsTurn();

private:
    QStringList folderNames() const;
};

QStringList TestSearch::folderNames() const
{
    return {QStringLiteral("abc.txt"), QStringLiteral("XabcX.mp3"), QStringLiteral("ABC.doc"),
            QStringLiteral("ab c.mp3"), QStringLiteral("song.mp3"), QStringLiteral("a\u00a7b.txt"),
            QStringLiteral(".abc.txt"), QStringLiteral("\u4e2dabc.txt"), QStringLiteral("abcdir/"),
            QStringLiteral("abcdir/inner.txt"), QStringLiteral(":abc.txt")};
}

void TestSearch::answersFromTheSharedFolder_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("answer");
    // Names leave in code-unit order: capitals, then small letters, then 0xA7.
    QTest::newRow("contained, case-sensitive") << QByteArray("abc") << QByteArray("XabcX.mp3abc.txt");
    QTest::newRow("capitals") << QByteArray("ABC") << QByteArray("ABC.doc");
    QTest::newRow("extension") << QByteArray(".mp3") << QByteArray("XabcX.mp3ab c.mp3song.mp3");
    QTest::newRow("no match") << QByteArray("zzz") << QByteArray();
    QTest::newRow("section sign") << QByteArray("\xa7") << QByteArray("a\xa7" "b.txt");
    // Hidden files, names the code page cannot write, names that could not be
    // asked for again (":abc.txt"), and subfolders with their contents are not
    // offered.
    QTest::newRow("only plain files") << QByteArray("txt") << QByteArray("abc.txta\xa7" "b.txt");
    QTest::newRow("no folders") << QByteArray("dir") << QByteArray();
}

void TestSearch::answersFromTheSharedFolder()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, answer);
    Peer peer(QStringLiteral("127.0.0.2"), 0, folderNames());
    QVERIFY2(peer.responder->start(), qPrintable(peer.responder->errorString()));
    QCOMPARE(peer.responder->SearchRecive()->objectName(), QStringLiteral("SearchRecive"));
    QCOMPARE(ask(QStringLiteral("127.0.0.2"), peer.responder->localPort(), query), answer);
}

void TestSearch::linksLeadingOutAreNotOffered()
{
    QTemporaryDir outside;
    QFile secret(outside.filePath(QStringLiteral("abc-secret.txt")));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.close();
    Peer peer(QStringLiteral("127.0.0.2"), 0, {QStringLiteral("abc.txt")});
    const QString shared = SearchProtocol::sharedFolder(peer.folder.path());
    QVERIFY(QFile::link(secret.fileName(), QDir(shared).filePath(QStringLiteral("abc-out.txt"))));
    QVERIFY(QFile::link(QDir(shared).filePath(QStringLiteral("abc.txt")),
                        QDir(shared).filePath(QStringLiteral("abc-in.txt"))));
    QVERIFY(peer.responder->start());
    QCOMPARE(ask(QStringLiteral("127.0.0.2"), peer.responder->localPort(), "abc"), QByteArray("abc-in.txtabc.txt"));
}

void TestSearch::missingSharedFolderAnswersNothing()
{
    Peer peer(QStringLiteral("127.0.0.2"), 0, {}, false);
    QVERIFY(peer.responder->start());
    QCOMPARE(ask(QStringLiteral("127.0.0.2"), peer.responder->localPort(), "abc"), QByteArray());
    QTRY_VERIFY(peer.responder->isListening());
}

void TestSearch::servesOnePeerAtATimeAndListensAgain()
{
    const QString address = QStringLiteral("127.0.0.3");
    Peer peer(address, 0, {QStringLiteral("abc.txt")});
    QVERIFY(peer.responder->start());
    const quint16 port = peer.responder->localPort();

    QTcpSocket first;
    first.connectToHost(address, port);
    QTRY_COMPARE(peer.responder->state(), SearchResponder::State::AwaitingRequest);

    // While the first peer is served, the port has no listener.
    QTcpSocket second;
    second.connectToHost(address, port);
    QTRY_COMPARE(second.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(second.error(), QAbstractSocket::ConnectionRefusedError);

    first.write("abc");
    QByteArray answer;
    QTRY_VERIFY((answer += first.readAll(), first.state() == QAbstractSocket::UnconnectedState));
    QCOMPARE(answer + first.readAll(), QByteArray("abc.txt"));

    // Back at the same address and port, for any peer, any number of times.
    QTRY_VERIFY(peer.responder->isListening());
    QCOMPARE(peer.responder->localPort(), port);
    QCOMPARE(ask(address, port, "txt"), QByteArray("abc.txt"));
    QCOMPARE(ask(address, port, "abc"), QByteArray("abc.txt"));
}

enum class Fault { ClosesWithoutQuery, StaysSilent, SocketError, LeavesRightAfterQuery };
Q_DECLARE_METATYPE(Fault)

void TestSearch::faultsReturnToListening_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::newRow("closes without a query") << Fault::ClosesWithoutQuery;
    QTest::newRow("stays silent") << Fault::StaysSilent;
    QTest::newRow("socket error") << Fault::SocketError;
    QTest::newRow("leaves right after its query") << Fault::LeavesRightAfterQuery;
}

void TestSearch::faultsReturnToListening()
{
    QFETCH(Fault, fault);
    const QString address = QStringLiteral("127.0.0.4");
    Peer peer(address, 0, {QStringLiteral("abc.txt"), QStringLiteral("abd.txt")});
    peer.responder->setRequestTimeout(ShortTimeoutMs);
    QSignalSpy errors(peer.responder.get(), &SearchResponder::listenerError);
    QVERIFY(peer.responder->start());
    const quint16 port = peer.responder->localPort();

    QTcpSocket bad;
    bad.connectToHost(address, port);
    QTRY_COMPARE(peer.responder->state(), SearchResponder::State::AwaitingRequest);
    switch (fault) {
    case Fault::ClosesWithoutQuery:
        bad.disconnectFromHost();
        break;
    case Fault::StaysSilent:
        break;
    case Fault::SocketError:
        emit peer.responder->SearchRecive()->errorOccurred(10054, QStringLiteral("Connection is aborted"));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.first().first().toString(), QStringLiteral("Connection is aborted"));
        break;
    case Fault::LeavesRightAfterQuery:
        bad.write("ab");
        bad.flush();
        bad.abort();
        break;
    }
    QTRY_VERIFY(peer.responder->isListening());
    QCOMPARE(ask(address, port, "ab"), QByteArray("abc.txtabd.txt"));
}

void TestSearch::listensAgainOnceThePortIsFree()
{
    const QString address = QStringLiteral("127.0.0.5");
    Peer peer(address, 0, {QStringLiteral("abc.txt")});
    QSignalSpy errors(peer.responder.get(), &SearchResponder::listenerError);
    QVERIFY(peer.responder->start());
    const quint16 port = peer.responder->localPort();

    QTcpSocket first;
    first.connectToHost(address, port);
    QTRY_COMPARE(peer.responder->state(), SearchResponder::State::AwaitingRequest);
    // Someone else takes the port while it has no listener.
    auto intruder = std::make_unique<QTcpServer>();
    QVERIFY(intruder->listen(QHostAddress(address), port));

    first.write("abc");
    QTRY_COMPARE(peer.responder->state(), SearchResponder::State::Rebinding);
    QCOMPARE(errors.count(), 1);
    QVERIFY(!errors.first().first().toString().isEmpty());

    intruder.reset();
    QTRY_VERIFY(peer.responder->isListening());
    QCOMPARE(errors.count(), 1); // failed retries are not reported again
    QCOMPARE(ask(address, port, "abc"), QByteArray("abc.txt"));
}

void TestSearch::searchAsksEveryPeerInTurn()
{
    // Peers 2 and 4 have nothing that matches, 3 has two names, 6 has one;
    // 9 has nobody listening and 7 accepts but never answers.
    Peer two(QStringLiteral("127.0.0.2"), 0, {QStringLiteral("xyz.txt")});
    QVERIFY(two.responder->start());
    const quint16 port = two.responder->localPort();
    Peer three(QStringLiteral("127.0.0.3"), port,
               {QStringLiteral("abc.txt"), QStringLiteral("XabcX.mp3"), QStringLiteral("ABC.doc")});
    Peer four(QStringLiteral("127.0.0.4"), port, {});
    Peer six(QStringLiteral("127.0.0.6"), port, {QStringLiteral("my abc song.mp3")});
    for (Peer *peer : {&three, &four, &six})
        QVERIFY2(peer->responder->start(), qPrintable(peer->responder->errorString()));
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress(QStringLiteral("127.0.0.7")), port));

    const PeerTable peers = tableOf({QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3"),
                                     QStringLiteral("127.0.0.4"), QStringLiteral("127.0.0.9"),
                                     QStringLiteral("127.0.0.7"), QStringLiteral("127.0.0.6")});
    SearchClient client(QStringLiteral("127.0.0.1"));
    client.setPort(port);
    client.setSilenceTimeout(ShortTimeoutMs);
    QCOMPARE(client.searchsend()->objectName(), QStringLiteral("searchsend"));
    QSignalSpy started(&client, &SearchClient::searchStarted);
    QSignalSpy finished(&client, &SearchClient::searchFinished);
    QStringList entries;
    connect(&client, &SearchClient::resultEntry, this, [&](const QString &entry) {
        QVERIFY(client.isSearching());
        entries.append(entry);
    });

    client.search(QStringLiteral("abc"), peers);

    // One entry per name, exactly address, section sign and name.
    QCOMPARE(entries, QStringList({QStringLiteral("127.0.0.3\u00a7XabcX.mp3"), QStringLiteral("127.0.0.3\u00a7abc.txt"),
                                   QStringLiteral("127.0.0.6\u00a7my abc song.mp3")}));
    QCOMPARE(started.count(), 1);
    QCOMPARE(finished.count(), 1);
    QVERIFY(!client.isSearching());
    QVERIFY(!client.searchdone());
    QCOMPARE(client.searchquery(), QStringLiteral("abc"));
    // Every responder is free again for the next search.
    for (Peer *peer : {&two, &three, &four, &six})
        QTRY_VERIFY(peer->responder->isListening());
}

void TestSearch::sectionSignOnTheWire()
{
    // A peer that answers in one piece holding the separator: the piece stays
    // one entry, and the separator goes both ways as the byte 0xA7.
    QTcpServer peer;
    QVERIFY(peer.listen(QHostAddress(QStringLiteral("127.0.0.8")), 0));
    QByteArray request;
    connect(&peer, &QTcpServer::newConnection, this, [&] {
        QTcpSocket *socket = peer.nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, socket, [&, socket] {
            request += socket->readAll();
            socket->write("x\xa7y.txt and more");
            socket->disconnectFromHost();
        });
    });
    SearchClient client(QStringLiteral("127.0.0.1"));
    client.setPort(peer.serverPort());
    QSignalSpy entries(&client, &SearchClient::resultEntry);
    client.search(QStringLiteral("\u00a7"), tableOf({QStringLiteral("127.0.0.8")}));
    QCOMPARE(request, QByteArray("\xa7"));
    QCOMPARE(entries.count(), 1);
    QCOMPARE(entries.first().first().toString(), QStringLiteral("127.0.0.8\u00a7x\u00a7y.txt and more"));
}

void TestSearch::emptyTextAsksNobody()
{
    QTcpServer peer;
    QVERIFY(peer.listen(QHostAddress(QStringLiteral("127.0.0.8")), 0));
    SearchClient client(QStringLiteral("127.0.0.1"));
    client.setPort(peer.serverPort());
    QSignalSpy started(&client, &SearchClient::searchStarted);
    client.search(QString(), tableOf({QStringLiteral("127.0.0.8")}));
    QCOMPARE(client.searchsend()->state(), EventSocket::State::Closed);
    QCOMPARE(started.count(), 0);
    QVERIFY(!client.isSearching());
}

void TestSearch::secondSearchDoesNotNest()
{
    // The only peer stays silent, so the first search is still waiting when
    // the second is asked for.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress(QStringLiteral("127.0.0.8")), 0));
    SearchClient client(QStringLiteral("127.0.0.1"));
    client.setPort(silent.serverPort());
    client.setSilenceTimeout(ShortTimeoutMs);
    QSignalSpy started(&client, &SearchClient::searchStarted);
    bool secondReturned = false;
    connect(&silent, &QTcpServer::newConnection, this, [&] {
        client.search(QStringLiteral("other"), tableOf({QStringLiteral("127.0.0.8")}));
        secondReturned = client.isSearching();
    });
    client.search(QStringLiteral("first"), tableOf({QStringLiteral("127.0.0.8")}));
    QVERIFY(secondReturned); // returned while the first still ran
    QCOMPARE(started.count(), 1);
    QCOMPARE(client.searchquery(), QStringLiteral("first"));
}

void TestSearch::unreachablePeerEndsItsTurn()
{
    // A listener whose queue of one is full drops further connection attempts
    // unanswered, like a host that is gone.
    QTcpServer full;
    full.setListenBacklogSize(0);
    QVERIFY(full.listen(QHostAddress(QStringLiteral("127.0.0.10")), 0));
    full.pauseAccepting();
    QTcpSocket filler;
    filler.connectToHost(QStringLiteral("127.0.0.10"), full.serverPort());
    QVERIFY(filler.waitForConnected(WaitMs));
    Peer after(QStringLiteral("127.0.0.11"), full.serverPort(), {QStringLiteral("abc.txt")});
    QVERIFY(after.responder->start());

    SearchClient client(QStringLiteral("127.0.0.1"));
    client.setPort(full.serverPort());
    client.setConnectTimeout(ShortTimeoutMs);
    QSignalSpy entries(&client, &SearchClient::resultEntry);
    client.search(QStringLiteral("abc"), tableOf({QStringLiteral("127.0.0.10"), QStringLiteral("127.0.0.11")}));
    QCOMPARE(entries.count(), 1);
    QCOMPARE(entries.first().first().toString(), QStringLiteral("127.0.0.11\u00a7abc.txt"));
}

QTEST_GUILESS_MAIN(TestSearch)
#include "tst_search.moc"
