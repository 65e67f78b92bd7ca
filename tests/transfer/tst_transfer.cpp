#include "transferpeer.h"

#include "net/transferprotocol.h"
#include "tests/net/unreachablepeer.h"
#include "tests/support/stalledasker.h"

#include <QFileInfo>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace TransferProtocol;

namespace {

// Guards against a hang; no test depends on how long a transfer takes.
constexpr int TransferWaitMs = 60000;
// Short limits, so that the tests of a silent peer do not wait long.
constexpr int ShortTimeoutMs = 300;
// Larger than what the sockets on both sides can hold while the asker takes
// nothing, so that the answer is still going on.
constexpr qint64 BigFileSize = 16 * 1024 * 1024;
constexpr qint64 AskerBufferSize = 64 * 1024;

const QString AddressA = QStringLiteral("127.0.0.2");
const QString AddressB = QStringLiteral("127.0.0.3");
const QString AddressC = QStringLiteral("127.0.0.4");
const QString NoPeer = QStringLiteral("127.0.0.9");
const QByteArray ThreeBytes("\x41\x00\xff", 3);

QString withSection(const char *text)
{
    return QString::fromUtf8(text);
}

/// A peer that asks a responder by hand: it sends one request once connected
/// and collects what comes back until the responder closes.
struct Asker
{
    Asker()
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
            if (reading)
                received += socket.readAll();
        });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
    }
    void ask(const QString &address, quint16 port, const QByteArray &request)
    {
        QObject::connect(&socket, &QTcpSocket::connected, [this, request] {
            if (!request.isEmpty())
                socket.write(request);
        });
        socket.connectToHost(address, port);
    }
    /// Takes nothing more until read() is called: the answer piles up.
    void stopReading()
    {
        reading = false;
        socket.setReadBufferSize(AskerBufferSize);
    }
    void read()
    {
        reading = true;
        socket.setReadBufferSize(0);
        received += socket.readAll();
    }

    QTcpSocket socket;
    QByteArray received;
    bool reading = true;
    bool closed = false;
};

/// What a responder answers a request asked by hand, once it has closed.
QByteArray fetchByHand(const QString &address, quint16 port, const QByteArray &request)
{
    Asker asker;
    asker.ask(address, port, request);
    if (!QTest::qWaitFor([&] { return asker.closed; }, TransferWaitMs))
        return asker.received + "<still open>";
    return asker.received;
}

/// A serving peer played by hand, for answers that a responder never gives.
struct FakeServer
{
    bool listen(const QString &address, quint16 port)
    {
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, [this] { request += socket->readAll(); });
        });
        return server.listen(QHostAddress(address), port);
    }

    QTcpServer server;
    QPointer<QTcpSocket> socket;
    QByteArray request;
};

} // namespace

class TestTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void splitting_data();
    void splitting();
    void safeNames_data();
    void safeNames();
    void byteLinesReadBack();

    void requestOnTheWire();
    void downloadsInARowFromTwoPeers();
    void ownAddress();
    void requestSeparators_data();
    void requestSeparators();
    void fileSizes_data();
    void fileSizes();
    void secondAskerRefusedWhileAnswering();
    void uploadBesideOwnDownload();

    void entriesThatCannotBeSaved_data();
    void entriesThatCannotBeSaved();
    void earlierDownloadOfTheEntry_data();
    void earlierDownloadOfTheEntry();
    void unreachablePeer_data();
    void unreachablePeer();
    void silentPeerMidTransfer();
    void secondDownloadRefused();
    void transferBrokenOff();
    void servedFileShrinks();

    void unservableNames_data();
    void unservableNames();
    void askerGoesAwayMidAnswer();
    void askerThatNeverAsks();
    void askerThatStopsReading();

private:
    std::unique_ptr<Peer> startPeer(const QString &address);
    bool fetch(Peer &asker, const QString &entry);

    std::unique_ptr<UnreachablePeer> m_network;
    quint16 m_port = 0;
};

void TestTransfer::initTestCase()
{
    // Every peer listens on the same port, each on its own loopback address,
    // as the upload port is the same for all peers. The port is held at every
    // address for the whole run, so where no peer listens (NoPeer) a
    // connection is refused.
    m_network = std::make_unique<UnreachablePeer>(UnreachablePeer::Kind::Refusing, QStringLiteral("0.0.0.0"));
    QVERIFY(m_network->isReady());
    m_port = m_network->port();
}

std::unique_ptr<Peer> TestTransfer::startPeer(const QString &address)
{
    auto peer = std::make_unique<Peer>(address, m_port);
    if (!peer->dir.isValid() || !peer->responder->start())
        return nullptr;
    return peer;
}

