#include "net/eventsocket.h"
#include "net/searchclient.h"
#include "net/searchresponder.h"
#include "net/transferprotocol.h"
#include "tests/net/unreachablepeer.h"

#include <QDir>
#include <QFile>
#include <QtEndian>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <QElapsedTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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
    bool connected = false;
    QObject::connect(&socket, &QTcpSocket::connected, [&] {
        connected = true;
        socket.write(query);
    });
    socket.connectToHost(address, port);
    QByteArray answer;
    const bool closed = QTest::qWaitFor([&] {
        answer += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState;
    }, WaitMs);
    answer += socket.readAll();
    if (!connected)
        return "<refused>";
    return closed ? answer : answer + "<still open>";
}

} // namespace

class TestSearch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void answersFromTheSharedFolder_data();
    void answersFromTheSharedFolder();
    void missingSharedFolderAnswersNothing();
    void servesOnePeerAtATimeAndListensAgain();
    void faultsReturnToListening_data();
    void faultsReturnToListening();
    void listensAgainOnceThePortIsFree();

    void searchAsksEveryPeer();
    void entriesInDirectoryOrder();
    void endlessAnswerIsCutOff();
    void turnEndsAtItsBoundWhileDataComes();
    void longPiecesAreLeftOut();
    void resultBounds_data();
    void resultBounds();
    void deadEntriesCostOneConnectBound();
    void sectionSignOnTheWire();
    void connectsThatFailAtOnce();
    void oneSearchAtATime();
    void searchWhileAnswering();

private:
    QStringList folderNames() const;

    // The search port of the peers that one search asks.
    std::unique_ptr<UnreachablePeer> m_network;
    quint16 m_port = 0;
};

void TestSearch::initTestCase()
{
    // The peers of a search listen on the same port, each on its own loopback
    // address. The port is held at every address for the whole run, so where
    // no peer listens a connection is refused.
    m_network = std::make_unique<UnreachablePeer>(UnreachablePeer::Kind::Refusing, QStringLiteral("0.0.0.0"));
    QVERIFY(m_network->isReady());
    m_port = m_network->port();
}

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
    QTest::newRow("no links leading out") << QByteArray("link") << QByteArray("in-link");
}

void TestSearch::answersFromTheSharedFolder()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, answer);
    Peer peer(QStringLiteral("127.0.0.2"), 0, folderNames());
    const QDir shared(TransferProtocol::sharedFolder(peer.folder.path()));
    QFile outside(peer.folder.filePath(QStringLiteral("outside.txt")));
    QVERIFY(outside.open(QIODevice::WriteOnly));
    QVERIFY(QFile::link(outside.fileName(), shared.filePath(QStringLiteral("out-link"))));
    QVERIFY(QFile::link(shared.filePath(QStringLiteral("abc.txt")), shared.filePath(QStringLiteral("in-link"))));
    QVERIFY2(peer.responder->start(), qPrintable(peer.responder->errorString()));
    QCOMPARE(ask(QStringLiteral("127.0.0.2"), peer.responder->port(), query), answer);
}

void TestSearch::missingSharedFolderAnswersNothing()
{
    Peer peer(QStringLiteral("127.0.0.2"), 0, {}, false);
    QVERIFY(peer.responder->start());
    QCOMPARE(ask(QStringLiteral("127.0.0.2"), peer.responder->port(), "abc"), QByteArray());
    QTRY_VERIFY(peer.responder->isListening());
}

