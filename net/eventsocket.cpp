#include "net/eventsocket.h"

#include "net/windows1252.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

EventSocket::EventSocket(QString localAddress, QObject *parent)
    : QObject(parent)
    , m_localAddress(std::move(localAddress))
{
}

EventSocket::~EventSocket()
{
    close();
    dropShadow();
}

bool EventSocket::bind(quint16 port, const QString &address)
{
    close();
    auto *server = new QTcpServer(this);
    if (!server->listen(QHostAddress(address), port)) {
        m_errorString = server->errorString();
        delete server;
        m_state = State::Failed;
        return false;
    }
    server->pauseAccepting();
    connect(server, &QTcpServer::newConnection, this, &EventSocket::onNewConnection);
    m_server = server;
    m_state = State::Bound;
    return true;
}

bool EventSocket::listen()
{
    if (!m_server)
        return false;
    m_server->resumeAccepting();
    m_state = State::Listening;
    return true;
}

void EventSocket::onNewConnection()
{
    while (m_server && m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        socket->setParent(this);
        const qintptr id = m_nextRequest++;
        m_requests.insert(id, socket);
        // A peer that gives up before it is accepted takes its request along.
        connect(socket, &QTcpSocket::disconnected, this, [this, id] {
            if (QTcpSocket *gone = m_requests.take(id))
                gone->deleteLater();
        });
        emit connectionRequest(id);
    }
}

bool EventSocket::accept(qintptr requestId)
{
    QTcpSocket *socket = m_requests.take(requestId);
    for (QTcpSocket *other : std::as_const(m_requests)) {
        other->disconnect(this);
        other->abort();
        other->deleteLater();
    }
    m_requests.clear();
    if (!socket)
        return false;
    socket->disconnect(this);
    adopt(socket);
    m_state = State::Connected;
    shadow();
    // The peer may have sent its request before we got round to accepting.
    if (socket->bytesAvailable() > 0)
        scheduleDataArrival();
    if (socket->state() != QAbstractSocket::ConnectedState)
        onDisconnected();
    return true;
}

void EventSocket::adopt(QTcpSocket *socket)
{
    m_socket = socket;
    m_peerClosed = false;
    m_peerReset = false;
    m_closedReported = false;
    m_errorString.clear();
    socket->setReadBufferSize(m_readLimit);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QTcpSocket::readyRead, this, &EventSocket::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &EventSocket::onDisconnected);
    connect(socket, &QTcpSocket::bytesWritten, this, &EventSocket::bytesWritten);
    connect(socket, &QTcpSocket::connected, this, [this] {
        m_state = State::Connected;
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        shadow();
        emit connected();
    });
    connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        // The peer's close is reported by closedByPeer once the data is taken.
        if (error == QAbstractSocket::RemoteHostClosedError)
            return;
        m_errorString = m_socket ? m_socket->errorString() : QString();
        m_state = State::Failed;
        const int number = static_cast<int>(error) + 1;
        if (!m_inConnect) {
            emit errorOccurred(number, m_errorString);
            return;
        }
        // A connect that fails at once (no route, an address nobody can
        // dial) fails inside connectToPeer(); its caller learns it from the
        // event loop, like every other outcome of a connect.
        const QPointer<QTcpSocket> failed = m_socket;
        QTimer::singleShot(0, this, [this, failed, number] {
            if (failed && failed == m_socket)
                emit errorOccurred(number, m_errorString);
        });
    });
}

void EventSocket::connectToPeer(const QString &host, quint16 port)
{
    close();
    auto *socket = new QTcpSocket(this);
    adopt(socket);
    m_state = State::Connecting;
    m_inConnect = true;
    socket->connectToHost(host, port);
    m_inConnect = false;
}

