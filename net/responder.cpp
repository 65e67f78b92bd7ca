#include "net/responder.h"

#include <utility>

Responder::Responder(const QString &localAddress, quint16 port, const QString &endpointName, QObject *parent)
    : QObject(parent)
    , m_endpoint(localAddress, this)
    , m_port(port)
{
    m_endpoint.setObjectName(endpointName);
    m_retry.setSingleShot(true);
    m_retry.setInterval(RebindRetryMs);
    connect(&m_retry, &QTimer::timeout, this, &Responder::listenAgain);
}

bool Responder::start()
{
    m_retry.stop();
    m_failReported = false;
    if (!bindAndListen()) {
        m_state = State::Closed;
        return false;
    }
    return true;
}

void Responder::stopListening()
{
    m_retry.stop();
    m_state = State::Closed;
}

bool Responder::bindAndListen()
{
    if (!m_endpoint.bind(m_port, m_endpoint.localAddress()) || !m_endpoint.listen()) {
        m_errorString = m_endpoint.errorString();
        m_endpoint.close();
        return false;
    }
    m_port = m_endpoint.localPort();
    m_state = State::Listening;
    return true;
}

bool Responder::takePeer(qintptr requestId)
{
    if (m_state != State::Listening)
        return false;
    // Closing first leaves the port without a listener while this peer is served.
    m_endpoint.close();
    if (!m_endpoint.accept(requestId)) {
        listenAgain();
        return false;
    }
    m_state = State::AwaitingRequest;
    return true;
}

void Responder::listenAgain()
{
    if (bindAndListen()) {
        if (std::exchange(m_failReported, false))
            emit listenerRecovered();
        return;
    }
    m_state = State::Rebinding;
    if (!m_failReported) {
        m_failReported = true;
        emit listenerError(m_errorString);
    }
    m_retry.start();
}
