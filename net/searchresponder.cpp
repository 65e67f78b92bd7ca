#include "net/searchresponder.h"

#include "net/eventsocket.h"
#include "net/netlog.h"
#include "net/searchprotocol.h"
#include "net/transferprotocol.h"

#include <utility>

SearchResponder::SearchResponder(QString programFolder, QString localAddress, quint16 port, QObject *parent)
    : QObject(parent)
    , m_sharedFolder(TransferProtocol::sharedFolder(programFolder))
    , m_localAddress(std::move(localAddress))
    , m_port(port)
    , m_SearchRecive(new EventSocket(m_localAddress, this))
{
    m_SearchRecive->setObjectName(QStringLiteral("SearchRecive"));
    connect(m_SearchRecive, &EventSocket::connectionRequest, this, &SearchResponder::SearchRecive_ConnectionRequest);
    connect(m_SearchRecive, &EventSocket::dataArrival, this, &SearchResponder::SearchRecive_DataArrival);
    connect(m_SearchRecive, &EventSocket::closedByPeer, this, &SearchResponder::SearchRecive_Close);
    connect(m_SearchRecive, &EventSocket::errorOccurred, this, &SearchResponder::SearchRecive_Error);
    connect(m_SearchRecive, &EventSocket::bytesWritten, this, &SearchResponder::SearchRecive_BytesWritten);

    // One deadline at a time: the query while awaiting it, one name while answering.
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &SearchResponder::listenAgain);
    m_retry.setSingleShot(true);
    m_retry.setInterval(RebindRetryMs);
    connect(&m_retry, &QTimer::timeout, this, &SearchResponder::listenAgain);
    m_gap.setSingleShot(true);
    m_gap.setTimerType(Qt::PreciseTimer);
    connect(&m_gap, &QTimer::timeout, this, &SearchResponder::sendNext);
}

bool SearchResponder::start()
{
    m_retry.stop();
    m_deadline.stop();
    m_gap.stop();
    if (!bindAndListen()) {
        m_state = State::Closed;
        return false;
    }
    // Listening again later uses the same port, also when any free one was asked.
    m_port = m_SearchRecive->localPort();
    m_state = State::Listening;
    return true;
}

bool SearchResponder::bindAndListen()
{
    if (m_SearchRecive->bind(m_port, m_localAddress) && m_SearchRecive->listen())
        return true;
    m_errorString = m_SearchRecive->errorString();
    m_SearchRecive->close();
    return false;
}

void SearchResponder::SearchRecive_ConnectionRequest(qintptr requestId)
{
    if (m_state != State::Listening)
        return;
    // Closing first leaves the port without a listener while this peer is served.
    m_SearchRecive->close();
    if (!m_SearchRecive->accept(requestId)) {
        listenAgain();
        return;
    }
    m_state = State::AwaitingRequest;
    m_deadline.start(m_requestTimeoutMs);
}

void SearchResponder::SearchRecive_DataArrival()
{
    if (m_state != State::AwaitingRequest) {
        // Anything after the query means nothing; taking it keeps the socket
        // from raising data arrival again and again.
        m_SearchRecive->takeAll();
        return;
    }
    const QString query = m_SearchRecive->takeText();
    m_deadline.stop();
    m_answer = SearchProtocol::answer(m_sharedFolder, query);
    m_nextName = 0;
    m_state = State::Answering;
    sendNext();
}

void SearchResponder::sendNext()
{
    if (m_nextName >= m_answer.size()) {
        listenAgain();
        return;
    }
    // Each name leaves as a segment of its own: the endpoint sends without
    // delay, and the next name is handed over only once this one has gone.
    if (m_SearchRecive->sendText(m_answer.at(m_nextName++)) < 0) {
        listenAgain();
        return;
    }
    m_deadline.start(m_sendTimeoutMs);
}

void SearchResponder::SearchRecive_BytesWritten()
{
    if (m_state != State::Answering || m_SearchRecive->bytesToWrite() > 0)
        return;
    m_deadline.stop();
    // The next name waits at least until the event loop has gone round once,
    // so that a reader in this same process (a copy that searches itself)
    // takes the name while it is still alone; the first names wait a little
    // longer, for readers in other processes.
    m_gap.start(m_nameGapMs > 0 && m_nextName < PacedNames ? m_nameGapMs : 0);
}

void SearchResponder::SearchRecive_Close()
{
    if (m_state == State::AwaitingRequest || m_state == State::Answering)
        listenAgain();
}

void SearchResponder::SearchRecive_Error(int, const QString &description)
{
    // The connection to an asking peer: its own doing, not this listener's.
    qCDebug(lcSearch).noquote() << "A search by" << m_SearchRecive->remoteAddress() << "broke off:" << description;
    emit listenerError(description);
    if (m_state == State::AwaitingRequest || m_state == State::Answering)
        listenAgain();
}

void SearchResponder::listenAgain()
{
    m_deadline.stop();
    m_gap.stop();
    m_answer.clear();
    m_nextName = 0;
    // Close delivers what is still queued before the connection ends.
    m_SearchRecive->close();
    if (bindAndListen()) {
        m_state = State::Listening;
        if (std::exchange(m_retryReported, false))
            emit listenerRecovered();
        return;
    }
    m_state = State::Rebinding;
    if (!m_retryReported) {
        m_retryReported = true;
        emit listenerError(m_errorString);
    }
    m_retry.start();
}
