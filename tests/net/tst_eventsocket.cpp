#include "net/eventsocket.h"
#include "net/windows1252.h"
#include "tests/net/unreachablepeer.h"

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
    void bindingAndItsPort();
    void oneByteAtATime();
    void closeAfterPeerCloseThenConnectAgain();
    void refusedConnectReportsError();
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

void TestEventSocket::bindingAndItsPort()
{
    EventSocket socket(QStringLiteral("127.0.0.7"));
    QCOMPARE(socket.localAddress(), QStringLiteral("127.0.0.7"));
    QCOMPARE(socket.localPort(), quint16(0));
    QVERIFY(socket.bind(0, QStringLiteral("127.0.0.7")));
    QVERIFY(socket.localPort() != 0);

    // A port that is taken fails to bind, and says why.
    EventSocket second(QStringLiteral("127.0.0.7"));
    QVERIFY(!second.bind(socket.localPort(), QStringLiteral("127.0.0.7")));
    QVERIFY(!second.errorString().isEmpty());

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
    QTRY_VERIFY(server.hasPendingConnections());
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

void TestEventSocket::refusedConnectReportsError()
{
    const UnreachablePeer nobody(UnreachablePeer::Kind::Refusing, QStringLiteral("127.0.0.1"), 0);
    QVERIFY(nobody.isReady());
    EventSocket client(QStringLiteral("127.0.0.1"));
    QSignalSpy error(&client, &EventSocket::errorOccurred);
    client.connectToPeer(QStringLiteral("127.0.0.1"), nobody.port());
    QVERIFY(error.wait(5000));
    QVERIFY(error.first().at(0).toInt() > 0);
    QVERIFY(!error.first().at(1).toString().isEmpty());
}

QTEST_GUILESS_MAIN(TestEventSocket)
#include "tst_eventsocket.moc"