bool TestTransfer::fetch(Peer &asker, const QString &entry)
{
    QSignalSpy finished(asker.client.get(), &DownloadClient::finished);
    if (!asker.client->startdownload(entry))
        return false;
    return finished.wait(TransferWaitMs) && finished.first().at(0).toBool();
}

void TestTransfer::splitting_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::newRow("entry") << withSection("10.0.0.5§song.mp3") << "10.0.0.5" << "song.mp3";
    QTest::newRow("no separator") << "abc" << "abc" << "abc";
    QTest::newRow("empty") << "" << "" << "";
    QTest::newRow("separator last") << withSection("abc§") << "abc" << "";
    QTest::newRow("separator first") << withSection("§abc") << withSection("§abc") << "abc";
    QTest::newRow("two separators") << withSection("a§b§c") << "a" << withSection("b§c");
    QTest::newRow("two leading separators") << withSection("§§x") << withSection("§") << withSection("§x");
}

void TestTransfer::splitting()
{
    QFETCH(QString, text);
    QFETCH(QString, before);
    QFETCH(QString, after);
    QCOMPARE(BeforeLast(text), before);
    QCOMPARE(AfterLastx(text), after);
}

void TestTransfer::safeNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << "song.mp3" << true;
    QTest::newRow("whole entry") << withSection("10.0.0.5§song.mp3") << true;
    QTest::newRow("spaces and accents") << withSection("café au lait.txt") << true;
    QTest::newRow("dots in a name") << "...x" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("slash") << "a/b" << false;
    QTest::newRow("parent step") << "../IP.txt" << false;
    QTest::newRow("backslash") << "a\\b" << false;
    QTest::newRow("tab") << "a\tb" << false;
    QTest::newRow("nul") << QString(QChar(0)) << false;
    QTest::newRow("delete") << "a\x7f" << false;
    QTest::newRow("unassigned code page byte") << QString(QChar(0x81)) << false;
    QTest::newRow("outside the code page") << QString(QChar(0x4e2d)) << false;
    QTest::newRow("resource path") << ":song.mp3" << false;
    QTest::newRow("colon inside") << "a:b.txt" << true;
}

void TestTransfer::safeNames()
{
    QFETCH(QString, name);
    QFETCH(bool, safe);
    QCOMPARE(isSafeName(name), safe);
}

void TestTransfer::byteLinesReadBack()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bytes"));
    const qint64 size = ByteLinesModel::PageSize + 10;
    const QByteArray bytes = pattern(size);
    QVERIFY(writeFile(path, bytes.left(5)));

    ByteLinesModel model;
    model.addLine(QStringLiteral("Connected!"));
    model.addBytes(path, 0, 5);
    QCOMPARE(model.rowCount(), 6);
    QCOMPARE(model.data(model.index(5)).toString(), QString::number(quint8(bytes[4])));

    // The file grows after a page of it was read: later rows come from the
    // new end, not from the short page.
    QVERIFY(writeFile(path, bytes));
    model.addBytes(path, 5, size - 5);
    model.addLine(QStringLiteral("Done!"));
    QCOMPARE(model.rowCount(), int(size) + 2);
    for (qint64 at : {qint64(0), qint64(6), ByteLinesModel::PageSize - 1, ByteLinesModel::PageSize, size - 1})
        QCOMPARE(model.data(model.index(int(at) + 1)).toString(), QString::number(quint8(bytes[at])));
    QCOMPARE(model.data(model.index(0)).toString(), QStringLiteral("Connected!"));
    QCOMPARE(model.data(model.index(int(size) + 1)).toString(), QStringLiteral("Done!"));

    // A block that does not follow the last one starts the bytes anew.
    model.addBytes(path, 100, 2);
    QCOMPARE(model.byteCount(), qint64(2));
    QCOMPARE(model.data(model.index(1)).toString(), QString::number(quint8(bytes[100])));

    model.clear();
    QCOMPARE(model.rowCount(), 0);
}

void TestTransfer::requestOnTheWire()
{
    // The asking side: the whole entry in the code page, nothing after it.
    auto a = startPeer(AddressA);
    FakeServer peer;
    QVERIFY(a && peer.listen(AddressC, m_port));
    QSignalSpy finished(a->client.get(), &DownloadClient::finished);
    QVERIFY(a->client->startdownload(withSection("127.0.0.4§abc.txt")));
    const QByteArray request("127.0.0.4\xa7" "abc.txt");
    QTRY_COMPARE(peer.request, request);
    peer.socket->write(ThreeBytes);
    peer.socket->disconnectFromHost();
    QVERIFY(finished.wait(TransferWaitMs));
    QCOMPARE(peer.request, request);
    QCOMPARE(a->lines(), QStringList({"Connected!", "65", "0", "255", "Done!"}));
}

