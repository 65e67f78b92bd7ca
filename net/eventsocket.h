#pragma once

// One event-driven TCP endpoint, used for every connection of the program.
//
// A listening endpoint serves one connection at a time on the same object:
// when a peer knocks (connectionRequest), the owner closes the listener, so
// that the port has no listener and further peers are refused, and accepts
// the request on this same object, which from then on is that connection.
// After the answer the owner closes it and binds and listens again.
//
// A connecting endpoint connects after a close, reports connected(), and ends
// with closedByPeer() once the peer has closed and every byte it sent has
// been taken; when the peer reset the connection instead, it ends with
// errorOccurred(ConnectionResetError) at that point. dataArrival() is raised
// again after its handler returns for as long as bytes remain waiting, so a
// handler may take a part and leave the rest for the next one.
//
// Text on the wire is Windows-1252, one byte per character, with no length
// prefix and no terminator.

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

class QTcpServer;
class QTcpSocket;

class EventSocket : public QObject
{
    Q_OBJECT

public:
    enum class State { Closed, Bound, Listening, Connecting, Connected, PeerClosed, Failed };
    Q_ENUM(State)

    /// How long a closed connection may take to deliver what was still queued
    /// for sending before it is cut.
    static constexpr int LingerMs = 30000;
    /// Error number of a connection the peer reset rather than closed: for
    /// the transfer protocol, whose only end mark is the close, the one way
    /// to say that an answer is not whole.
    static constexpr int ConnectionResetError = 10054;

    /// localAddress is this machine's address as the endpoint reports it,
    /// before and after binding.
    explicit EventSocket(QString localAddress, QObject *parent = nullptr);
    ~EventSocket() override;

    /// Binds to port at address and starts taking connections for listen().
    /// False, with errorString(), when the port is taken.
    bool bind(quint16 port, const QString &address);
    /// Raises connectionRequest for each peer that connects.
    bool listen();
    /// Makes this object the connection of the given request; called right
    /// after close(). Every other waiting request is refused.
    bool accept(qintptr requestId);
    /// Connects to host:port; connected() or errorOccurred() tells the end,
    /// always from the event loop, never from inside this call.
    void connectToPeer(const QString &host, quint16 port);
    /// Allowed in every state; the object can be used again at once. Bytes
    /// queued for sending are still delivered before the connection ends.
    void close();
    /// Ends the connection with a reset instead of an orderly close: what is
    /// queued is dropped, and the peer sees an error, not an end of data.
    void reset();

    qint64 sendText(const QString &text);
    qint64 sendBytes(const QByteArray &bytes);

    /// All waiting bytes, removed.
    QByteArray takeAll();
    /// All waiting bytes as text, removed.
    QString takeText();
    /// Up to max bytes; the rest stays waiting.
    QByteArray take(qint64 max);

    /// At most bytes are taken from the system for one data arrival; the
    /// rest waits there (and the peer is held back) until this is taken. 0,
    /// the default, takes whatever has come.
    void setReadLimit(qint64 bytes);

    qint64 bytesWaiting() const;
    /// Bytes handed to send that the system has not taken yet.
    qint64 bytesToWrite() const;

    /// The system's descriptor of the connection; -1 without one.
    qintptr descriptor() const;

    QString localAddress() const { return m_localAddress; }
    /// 0 until bound or connected.
    quint16 localPort() const;
    QString remoteAddress() const;
    State state() const { return m_state; }
    QString errorString() const { return m_errorString; }

signals:
    void connectionRequest(qintptr requestId);
    void dataArrival(qint64 bytesWaiting);
    void connected();
    void closedByPeer();
    void errorOccurred(int number, const QString &description);
    /// Some of the queued bytes have been handed to the system.
    void bytesWritten(qint64 bytes);

private:
    void adopt(QTcpSocket *socket);
    void dropConnection();
    void onNewConnection();
    void onReadyRead();
    void onDisconnected();
    void raiseDataArrival();
    void scheduleDataArrival();
    void finishIfDrained();
    // A second descriptor of the connection, so that when the peer goes, the
    // connection's state can still tell a reset from an orderly close (the
    // socket layer reports both alike).
    void shadow();
    void dropShadow();
    bool shadowWasReset() const;

    QString m_localAddress;
    QTcpServer *m_server = nullptr;
    QPointer<QTcpSocket> m_socket;
    QHash<qintptr, QTcpSocket *> m_requests;
    qintptr m_nextRequest = 1;
    State m_state = State::Closed;
    QString m_errorString;
    bool m_arrivalScheduled = false;
    bool m_inArrival = false;
    bool m_peerClosed = false;
    bool m_peerReset = false;
    bool m_inConnect = false;
    int m_shadow = -1;
    bool m_closedReported = false;
    qint64 m_readLimit = 0;
};