void TestSearch::servesOnePeerAtATimeAndListensAgain()
{
    const QString address = QStringLiteral("127.0.0.3");
    Peer peer(address, 0, {QStringLiteral("abc.txt")});
    QVERIFY(peer.responder->start());
    const quint16 port = peer.responder->port();

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
    QCOMPARE(peer.responder->port(), port);
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
    const quint16 port = peer.responder->port();

    QTcpSocket bad;
    bad.connectToHost(address, port);
    QTRY_COMPARE(peer.responder->state(), SearchResponder::State::AwaitingRequest);
    switch (fault) {
    case Fault::ClosesWithoutQuery:
        bad.disconnectFromHost();
        break;
    case Fault::StaysSilent:
        break;
    case Fault::SocketError: {
        // The asker resets the connection before it asks.
        const linger reset{1, 0};
        QCOMPARE(::setsockopt(int(bad.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
        bad.abort();
        break;
    }
    case Fault::LeavesRightAfterQuery:
        bad.write("ab");
        bad.flush();
        bad.abort();
        break;
    }
    QTRY_VERIFY(peer.responder->isListening());
    QCOMPARE(ask(address, port, "ab"), QByteArray("abc.txtabd.txt"));
    // A peer's own fault is no failure of this listener.
    QCOMPARE(errors.count(), 0);
}

void TestSearch::listensAgainOnceThePortIsFree()
{
    const QString address = QStringLiteral("127.0.0.5");
    Peer peer(address, 0, {QStringLiteral("abc.txt")});
    QSignalSpy errors(peer.responder.get(), &SearchResponder::listenerError);
    QVERIFY(peer.responder->start());
    const quint16 port = peer.responder->port();

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

namespace {

// Runs a search to its end; the entries it reported, in order.
QStringList searchAll(SearchClient &client, const QString &text, const QStringList &addresses, int timeoutMs = WaitMs)
{
    QStringList entries;
    const QMetaObject::Connection c = QObject::connect(&client, &SearchClient::resultEntries, &client,
                                                       [&](const QStringList &more) { entries.append(more); });
    QSignalSpy finished(&client, &SearchClient::searchFinished);
    if (!client.search(text, addresses))
        return {QStringLiteral("<not started>")};
    if (finished.isEmpty() && !finished.wait(timeoutMs))
        entries.append(QStringLiteral("<not finished>"));
    QObject::disconnect(c);
    return entries;
}

// The entry of a connection between two sockets of this machine in the
// system's table of connections, as it writes an endpoint.
QString procEndpoint(const QHostAddress &address, quint16 port)
{
    return QStringLiteral("%1:%2")
        .arg(qToBigEndian(address.toIPv4Address()), 8, 16, QLatin1Char('0'))
        .arg(port, 4, 16, QLatin1Char('0'))
        .toUpper();
}

// Whether the other end of socket, a socket of this process too, has read
// everything socket sent: nothing waits here to be sent or acknowledged, and
// nothing there to be read.
bool takenByAsker(const QTcpSocket &socket)
{
    if (socket.bytesToWrite() > 0)
        return false;
    const QString here = procEndpoint(socket.localAddress(), socket.localPort());
    const QString there = procEndpoint(socket.peerAddress(), socket.peerPort());
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return true;
    // The table tells no size: it is read to its end at once.
    for (const QByteArray &line : table.readAll().split('\n')) {
        // sl local remote state tx_queue:rx_queue ...
        const QStringList fields = QString::fromLatin1(line).simplified().split(u' ');
        if (fields.size() < 5)
            continue;
        const QStringList queues = fields.at(4).split(u':');
        if (fields.at(1) == here && fields.at(2) == there && queues.first().toUInt(nullptr, 16) > 0)
            return false;
        if (fields.at(1) == there && fields.at(2) == here && queues.last().toUInt(nullptr, 16) > 0)
            return false;
    }
    return true;
}

// A peer that answers every search with the given pieces, after a delay
// (or never, with -1), and then closes; it counts who asked.
class ScriptedPeer : public QTcpServer
{
public:
    ScriptedPeer(const QString &address, quint16 port, QList<QByteArray> pieces, int delayMs = 0)
    {
        listen(QHostAddress(address), port);
        connect(this, &QTcpServer::newConnection, this, [this, pieces, delayMs] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                ++asked;
                if (delayMs < 0)
                    continue;
                connect(socket, &QTcpSocket::readyRead, socket, [socket, pieces, delayMs] {
                    socket->readAll();
                    QTimer::singleShot(delayMs, socket, [socket, pieces] { send(socket, pieces, 0); });
                });
            }
        });
    }

    int asked = 0;

private:
    static void send(QTcpSocket *socket, const QList<QByteArray> &pieces, qsizetype next)
    {
        if (socket->state() != QAbstractSocket::ConnectedState)
            return;
        // One piece per arrival on the other side: the next waits until the
        // asker has taken all before it.
        if (next > 0 && !takenByAsker(*socket)) {
            QTimer::singleShot(1, socket, [socket, pieces, next] { send(socket, pieces, next); });
            return;
        }
        if (next == pieces.size()) {
            socket->disconnectFromHost();
            return;
        }
        socket->write(pieces.at(next));
        socket->flush();
        QTimer::singleShot(1, socket, [socket, pieces, next] { send(socket, pieces, next + 1); });
    }
};

// A peer that answers the first search with a numbered piece every PaceMs,
// as a copy with many names paces its answer, until the asker goes. It runs
// on a thread of its own, so that it goes on sending while the asker's event
// loop is held up.
class PacedPeer
{
public:
    static constexpr int PaceMs = 2;

    explicit PacedPeer(const char *address)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, address, &a.sin_addr);
        socklen_t size = sizeof a;
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(m_listener, 1) != 0
            || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&a), &size) != 0)
            return;
        port = ntohs(a.sin_port);
        m_thread = std::thread([this] { answer(); });
    }

    ~PacedPeer()
    {
        m_stop = true;
        ::shutdown(m_listener, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listener);
    }

    quint16 port = 0;