void TestTransfer::downloadsInARowFromTwoPeers()
{
    // The same name from two peers is two files; the second download reuses
    // the connection object and leaves the first file whole.
    auto a = startPeer(AddressA);
    auto b = startPeer(AddressB);
    auto c = startPeer(AddressC);
    QVERIFY(a && b && c);
    const QString name = QStringLiteral("song.mp3");
    QVERIFY(writeFile(b->shared(name), pattern(70000, 1)));
    QVERIFY(writeFile(c->shared(name), pattern(5, 2)));

    QVERIFY(fetch(*a, b->entry(name)));
    QVERIFY(fetch(*a, c->entry(name)));
    QCOMPARE(readFile(a->client->targetPath(b->entry(name))), pattern(70000, 1));
    QCOMPARE(readFile(a->client->targetPath(c->entry(name))), pattern(5, 2));
    QCOMPARE(a->DL.rowCount(), 5 + 2);
    QCOMPARE(QDir(a->downloads()).entryList(QDir::Files).size(), 2);
}

void TestTransfer::ownAddress()
{
    // The copy's own entry is answered by its own responder while its own
    // client receives, in the one thread.
    auto a = startPeer(AddressA);
    QVERIFY(a);
    const QByteArray bytes = pattern(64 * 1024 + 1, 3);
    QVERIFY(writeFile(a->shared(QStringLiteral("self.bin")), bytes));
    QVERIFY(fetch(*a, a->entry(QStringLiteral("self.bin"))));
    QCOMPARE(readFile(a->client->targetPath(a->entry(QStringLiteral("self.bin")))), bytes);
}

void TestTransfer::requestSeparators_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("sharedName");
    QTest::newRow("an entry: after the separator") << QByteArray("10.0.0.5\xa7" "abc.txt") << "abc.txt";
    QTest::newRow("no separator: the whole request") << QByteArray("abc.txt") << "abc.txt";
    QTest::newRow("two separators: after the first") << QByteArray("10.0.0.5\xa7" "b\xa7" "c") << withSection("b§c");
}

void TestTransfer::requestSeparators()
{
    // The serving side: exactly the file's bytes, then the close, then
    // listening again.
    QFETCH(QByteArray, request);
    QFETCH(QString, sharedName);
    auto b = startPeer(AddressB);
    QVERIFY(b);
    QVERIFY(writeFile(b->shared(sharedName), ThreeBytes));
    QCOMPARE(fetchByHand(AddressB, m_port, request), ThreeBytes);
    QCOMPARE(b->responder->state(), UploadResponder::State::Listening);
}

void TestTransfer::fileSizes_data()
{
    QTest::addColumn<qint64>("size");
    QTest::newRow("empty") << qint64(0);
    QTest::newRow("3 bytes") << qint64(3);
    QTest::newRow("64 KiB - 1") << qint64(64 * 1024 - 1);
    QTest::newRow("64 KiB") << qint64(64 * 1024);
    QTest::newRow("64 KiB + 1") << qint64(64 * 1024 + 1);
    QTest::newRow("10 MiB") << qint64(10 * 1024 * 1024);
}

void TestTransfer::fileSizes()
{
    QFETCH(qint64, size);
    auto a = startPeer(AddressA);
    auto b = startPeer(AddressB);
    QVERIFY(a && b);
    const QByteArray bytes = pattern(size, int(size));
    QVERIFY(writeFile(b->shared(QStringLiteral("data.bin")), bytes));
    QSignalSpy answered(b->responder.get(), &UploadResponder::answered);

    const QString entry = b->entry(QStringLiteral("data.bin"));
    QVERIFY(fetch(*a, entry));
    // Saved under the whole entry, closed, and whole; an empty file too.
    const QString target = a->client->targetPath(entry);
    QCOMPARE(QFileInfo(target).fileName(), withSection("127.0.0.3§data.bin"));
    QVERIFY(QFileInfo::exists(target));
    QCOMPARE(readFile(target), bytes);
    QVERIFY(!a->client->DownloadFile().isOpen());
    QCOMPARE(a->client->DownloadRequest(), entry);
    QCOMPARE(answered.count(), 1);
    QCOMPARE(answered.first().at(1).toLongLong(), size);
    QVERIFY(answered.first().at(2).toBool());
    QCOMPARE(b->responder->state(), UploadResponder::State::Listening);

    // n + 2 lines, each byte's value in file order.
    const ByteLinesModel &dl = a->DL;
    QCOMPARE(dl.rowCount(), int(size) + 2);
    QCOMPARE(dl.data(dl.index(0)).toString(), QStringLiteral("Connected!"));
    QCOMPARE(dl.data(dl.index(int(size) + 1)).toString(), QStringLiteral("Done!"));
    for (qint64 at : {qint64(0), size / 2, size - 1}) {
        if (at >= 0 && at < size)
            QCOMPARE(dl.data(dl.index(int(at) + 1)).toString(), QString::number(quint8(bytes[at])));
    }
}

