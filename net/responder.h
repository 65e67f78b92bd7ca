#pragma once

#include "net/eventsocket.h"

#include <QObject>
#include <QString>
#include <QTimer>

/// A listener that answers one asking peer at a time on one endpoint: when a
/// peer knocks it stops listening, so that the port has no listener and other
/// peers are refused, and takes the connection on that same endpoint; once
/// the answer is over it listens again at the same address and port.
///
/// When it cannot listen again (another program took the port meanwhile), it
/// says so once with listenerError() and tries again every RebindRetryMs until
/// it can, then says listenerRecovered(). What becomes of a peer's connection
/// is that peer's business, never a listener error.
class Responder : public QObject
{
    Q_OBJECT

public:
    enum class State { Closed, Listening, AwaitingRequest, Answering, Rebinding };
    Q_ENUM(State)

    /// Pause between attempts to listen again when the port was taken meanwhile.
    static constexpr int RebindRetryMs = 1000;

    /// Binds and listens. False, with errorString(), when that fails; the
    /// caller reports it.
    bool start();
    QString errorString() const { return m_errorString; }
    /// The port listened on; after start() the real one, also when 0 (any
    /// free port) was asked, and kept for every later listen.
    quint16 port() const { return m_port; }
    State state() const { return m_state; }
    bool isListening() const { return m_state == State::Listening; }

signals:
    /// Listening again after an answer failed; description says why.
    void listenerError(const QString &description);
    /// Listening again after listenerError().
    void listenerRecovered();

protected:
    // Listens at localAddress on port; the endpoint goes by endpointName.
    Responder(const QString &localAddress, quint16 port, const QString &endpointName, QObject *parent);

    EventSocket &endpoint() { return m_endpoint; }
    // Takes the peer that knocked with requestId on the endpoint: true when
    // it is now the connection, awaiting the peer's request.
    bool takePeer(qintptr requestId);
    // Whether a peer is being served: its request awaited or answered.
    bool isServing() const { return m_state == State::AwaitingRequest || m_state == State::Answering; }
    void setAnswering() { m_state = State::Answering; }
    // The answer is over, its connection closed or reset: listens again.
    void listenAgain();
    // Listens no more and gives up any retry; the caller ends the connection.
    void stopListening();

private:
    bool bindAndListen();

    EventSocket m_endpoint;
    quint16 m_port;
    State m_state = State::Closed;
    QString m_errorString;
    QTimer m_retry;
    bool m_failReported = false;
};