private:
    void answer()
    {
        const int fd = ::accept(m_listener, nullptr, nullptr);
        if (fd < 0)
            return;
        char query[64];
        if (::recv(fd, query, sizeof query, 0) > 0) {
            for (int n = 0; !m_stop; ++n) {
                const std::string piece = "p" + std::to_string(n) + ".mp3";
                if (::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(PaceMs));
            }
        }
        ::close(fd);
    }

    int m_listener = -1;
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};

} // namespace

void TestSearch::searchAsksEveryPeer()
{
    // Peers 2 and 4 have nothing that matches, 3 has two names, 6 has one;
    // 9 has nobody listening and 7 accepts but never answers.
    const quint16 port = m_port;
    Peer two(QStringLiteral("127.0.0.2"), port, {QStringLiteral("xyz.txt")});
    Peer three(QStringLiteral("127.0.0.3"), port,
               {QStringLiteral("abc.txt"), QStringLiteral("XabcX.mp3"), QStringLiteral("ABC.doc")});
    Peer four(QStringLiteral("127.0.0.4"), port, {});
    Peer six(QStringLiteral("127.0.0.6"), port, {QStringLiteral("my abc song.mp3")});
    for (Peer *peer : {&two, &three, &four, &six})
        QVERIFY2(peer->responder->start(), qPrintable(peer->responder->errorString()));
    ScriptedPeer silent(QStringLiteral("127.0.0.7"), port, {}, -1);
    QVERIFY(silent.isListening());

    SearchClient client;
    client.setPort(port);
    client.setSilenceTimeout(ShortTimeoutMs);
    QSignalSpy started(&client, &SearchClient::searchStarted);
    QSignalSpy progress(&client, &SearchClient::progress);
    const QStringList entries = searchAll(client, QStringLiteral("abc"),
                                          {QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3"),
                                           QStringLiteral("127.0.0.4"), QStringLiteral("127.0.0.9"),
                                           QStringLiteral("127.0.0.7"), QStringLiteral("127.0.0.6"), QString()});

    // One entry per name, exactly address, section sign and name.
    QCOMPARE(entries, QStringList({QStringLiteral("127.0.0.3\u00a7XabcX.mp3"), QStringLiteral("127.0.0.3\u00a7abc.txt"),
                                   QStringLiteral("127.0.0.6\u00a7my abc song.mp3")}));
    QCOMPARE(started.count(), 1);
    QVERIFY(!client.isSearching());
    QCOMPARE(client.searchquery(), QStringLiteral("abc"));
    QCOMPARE(progress.last(), (QVariantList{6, 6}));
    QCOMPARE(silent.asked, 1);
    // Every responder is free again for the next search.
    for (Peer *peer : {&two, &three, &four, &six})
        QTRY_VERIFY(peer->responder->isListening());
}