void TestTransfer::secondAskerRefusedWhileAnswering()
{
    auto a = startPeer(AddressA);
    auto b = startPeer(AddressB);
    QVERIFY(a && b);
    const QByteArray big = pattern(BigFileSize, 4);
    QVERIFY(writeFile(b->shared(QStringLiteral("big.bin")), big));
    QVERIFY(writeFile(b->shared(QStringLiteral("abc.txt")), ThreeBytes));

    Asker first;
    first.stopReading();
    first.ask(AddressB, m_port, "x\xa7" "big.bin");
    QTRY_COMPARE(b->responder->state(), UploadResponder::State::Answering);

    // No listener while the answer goes on: the host refuses the second.
    QSignalSpy finished(a->client.get(), &DownloadClient::finished);
    QVERIFY(a->client->startdownload(b->entry(QStringLiteral("abc.txt"))));
    QVERIFY(finished.wait(TransferWaitMs));
    QCOMPARE(finished.first().at(0).toBool(), false);
    QCOMPARE(a->lines().size(), 1);
    QVERIFY2(a->lines().first().startsWith(QStringLiteral("Cannot reach 127.0.0.3")), qPrintable(a->lines().first()));
    QCOMPARE(b->responder->state(), UploadResponder::State::Answering);

    first.read();
    QTRY_VERIFY_WITH_TIMEOUT(first.closed, TransferWaitMs);
    first.read();
    QCOMPARE(first.received.size(), big.size());
    QVERIFY(first.received == big);

    QVERIFY(fetch(*a, b->entry(QStringLiteral("abc.txt"))));
    QCOMPARE(a->lines(), QStringList({"Connected!", "65", "0", "255", "Done!"}));
}

void TestTransfer::uploadBesideOwnDownload()
{
    // A receives from a peer that pauses half-way; meanwhile B fetches a file
    // from A. A's answer ends and closes its source file, and A's download
    // goes on into its own, still open, target file.
    auto a = startPeer(AddressA);
    auto b = startPeer(AddressB);
    FakeServer slow;
    QVERIFY(a && b && slow.listen(AddressC, m_port));
    const QByteArray incoming = pattern(200000, 5);
    const QByteArray outgoing = pattern(1024 * 1024, 6);
    QVERIFY(writeFile(a->shared(QStringLiteral("out.bin")), outgoing));

    const QString entry = withSection("127.0.0.4§in.bin");
    QSignalSpy aFinished(a->client.get(), &DownloadClient::finished);
    QVERIFY(a->client->startdownload(entry));
    QTRY_VERIFY(!slow.request.isEmpty());
    slow.socket->write(incoming.left(100000));
    QTRY_COMPARE(a->DL.byteCount(), qint64(100000));
    const QString target = a->client->targetPath(entry);
    const int targetHandles = openHandles(target);
    QVERIFY(targetHandles >= 1);

    QSignalSpy answered(a->responder.get(), &UploadResponder::answered);
    QVERIFY(fetch(*b, a->entry(QStringLiteral("out.bin"))));
    QCOMPARE(answered.count(), 1);
    QCOMPARE(readFile(b->client->targetPath(a->entry(QStringLiteral("out.bin")))), outgoing);
    QCOMPARE(openHandles(a->shared(QStringLiteral("out.bin"))), 0);
    QCOMPARE(a->client->state(), DownloadClient::State::Receiving);
    QVERIFY(a->client->DownloadFile().isOpen());
    QCOMPARE(openHandles(target), targetHandles);

    slow.socket->write(incoming.mid(100000));
    slow.socket->disconnectFromHost();
    QVERIFY(aFinished.wait(TransferWaitMs));
    QVERIFY(aFinished.first().at(0).toBool());
    QCOMPARE(readFile(target), incoming);
    QCOMPARE(a->DL.rowCount(), incoming.size() + 2);
}