void EventSocket::shadow()
{
    dropShadow();
    if (m_socket && m_socket->socketDescriptor() >= 0)
        m_shadow = fcntl(int(m_socket->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
}

void EventSocket::dropShadow()
{
    if (m_shadow >= 0)
        ::close(m_shadow);
    m_shadow = -1;
}

bool EventSocket::shadowWasReset() const
{
#ifdef __linux__
    // The peer closed in order: this side is still open (CLOSE_WAIT) through
    // the shadow. Reset: the connection is gone (CLOSE).
    tcp_info info = {};
    socklen_t size = sizeof info;
    if (m_shadow >= 0 && getsockopt(m_shadow, IPPROTO_TCP, TCP_INFO, &info, &size) == 0)
        return info.tcpi_state == TCP_CLOSE;
#endif
    return false;
}

void EventSocket::dropConnection()
{
    // Our own close: the last descriptor must go with the socket's, or no
    // FIN would leave.
    dropShadow();
    if (!m_socket)
        return;
    QTcpSocket *socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    if (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() > 0) {
        // Let what was sent reach the peer; the socket goes when it has. It
        // may outlive this endpoint: the application keeps it meanwhile, so
        // that nothing is left behind when the program ends first.
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(LingerMs, socket, [socket] { socket->abort(); socket->deleteLater(); });
        socket->disconnectFromHost();
        socket->setParent(QCoreApplication::instance());
    } else {
        socket->abort();
        socket->deleteLater();
    }
}

void EventSocket::close()
{
    dropConnection();
    if (m_server) {
        // Stop listening; requests not yet accepted stay until accept().
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    } else {
        for (QTcpSocket *other : std::as_const(m_requests)) {
            other->disconnect(this);
            other->abort();
            other->deleteLater();
        }
        m_requests.clear();
    }
    m_peerClosed = false;
    m_arrivalScheduled = false;
    m_state = State::Closed;
}

void EventSocket::reset()
{
    dropShadow();
    if (m_socket && m_socket->socketDescriptor() >= 0) {
        // Linger on, for no time: the close sends RST.
        const linger abortive{1, 0};
        setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        QTcpSocket *socket = m_socket;
        m_socket = nullptr;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    close();
}

qint64 EventSocket::sendBytes(const QByteArray &bytes)
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return -1;
    return m_socket->write(bytes);
}

qint64 EventSocket::sendText(const QString &text)
{
    return sendBytes(Windows1252::encode(text));
}

QByteArray EventSocket::takeAll()
{
    QByteArray data = m_socket ? m_socket->readAll() : QByteArray();
    finishIfDrained();
    return data;
}

QString EventSocket::takeText()
{
    return Windows1252::decode(takeAll());
}

QByteArray EventSocket::take(qint64 max)
{
    QByteArray data = m_socket ? m_socket->read(max) : QByteArray();
    finishIfDrained();
    return data;
}

void EventSocket::setReadLimit(qint64 bytes)
{
    m_readLimit = bytes;
    if (m_socket)
        m_socket->setReadBufferSize(bytes);
}

qint64 EventSocket::bytesWaiting() const
{
    return m_socket ? m_socket->bytesAvailable() : 0;
}

qint64 EventSocket::bytesToWrite() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

qintptr EventSocket::descriptor() const
{
    return m_socket ? m_socket->socketDescriptor() : -1;
}

quint16 EventSocket::localPort() const
{
    if (m_server)
        return m_server->serverPort();
    return m_socket ? m_socket->localPort() : 0;
}

QString EventSocket::remoteAddress() const
{
    if (!m_socket)
        return QString();
    QHostAddress peer = m_socket->peerAddress();
    bool isV4 = false;
    const quint32 v4 = peer.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : peer.toString();
}

void EventSocket::onReadyRead()
{
    raiseDataArrival();
}

void EventSocket::raiseDataArrival()
{
    m_arrivalScheduled = false;
    if (!m_socket || m_inArrival || m_socket->bytesAvailable() <= 0)
        return;
    QPointer<QTcpSocket> socket = m_socket;
    m_inArrival = true;
    emit dataArrival(socket->bytesAvailable());
    m_inArrival = false;
    if (socket && socket == m_socket && socket->bytesAvailable() > 0)
        scheduleDataArrival();
    finishIfDrained();
}

void EventSocket::scheduleDataArrival()
{
    if (m_arrivalScheduled)
        return;
    m_arrivalScheduled = true;
    QTimer::singleShot(0, this, &EventSocket::raiseDataArrival);
}

void EventSocket::onDisconnected()
{
    m_peerReset = m_peerReset || shadowWasReset();
    dropShadow();
    m_peerClosed = true;
    if (m_state == State::Connected || m_state == State::Connecting)
        m_state = State::PeerClosed;
    finishIfDrained();
}

void EventSocket::finishIfDrained()
{
    // Report the peer's close only once everything it sent has been taken,
    // and never from inside a data-arrival handler.
    if (!m_peerClosed || m_closedReported || m_inArrival || !m_socket || m_socket->bytesAvailable() > 0)
        return;
    m_closedReported = true;
    QPointer<QTcpSocket> socket = m_socket;
    QTimer::singleShot(0, this, [this, socket] {
        if (!socket || socket != m_socket)
            return;
        if (!m_peerReset) {
            emit closedByPeer();
            return;
        }
        m_errorString = tr("Connection reset by peer");
        m_state = State::Failed;
        emit errorOccurred(ConnectionResetError, m_errorString);
    });
}