void TestSearch::entriesInDirectoryOrder()
{
    // Peer 2 answers late and slowly, peer 3 at once, peer 4 never until its
    // silence bound; peer 5 has an address listed twice.
    const quint16 port = m_port;
    ScriptedPeer late(QStringLiteral("127.0.0.2"), port, {"a1", "a2"}, 200);
    ScriptedPeer quick(QStringLiteral("127.0.0.3"), port, {"b1", "b2"});
    ScriptedPeer silent(QStringLiteral("127.0.0.4"), port, {}, -1);
    ScriptedPeer twice(QStringLiteral("127.0.0.5"), port, {"c1"});
    SearchClient client;
    client.setPort(port);
    client.setSilenceTimeout(400);

    QStringList entries;
    connect(&client, &SearchClient::resultEntries, this, [&](const QStringList &more) { entries.append(more); });
    QVERIFY(client.search(QStringLiteral("x"), {QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3"),
                                                QStringLiteral("127.0.0.5"), QStringLiteral("127.0.0.4"),
                                                QStringLiteral("127.0.0.5")}));
    // Every peer is asked at once; the quick one's entries wait for the late one's.
    QTRY_VERIFY(late.asked == 1 && quick.asked == 1 && silent.asked == 1 && twice.asked == 1);
    QTRY_COMPARE(entries, (QStringList{"127.0.0.2\u00a7a1", "127.0.0.2\u00a7a2", "127.0.0.3\u00a7b1",
                                       "127.0.0.3\u00a7b2", "127.0.0.5\u00a7c1"}));
    // The silent peer holds back no entry of those before it, and the search
    // ends at its silence bound.
    QVERIFY(client.isSearching());
    QTRY_VERIFY(!client.isSearching());
    QCOMPARE(entries.size(), 5);
    QCOMPARE(twice.asked, 1);
}