void TestTransfer::entriesThatCannotBeSaved_data()
{
    QTest::addColumn<QString>("entry");
    QTest::newRow("parent step in the name") << withSection("127.0.0.3§../IP.txt");
    QTest::newRow("folder in the name") << withSection("127.0.0.3§sub/x");
    QTest::newRow("name is a parent step") << withSection("127.0.0.3§..");
    QTest::newRow("no name") << withSection("127.0.0.3§");
    QTest::newRow("slash before the separator") << withSection("127.0.0.3/x§y");
    QTest::newRow("control character") << withSection("127.0.0.3§a\nb");
    QTest::newRow("outside the code page") << withSection("127.0.0.3§中.txt");
    QTest::newRow("no address") << withSection("somehost§a.txt");
    QTest::newRow("empty") << QString();
}

void TestTransfer::entriesThatCannotBeSaved()
{
    QFETCH(QString, entry);
    auto a = startPeer(AddressA);
    QVERIFY(a);
    QSignalSpy finished(a->client.get(), &DownloadClient::finished);
    QVERIFY(!a->client->startdownload(entry));
    QCOMPARE(a->lines().size(), 1);
    QVERIFY2(a->lines().first().startsWith(QStringLiteral("Refused")), qPrintable(a->lines().first()));
    QCOMPARE(a->client->state(), DownloadClient::State::Idle);
    QCOMPARE(a->client->download().state(), EventSocket::State::Closed);
    QVERIFY(QDir(a->downloads()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden));
    QVERIFY(!QFileInfo::exists(a->dir.filePath(QStringLiteral("IP.txt"))));
    QCOMPARE(finished.count(), 0);
}

void TestTransfer::earlierDownloadOfTheEntry_data()
{
    QTest::addColumn<QString>("served");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("kept");
    QTest::addColumn<QString>("lastLine");
    const QByteArray earlier(100, 'x');
    const QString earlierKept = withSection("the earlier \"127.0.0.3§abc.txt\" is kept.");
    QTest::newRow("bytes come: replaced") << "abc.txt" << ThreeBytes << ThreeBytes << "Done!";
    QTest::newRow("an empty answer: kept") << "empty" << QByteArray() << earlier
                                          << withSection("Nothing came from 127.0.0.3: ") + earlierKept;
    QTest::newRow("no such file any more: kept") << "" << QByteArray() << earlier
                                                 << "Stopped: Connection reset by peer; " + earlierKept;
    QTest::newRow("bytes come, then a reset: kept") << "reset" << pattern(64 * 1024, 10) << earlier
                                                    << "Stopped: Connection reset by peer; " + earlierKept;
}

