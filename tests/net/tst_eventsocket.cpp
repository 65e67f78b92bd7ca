#include "net/eventsocket.h"
#include "net/windows1252.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

class TestEventSocket : public QObject
{
    Q_OBJECT

private slots:
    void codePage_data();
    void codePage();
    void addressAndPortBeforeBinding();
    void oneByteAtATime();
    void closeAfterPeerCloseThenConnectAgain();
    void sectionSignIsOneByte();
    void servesOneConnectionAtATime();
    void refusedConnectReportsError();
    void takenPortFailsToBind();
};

void TestEventSocket::codePage_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ascii") << QStringLiteral("abc.txt") << QByteArray("abc.txt");
    QTest::newRow("section sign") << QStringLiteral("a\u00a7b") << QByteArray("a\xa7" "b");
    QTest::newRow("euro and quotes") << QStringLiteral("\u20ac\u201c\u201d") << QByteArray("\x80\x93\x94");
    QTest::newRow("latin-1 letters") << QStringLiteral("\u00e9\u00ff") << QByteArray("\xe9\xff");
    QTest::newRow("unassigned byte") << QStringLiteral("\u0081") << QByteArray("\x81");
}

void TestEventSocket::codePage()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    bool ok = false;
    QCOMPARE(Windows1252::encode(text, &ok), bytes);
    QVERIFY(ok);
    QCOMPARE(Windows1252::decode(bytes), text);
    QVERIFY(!Windows1252::canEncode(QStringLiteral("\u4e2d")));
}

void TestEventSocket::addressAndPortBeforeBinding()
{
    EventSocket socket(QStringLiteral("127.0.0.7"));
    QCOMPARE(socket.localAddress(), QStringLiteral("127.0.0.7"));
    QCOMPARE(socket.localPort(), quint16(0));
    QVERIFY(socket.bind(0, QStringLiteral("127.0.0.7")));
    QVERIFY(socket.localPort() != 0);
    socket.close();
    QCOMPARE(socket.localPort(), quint16(0));
}

void TestEventSocket::oneByteAtATime()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    EventSocket client(QStringLiteral("127.0.0.1"));
    QByteArray taken;
    int events = 0;
    connect(&client, &EventSocket::dataArrival, this, [&] {
        ++events;
        taken.append(client.take(1));
    });
    QSignalSpy closed(&client, &EventSocket::closedByPeer);
    client.connectToPeer(QStringLiteral("127.0.0.1"), server.serverPort());
    QVERIFY(server.waitForNewConnection(5000));
    QTcpSocket *peer = server.nextPendingConnection();
    peer->write("0123456789");
    peer->flush();
    peer->disconnectFromHost();
    QVERIFY(closed.wait(5000));
    QCOMPARE(taken, QByteArray("0123456789"));
    QCOMPARE(events, 10);
    QCOMPARE(closed.count(), 1);
}

void TestEventSocket::closeAfterPeerCloseThenConnectAgain()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    EventSocket client(QStringLiteral("127.0.0.1"));
    QSignalSpy connected(&client, &EventSocket::connected);
    QSignalSpy closed(&client, &EventSocket::closedByPeer);
    for (int round = 1; round <= 2; ++round) {
        client.close();
        client.connectToPeer(QStringLiteral("127.0.0.1"), server.serverPort());
        QTRY_COMPARE(connected.count(), round);
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *peer = server.nextPendingConnection();
        QCOMPARE(client.remoteAddress(), QStringLiteral("127.0.0.1"));
        peer->disconnectFromHost();
        QVERIFY(closed.wait(5000));
        QCOMPARE(closed.count(), round);
    }
}

void TestEventSocket::sectionSignIsOneByte()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    EventSocket client(QStringLiteral("127.0.0.1"));
    connect(&client, &EventSocket::connected, this, [&] { client.sendText(QStringLiteral("10.0.0.5\u00a7song.mp3")); });
    client.connectToPeer(QStringLiteral("127.0.0.1"), server.serverPort());
    QVERIFY(server.waitForNewConnection(5000));
    QTcpSocket *peer = server.nextPendingConnection();
    QByteArray got;
    QTRY_COMPARE((got += peer->readAll()), QByteArray("10.0.0.5\xa7song.mp3"));
}

void TestEventSocket::servesOneConnectionAtATime()
{
    const QString address = QStringLiteral("127.0.0.3");
    EventSocket listener(address);
    QVERIFY(listener.bind(0, address));
    const quint16 port = listener.localPort();
    QVERIFY(listener.listen());
    // What the handlers could not do, checked by the test function itself.
    int failures = 0;
    connect(&listener, &EventSocket::connectionRequest, this, [&](qintptr id) {
        listener.close();
        failures += !listener.accept(id);
    });
    QString request;
    connect(&listener, &EventSocket::dataArrival, this, [&] {
        request = listener.takeText();
        listener.sendText(QStringLiteral("answer"));
        listener.close();
        failures += !listener.bind(port, address) || !listener.listen();
    });

    QTcpSocket first;
    first.connectToHost(address, port);
    QVERIFY(first.waitForConnected(5000));
    QTRY_COMPARE(listener.state(), EventSocket::State::Connected);

    // While the first is served, the port has no listener.
    QTcpSocket second;
    second.connectToHost(address, port);
    QVERIFY(!second.waitForConnected(2000));
    QCOMPARE(second.error(), QAbstractSocket::ConnectionRefusedError);

    first.write("query");
    QTRY_COMPARE(request, QStringLiteral("query"));
    QTRY_COMPARE(first.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(first.readAll(), QByteArray("answer"));

    // Listening again: the next peer is served the same way.
    QTcpSocket third;
    third.connectToHost(address, port);
    QVERIFY(third.waitForConnected(5000));
    third.write("again");
    QTRY_COMPARE(request, QStringLiteral("again"));
    QCOMPARE(failures, 0);
}

void TestEventSocket::refusedConnectReportsError()
{
    // Bound and not listening: every connection is refused, and nothing else
    // can take the port while it is held.
    QTcpSocket held;
    QVERIFY(held.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    const quint16 port = held.localPort();
    EventSocket client(QStringLiteral("127.0.0.1"));
    QSignalSpy error(&client, &EventSocket::errorOccurred);
    client.connectToPeer(QStringLiteral("127.0.0.1"), port);
    QVERIFY(error.wait(5000));
    QVERIFY(error.first().at(0).toInt() > 0);
    QVERIFY(!error.first().at(1).toString().isEmpty());
}

void TestEventSocket::takenPortFailsToBind()
{
    EventSocket first(QStringLiteral("127.0.0.1"));
    QVERIFY(first.bind(0, QStringLiteral("127.0.0.1")));
    EventSocket second(QStringLiteral("127.0.0.1"));
    QVERIFY(!second.bind(first.localPort(), QStringLiteral("127.0.0.1")));
    QVERIFY(!second.errorString().isEmpty());
}

QTEST_GUILESS_MAIN(TestEventSocket)
#include "tst_eventsocket.moc"