void TestSearch::endlessAnswerIsCutOff()
{
    // Peer 2 answers with names for ever, peer 3 has one name.
    QTcpServer endless;
    QVERIFY(endless.listen(QHostAddress(QStringLiteral("127.0.0.2")), m_port));
    connect(&endless, &QTcpServer::newConnection, this, [&] {
        QTcpSocket *socket = endless.nextPendingConnection();
        connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
            if (socket->bytesToWrite() == 0)
                socket->write("again.mp3");
        });
        socket->write("again.mp3");
    });
    ScriptedPeer after(QStringLiteral("127.0.0.3"), m_port, {"abc.txt"});
    SearchClient client;
    client.setPort(m_port);
    client.setMaxTurnEntries(50);
    QSignalSpy cut(&client, &SearchClient::peerCutOff);
    const QStringList entries =
        searchAll(client, QStringLiteral("a"), {QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3")}, 20000);
    QCOMPARE(cut.count(), 1);
    QCOMPARE(cut.first().first().toString(), QStringLiteral("127.0.0.2"));
    QCOMPARE(entries.size(), 51);
    QCOMPARE(entries.last(), QStringLiteral("127.0.0.3\u00a7abc.txt"));
}

void TestSearch::turnEndsAtItsBoundWhileDataComes()
{
    PacedPeer peer("127.0.0.2");
    QVERIFY(peer.port != 0);
    SearchClient client;
    client.setPort(peer.port);
    client.setTurnTimeout(500);
    QSignalSpy cut(&client, &SearchClient::peerCutOff);
    QStringList entries;
    qsizetype beforeHold = -1;
    connect(&client, &SearchClient::resultEntries, this, [&](const QStringList &more) {
        entries.append(more);
        if (beforeHold >= 0)
            return;
        // A window that holds the loop up past the turn's bound, while the
        // peer goes on sending.
        beforeHold = entries.size();
        QElapsedTimer held;
        held.start();
        while (held.elapsed() < 1000) {
        }
    });
    QSignalSpy finished(&client, &SearchClient::searchFinished);
    QVERIFY(client.search(QStringLiteral("p"), {QStringLiteral("127.0.0.2")}));
    QVERIFY(finished.wait(WaitMs));
    QCOMPARE(cut.count(), 1);
    QCOMPARE(cut.first().at(1).toString(), QStringLiteral("answered for more than 0.5 s"));
    // What was waiting when the loop came back arrived after the bound.
    QVERIFY(beforeHold > 0);
    QCOMPARE(entries.size(), beforeHold);
}

void TestSearch::longPiecesAreLeftOut()
{
    // A piece longer than any download request a peer reads is no file name:
    // it is left out, and the names around it are still listed. One that
    // comes in more than one read (L) is left out whole, its tail too.
    const QString address = QStringLiteral("127.0.0.2");
    const qsizetype longest = SearchClient::MaxEntryLength - address.size() - 1;
    const QByteArray fits(longest, 'F');
    ScriptedPeer peer(address, 0,
                      {"a.mp3", fits, QByteArray(longest + 1, 'O'), QByteArray(SearchClient::ReadLimit + 1000, 'L'),
                       QByteArray(1 << 20, 'H'), "b.mp3"});
    SearchClient client;
    client.setPort(peer.serverPort());
    QSignalSpy cut(&client, &SearchClient::peerCutOff);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Answer of 127.0.0.2 holds a piece of")));
    const QStringList entries = searchAll(client, QStringLiteral("x"), {address});
    QCOMPARE(entries.first(), QStringLiteral("127.0.0.2\u00a7a.mp3"));
    QVERIFY(entries.contains(address + QChar(0xa7) + QString::fromLatin1(fits)));
    QCOMPARE(entries.last(), QStringLiteral("127.0.0.2\u00a7b.mp3"));
    for (const QString &entry : entries) {
        QVERIFY2(entry.size() <= SearchClient::MaxEntryLength, qPrintable(QString::number(entry.size())));
        QVERIFY2(!entry.contains(u'L') && !entry.contains(u'O'), qPrintable(entry.left(40)));
    }
    QCOMPARE(cut.count(), 0);
}

void TestSearch::resultBounds_data()
{
    QTest::addColumn<QList<QByteArray>>("first");
    QTest::addColumn<int>("firstDelayMs");
    QTest::addColumn<QList<QByteArray>>("second");
    QTest::addColumn<int>("maxHeld");
    QTest::addColumn<int>("maxResults");
    QTest::addColumn<int>("connections");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("cutOff");
    QTest::addColumn<int>("secondAsked");

    // The second peer's names wait for the late first one; the one that
    // would pass the bound is not held, nor anything after it.
    QTest::newRow("held back") << QList<QByteArray>{"a1"} << 300 << QList<QByteArray>{"b1", "b2", "b3", "b4", "b5"} << 3
                               << SearchClient::MaxResults << SearchClient::MaxConnections
                               << QStringList{"127.0.0.2\u00a7a1", "127.0.0.3\u00a7b1", "127.0.0.3\u00a7b2",
                                              "127.0.0.3\u00a7b3"}
                               << QStringLiteral("127.0.0.3") << 1;
    // Once nothing more could be listed, nobody more is asked.
    QTest::newRow("results full") << QList<QByteArray>{"a1", "a2", "a3"} << 0 << QList<QByteArray>{"b1"}
                                  << SearchClient::MaxHeldEntries << 2 << 1
                                  << QStringList{"127.0.0.2\u00a7a1", "127.0.0.2\u00a7a2"} << QString() << 0;
}

void TestSearch::resultBounds()
{
    QFETCH(QList<QByteArray>, first);
    QFETCH(int, firstDelayMs);
    QFETCH(QList<QByteArray>, second);
    QFETCH(int, maxHeld);
    QFETCH(int, maxResults);
    QFETCH(int, connections);
    QFETCH(QStringList, expected);
    QFETCH(QString, cutOff);
    QFETCH(int, secondAsked);

    ScriptedPeer one(QStringLiteral("127.0.0.2"), m_port, first, firstDelayMs);
    ScriptedPeer two(QStringLiteral("127.0.0.3"), m_port, second);
    SearchClient client;
    client.setPort(m_port);
    client.setMaxHeldEntries(maxHeld);
    client.setMaxResults(maxResults);
    client.setMaxConnections(connections);
    QSignalSpy cut(&client, &SearchClient::peerCutOff);
    QCOMPARE(searchAll(client, QStringLiteral("x"), {QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3")}),
             expected);
    QCOMPARE(cut.count(), cutOff.isEmpty() ? 0 : 1);
    if (!cutOff.isEmpty())
        QCOMPARE(cut.first().first().toString(), cutOff);
    QCOMPARE(two.asked, secondAsked);
}

void TestSearch::deadEntriesCostOneConnectBound()
{
    // Hosts that are gone drop the knock unanswered; a directory full of
    // them costs one connect bound in all, not one each. Among them are
    // addresses where nobody listens, which refuse at once, and the one live
    // peer comes last.
    constexpr int GoneHosts = 10;
    constexpr int ConnectBoundMs = 1000;
    std::vector<std::unique_ptr<UnreachablePeer>> gone;
    QStringList addresses;
    for (int i = 1; i <= 3 * GoneHosts; ++i) {
        const QString address = QStringLiteral("127.0.1.%1").arg(i);
        if (i % 3 == 0) {
            gone.push_back(std::make_unique<UnreachablePeer>(UnreachablePeer::Kind::Gone, address, m_port));
            QTRY_VERIFY(gone.back()->isReady());
        }
        addresses << address;
    }
    ScriptedPeer live(QStringLiteral("127.0.0.11"), m_port, {"abc.txt"});
    addresses << QStringLiteral("127.0.0.11");

    SearchClient client;
    client.setPort(m_port);
    client.setConnectTimeout(ConnectBoundMs);
    QStringList entries;
    connect(&client, &SearchClient::resultEntries, this, [&](const QStringList &more) { entries.append(more); });
    QSignalSpy finished(&client, &SearchClient::searchFinished);
    QVERIFY(client.search(QStringLiteral("abc"), addresses));
    // Asked one by one, the live peer would wait GoneHosts bounds for its
    // turn: longer than this waits.
    QTRY_COMPARE(live.asked, 1);
    QVERIFY(finished.wait(WaitMs));
    QCOMPARE(entries, QStringList{QStringLiteral("127.0.0.11\u00a7abc.txt")});
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
    SearchClient client;
    client.setPort(peer.serverPort());
    QCOMPARE(searchAll(client, QStringLiteral("\u00a7"), {QStringLiteral("127.0.0.8")}),
             QStringList{QStringLiteral("127.0.0.8\u00a7x\u00a7y.txt and more")});
    QCOMPARE(request, QByteArray("\xa7"));
}

void TestSearch::connectsThatFailAtOnce()
{
    // Addresses no connection can be made to (multicast: refused by this
    // host's own stack, nothing is sent) fail inside the connect call. Each
    // turn must still end from the event loop, or a long directory of them
    // nests one turn in the last until the stack runs out.
    QStringList addresses;
    for (int i = 0; i < 3000; ++i)
        addresses << QStringLiteral("224.1.%1.%2").arg(i / 250).arg(i % 250 + 1);
    SearchClient client;
    QSignalSpy progress(&client, &SearchClient::progress);
    QSignalSpy finished(&client, &SearchClient::searchFinished);
    QVERIFY(client.search(QStringLiteral("x"), addresses));
    QCOMPARE(progress.count(), 1); // the start alone
    QVERIFY(finished.wait(20000));
    QCOMPARE(progress.last(), (QVariantList{3000, 3000}));
}

void TestSearch::oneSearchAtATime()
{
    // An empty text asks nobody.
    ScriptedPeer silent(QStringLiteral("127.0.0.8"), 0, {}, -1);
    SearchClient client;
    client.setPort(silent.serverPort());
    client.setSilenceTimeout(ShortTimeoutMs);
    QSignalSpy started(&client, &SearchClient::searchStarted);
    QVERIFY(!client.search(QString(), {QStringLiteral("127.0.0.8")}));
    QCOMPARE(started.count(), 0);

    // A second search while the first waits starts nothing; a cancel ends
    // the first at once.
    QSignalSpy finished(&client, &SearchClient::searchFinished);
    QVERIFY(client.search(QStringLiteral("first"), {QStringLiteral("127.0.0.8")}));
    QTRY_COMPARE(silent.asked, 1);
    QVERIFY(!client.search(QStringLiteral("other"), {QStringLiteral("127.0.0.8")}));
    QCOMPARE(client.searchquery(), QStringLiteral("first"));
    QCOMPARE(started.count(), 1);
    client.cancel();
    QCOMPARE(finished.count(), 1);
    QVERIFY(!client.isSearching());
    QVERIFY(client.search(QStringLiteral("again"), {QStringLiteral("127.0.0.8")}));
    QVERIFY(finished.wait(WaitMs));
}

void TestSearch::searchWhileAnswering()
{
    // This copy answers another peer's search with many names while its
    // user searches too, and the peer it asks first stays silent.
    QStringList many;
    for (int i = 0; i < 2000; ++i)
        many << QStringLiteral("song%1.mp3").arg(i, 4, 10, QLatin1Char('0'));
    const quint16 port = m_port;
    Peer self(QStringLiteral("127.0.0.2"), port, many);
    QVERIFY(self.responder->start());
    ScriptedPeer silent(QStringLiteral("127.0.0.3"), port, {}, -1);
    QByteArray expected;
    for (const QString &name : std::as_const(many))
        expected += name.toLatin1();

    for (const bool askerLeaves : {false, true}) {
        QTcpSocket asker;
        connect(&asker, &QTcpSocket::connected, this, [&] { asker.write("song"); });
        asker.connectToHost(QStringLiteral("127.0.0.2"), port);
        QByteArray answer;
        QTRY_VERIFY((answer += asker.readAll()).size() > 0);

        SearchClient client;
        client.setPort(port);
        client.setSilenceTimeout(ShortTimeoutMs);
        QSignalSpy finished(&client, &SearchClient::searchFinished);
        QVERIFY(client.search(QStringLiteral("song"), {QStringLiteral("127.0.0.3"), QStringLiteral("127.0.0.2")}));
        if (askerLeaves) {
            asker.abort();
        } else {
            // The answer goes on to its close while the search waits.
            QTRY_VERIFY_WITH_TIMEOUT((answer += asker.readAll(), asker.state() == QAbstractSocket::UnconnectedState),
                                     20000);
            QCOMPARE(answer + asker.readAll(), expected);
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        QTRY_VERIFY(self.responder->isListening());
    }
    // Alive, and answering again.
    QCOMPARE(ask(QStringLiteral("127.0.0.2"), port, "song0007"), QByteArray("song0007.mp3"));
}

QTEST_GUILESS_MAIN(TestSearch)
#include "tst_search.moc"