void TestTransfer::earlierDownloadOfTheEntry()
{
    // The entry was downloaded before; the peer now sends the file, nothing
    // at all, refuses the name, or breaks off half-way.
    QFETCH(QString, served);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, kept);
    QFETCH(QString, lastLine);
    auto a = startPeer(AddressA);
    QVERIFY(a);
    std::unique_ptr<Peer> b;
    FakeServer breaking;
    if (served == QLatin1String("reset")) {
        QVERIFY(breaking.listen(AddressB, m_port));
    } else {
        b = startPeer(AddressB);
        QVERIFY(b);
        if (served != QString())
            QVERIFY(writeFile(b->shared(QStringLiteral("abc.txt")), sent));
    }
    const QString entry = AddressB + Separator + QStringLiteral("abc.txt");
    const QString target = a->client->targetPath(entry);
    QVERIFY(writeFile(target, QByteArray(100, 'x')));

    QSignalSpy finished(a->client.get(), &DownloadClient::finished);
    QVERIFY(a->client->startdownload(entry));
    if (served == QLatin1String("reset")) {
        QTRY_VERIFY(!breaking.request.isEmpty());
        breaking.socket->write(sent);
        QTRY_COMPARE(a->DL.byteCount(), qint64(sent.size()));
        const linger reset{1, 0};
        QCOMPARE(::setsockopt(int(breaking.socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
        breaking.socket->abort();
    }
    QVERIFY(finished.wait(TransferWaitMs));
    QCOMPARE(readFile(target), kept);
    QCOMPARE(a->lines().first(), QStringLiteral("Connected!"));
    QCOMPARE(a->lines().last(), lastLine);
    QCOMPARE(finished.first().first().toBool(), lastLine == QLatin1String("Done!"));
    // The list shows every byte that came, read back from wherever it went.
    QCOMPARE(a->DL.rowCount(), sent.size() + 2);
    for (qsizetype at = 0; at < sent.size(); at += 997)
        QCOMPARE(a->DL.data(a->DL.index(int(at) + 1)).toString(), QString::number(quint8(sent[at])));
    // Nothing is left beside it.
    QCOMPARE(QDir(a->downloads()).entryList(QDir::Files | QDir::Hidden), QStringList{QFileInfo(target).fileName()});
}

void TestTransfer::unreachablePeer_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<bool>("oldFile");
    QTest::newRow("refused") << false << false;
    QTest::newRow("refused, an older file of that name") << false << true;
    QTest::newRow("never answers") << true << false;
}

void TestTransfer::unreachablePeer()
{
    QFETCH(bool, silent);
    QFETCH(bool, oldFile);
    auto a = startPeer(AddressA);
    QVERIFY(a);
    a->client->setConnectTimeout(ShortTimeoutMs);

    std::unique_ptr<UnreachablePeer> gone;
    if (silent) {
        gone = std::make_unique<UnreachablePeer>(UnreachablePeer::Kind::Gone, NoPeer, m_port);
        QTRY_VERIFY(gone->isReady());
    }
    const QString entry = NoPeer + Separator + QStringLiteral("abc.txt");
    const QString target = a->client->targetPath(entry);
    if (oldFile)
        QVERIFY(writeFile(target, "older download"));

    QSignalSpy finished(a->client.get(), &DownloadClient::finished);
    QVERIFY(a->client->startdownload(entry));
    QVERIFY(QFileInfo::exists(target));
    QVERIFY(finished.wait(TransferWaitMs));
    QCOMPARE(finished.first().at(0).toBool(), false);
    QCOMPARE(a->lines().size(), 1);
    const QString line = a->lines().first();
    QVERIFY2(line.startsWith(QStringLiteral("Cannot reach 127.0.0.9: ")), qPrintable(line));
    QVERIFY2(line.contains(QStringLiteral("no answer within 0.3 s")) == silent, qPrintable(line));
    QCOMPARE(a->client->download().state(), EventSocket::State::Closed);
    QVERIFY(!a->client->DownloadFile().isOpen());
    if (oldFile)
        QCOMPARE(readFile(target), QByteArray("older download"));
    else
        QVERIFY(!QFileInfo::exists(target));
}

void TestTransfer::silentPeerMidTransfer()
{
    auto a = startPeer(AddressA);
    FakeServer peer;
    QVERIFY(a && peer.listen(AddressC, m_port));
    a->client->setStallTimeout(ShortTimeoutMs);
    const QString entry = withSection("127.0.0.4§half.bin");
    QSignalSpy finished(a->client.get(), &DownloadClient::finished);
    QVERIFY(a->client->startdownload(entry));
    QTRY_VERIFY(!peer.request.isEmpty());
    peer.socket->write("\x07\x09", 2);

    QVERIFY(finished.wait(TransferWaitMs));
    QCOMPARE(finished.first().at(0).toBool(), false);
    const QStringList lines = a->lines();
    QCOMPARE(lines.mid(0, 3), QStringList({"Connected!", "7", "9"}));
    QCOMPARE(lines.size(), 4);
    QVERIFY2(lines.last().startsWith(QStringLiteral("Stopped: nothing came from 127.0.0.4")), qPrintable(lines.last()));
    QCOMPARE(readFile(a->client->targetPath(entry)), QByteArray("\x07\x09", 2));
    QCOMPARE(a->client->download().state(), EventSocket::State::Closed);
    QTRY_COMPARE(peer.socket->state(), QAbstractSocket::UnconnectedState);
}

void TestTransfer::secondDownloadRefused()
{
    auto a = startPeer(AddressA);
    FakeServer peer;
    QVERIFY(a && peer.listen(AddressC, m_port));
    const QString entry = withSection("127.0.0.4§first.bin");
    const QString second = withSection("127.0.0.4§second.bin");
    QSignalSpy finished(a->client.get(), &DownloadClient::finished);
    QSignalSpy refused(a->client.get(), &DownloadClient::refused);
    QVERIFY(a->client->startdownload(entry));
    QTRY_VERIFY(!peer.request.isEmpty());
    peer.socket->write("abc");
    QTRY_COMPARE(a->DL.byteCount(), qint64(3));

    QVERIFY(!a->client->startdownload(second));
    QCOMPARE(refused.count(), 1);
    QVERIFY(!QFileInfo::exists(a->client->targetPath(second)));
    QCOMPARE(a->client->DownloadRequest(), entry);

    peer.socket->write("de");
    peer.socket->disconnectFromHost();
    QVERIFY(finished.wait(TransferWaitMs));
    QVERIFY(finished.first().at(0).toBool());
    QCOMPARE(a->lines(), QStringList({"Connected!", "97", "98", "99", "100", "101", "Done!"}));
    QCOMPARE(readFile(a->client->targetPath(entry)), QByteArray("abcde"));
}

void TestTransfer::transferBrokenOff()
{
    // A peer that is cut off, or that cannot send the whole file, resets the
    // connection rather than close it (the close is the protocol's only end
    // mark): the download ends as stopped, and what did arrive is kept and
    // listed.
    auto a = startPeer(AddressA);
    FakeServer peer;
    QVERIFY(a && peer.listen(AddressC, m_port));
    const QString entry = withSection("127.0.0.4§cut.bin");
    const QByteArray part = pattern(1000, 7);
    QSignalSpy finished(a->client.get(), &DownloadClient::finished);
    QVERIFY(a->client->startdownload(entry));
    QTRY_VERIFY(!peer.request.isEmpty());
    peer.socket->write(part);
    QTRY_COMPARE(a->DL.byteCount(), qint64(part.size()));
    const linger reset{1, 0};
    QCOMPARE(::setsockopt(int(peer.socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    peer.socket->abort();
    QVERIFY(finished.wait(TransferWaitMs));
    QCOMPARE(readFile(a->client->targetPath(entry)), part);
    QVERIFY(!finished.first().first().toBool());
    QCOMPARE(a->DL.rowCount(), part.size() + 2);
    QCOMPARE(a->lines().last(), QStringLiteral("Stopped: Connection reset by peer; 1000 bytes kept."));
    QCOMPARE(a->client->state(), DownloadClient::State::Idle);

    QCOMPARE(a->client->download().state(), EventSocket::State::Closed);
}

void TestTransfer::servedFileShrinks()
{
    // Its owner cuts the shared file while it is being sent: the answer
    // cannot be whole, and the asker must not take it for the whole file.
    auto a = startPeer(AddressA);
    auto b = startPeer(AddressB);
    QVERIFY(a && b);
    QFile shared(b->shared(QStringLiteral("big.bin")));
    QVERIFY(shared.open(QIODevice::WriteOnly));
    QVERIFY(shared.resize(qint64(1) << 30)); // sparse: no time to write
    QSignalSpy finished(a->client.get(), &DownloadClient::finished);
    QVERIFY(a->client->startdownload(b->entry(QStringLiteral("big.bin"))));
    QTRY_VERIFY(a->DL.byteCount() > 0);
    QVERIFY(shared.resize(1000));
    QVERIFY(finished.wait(TransferWaitMs));
    QVERIFY(!finished.first().first().toBool());
    QVERIFY2(a->lines().last().startsWith(QStringLiteral("Stopped: ")), qPrintable(a->lines().last()));
    QTRY_COMPARE(b->responder->state(), UploadResponder::State::Listening);
}

void TestTransfer::unservableNames_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("setUp");
    QTest::newRow("missing") << QByteArray("x\xa7nothing.txt") << "";
    QTest::newRow("a folder") << QByteArray("x\xa7" "adir") << "folder";
    QTest::newRow("a pipe") << QByteArray("x\xa7pipe") << "pipe";
    QTest::newRow("a link out of Shared") << QByteArray("x\xa7link") << "link";
    QTest::newRow("no Shared folder") << QByteArray("x\xa7" "abc.txt") << "no shared";
    QTest::newRow("parent step") << QByteArray("x\xa7../IP.txt") << "";
    QTest::newRow("parent folder") << QByteArray("x\xa7..") << "";
    QTest::newRow("control character") << QByteArray("x\xa7" "a\x01" "bc.txt") << "";
    QTest::newRow("longer than an entry") << QByteArray("x\xa7") + QByteArray(40000, 'a') << "";
}

void TestTransfer::unservableNames()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, setUp);
    auto b = startPeer(AddressB);
    QVERIFY(b);
    QVERIFY(writeFile(b->dir.filePath(QStringLiteral("IP.txt")), "secret"));
    QVERIFY(writeFile(b->shared(QStringLiteral("abc.txt")), ThreeBytes));
    if (setUp == QLatin1String("folder"))
        QVERIFY(QDir(b->shared(QString())).mkdir(QStringLiteral("adir")));
    if (setUp == QLatin1String("pipe"))
        QCOMPARE(::mkfifo(QFile::encodeName(b->shared(QStringLiteral("pipe"))).constData(), 0600), 0);
    if (setUp == QLatin1String("link"))
        QVERIFY(QFile::link(b->dir.filePath(QStringLiteral("IP.txt")), b->shared(QStringLiteral("link"))));
    if (setUp == QLatin1String("no shared"))
        QVERIFY(QDir(b->shared(QString())).removeRecursively());

    QSignalSpy answered(b->responder.get(), &UploadResponder::answered);
    // Refused with a reset: an immediate close would read as an empty file.
    StalledAsker asker;
    QVERIFY(asker.ask(AddressB, m_port, request));
    StalledAsker::End end = StalledAsker::End::Open;
    QTRY_VERIFY_WITH_TIMEOUT((end = asker.drain()) != StalledAsker::End::Open, TransferWaitMs);
    QCOMPARE(end, StalledAsker::End::Reset);
    QCOMPARE(asker.received, QByteArray());
    QCOMPARE(answered.count(), 1);
    QCOMPARE(answered.first().at(2).toBool(), false);
    QCOMPARE(b->responder->state(), UploadResponder::State::Listening);

    // Listening again and serving.
    QDir().mkpath(b->shared(QString()));
    QVERIFY(writeFile(b->shared(QStringLiteral("abc.txt")), ThreeBytes));
    QCOMPARE(fetchByHand(AddressB, m_port, "x\xa7" "abc.txt"), ThreeBytes);
}

void TestTransfer::askerGoesAwayMidAnswer()
{
    auto b = startPeer(AddressB);
    QVERIFY(b);
    const QString source = b->shared(QStringLiteral("big.bin"));
    QVERIFY(writeFile(source, pattern(BigFileSize, 8)));
    QVERIFY(writeFile(b->shared(QStringLiteral("abc.txt")), ThreeBytes));
    QSignalSpy answered(b->responder.get(), &UploadResponder::answered);

    Asker asker;
    asker.ask(AddressB, m_port, "x\xa7" "big.bin");
    QTRY_VERIFY(asker.received.size() > 0);
    QCOMPARE(openHandles(source), 1);
    asker.socket.abort();

    QVERIFY(answered.wait(TransferWaitMs));
    QCOMPARE(answered.first().at(2).toBool(), false);
    QVERIFY(answered.first().at(1).toLongLong() < BigFileSize);
    QCOMPARE(openHandles(source), 0);
    QCOMPARE(b->responder->state(), UploadResponder::State::Listening);

    QCOMPARE(fetchByHand(AddressB, m_port, "x\xa7" "abc.txt"), ThreeBytes);
}

void TestTransfer::askerThatNeverAsks()
{
    auto b = startPeer(AddressB);
    QVERIFY(b);
    b->responder->setRequestTimeout(ShortTimeoutMs);
    QSignalSpy answered(b->responder.get(), &UploadResponder::answered);
    Asker silent;
    silent.ask(AddressB, m_port, QByteArray());
    QTRY_COMPARE(b->responder->state(), UploadResponder::State::AwaitingRequest);
    QTRY_VERIFY_WITH_TIMEOUT(silent.closed, TransferWaitMs);
    QCOMPARE(answered.count(), 1);
    QCOMPARE(answered.first().at(0).toString(), QString());
    QCOMPARE(b->responder->state(), UploadResponder::State::Listening);

    // One that connects and leaves without asking frees the port at once.
    b->responder->setRequestTimeout(UploadResponder::RequestTimeoutMs);
    Asker leaving;
    leaving.ask(AddressB, m_port, QByteArray());
    QTRY_COMPARE(b->responder->state(), UploadResponder::State::AwaitingRequest);
    leaving.socket.disconnectFromHost();
    QTRY_COMPARE(b->responder->state(), UploadResponder::State::Listening);
}

void TestTransfer::askerThatStopsReading()
{
    // Given up at the stall bound, the answer ends with a reset: the asker
    // keeps what came and must not take it for the whole file.
    auto b = startPeer(AddressB);
    QVERIFY(b);
    const QString source = b->shared(QStringLiteral("big.bin"));
    const QByteArray bytes = pattern(BigFileSize, 9);
    QVERIFY(writeFile(source, bytes));
    b->responder->setAnswerStallTimeout(ShortTimeoutMs);
    QSignalSpy answered(b->responder.get(), &UploadResponder::answered);

    StalledAsker stuck;
    QVERIFY(stuck.ask(AddressB, m_port, "x\xa7" "big.bin"));
    QVERIFY(answered.wait(TransferWaitMs));
    QCOMPARE(answered.first().at(2).toBool(), false);
    QCOMPARE(b->responder->state(), UploadResponder::State::Listening);
    QCOMPARE(openHandles(source), 0);

    StalledAsker::End end = StalledAsker::End::Open;
    QTRY_VERIFY((end = stuck.drain()) != StalledAsker::End::Open);
    QCOMPARE(end, StalledAsker::End::Reset);
    QVERIFY(!stuck.received.isEmpty() && stuck.received.size() < bytes.size());
    QVERIFY(stuck.received == bytes.left(stuck.received.size()));
}

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
