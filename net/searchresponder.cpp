#include "net/searchresponder.h"

#include "net/netlog.h"
#include "net/searchprotocol.h"
#include "net/transferprotocol.h"

SearchResponder::SearchResponder(const QString &programFolder, const QString &localAddress, quint16 port,
                                 QObject *parent)
    : Responder(localAddress, port, QStringLiteral("SearchRecive"), parent)
    , m_SearchRecive(endpoint())
    , m_sharedFolder(TransferProtocol::sharedFolder(programFolder))
{
    connect(&m_SearchRecive, &EventSocket::connectionRequest, this, &SearchResponder::SearchRecive_ConnectionRequest);
    connect(&m_SearchRecive, &EventSocket::dataArrival, this, &SearchResponder::SearchRecive_DataArrival);
    connect(&m_SearchRecive, &EventSocket::closedByPeer, this, &SearchResponder::SearchRecive_Close);
    connect(&m_SearchRecive, &EventSocket::errorOccurred, this, &SearchResponder::SearchRecive_Error);
    connect(&m_SearchRecive, &EventSocket::bytesWritten, this, &SearchResponder::SearchRecive_BytesWritten);

    // One deadline at a time: the query while awaiting it, one name while answering.
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &SearchResponder::endAnswer);
    m_gap.setSingleShot(true);
    m_gap.setTimerType(Qt::PreciseTimer);
    connect(&m_gap, &QTimer::timeout, this, &SearchResponder::sendNext);
}

void SearchResponder::SearchRecive_ConnectionRequest(qintptr requestId)
{
    if (takePeer(requestId))
        m_deadline.start(m_requestTimeoutMs);
}

void SearchResponder::SearchRecive_DataArrival()
{
    if (state() != State::AwaitingRequest) {
        // Anything after the query means nothing; taking it keeps the socket
        // from raising data arrival again and again.
        m_SearchRecive.takeAll();
        return;
    }
    const QString query = m_SearchRecive.takeText();
    m_deadline.stop();
    m_answer = SearchProtocol::answer(m_sharedFolder, query);
    m_nextName = 0;
    setAnswering();
    sendNext();
}

void SearchResponder::sendNext()
{
    if (m_nextName >= m_answer.size()) {
        endAnswer();
        return;
    }
    // Each name leaves as a segment of its own: the endpoint sends without
    // delay, and the next name is handed over only once this one has gone.
    if (m_SearchRecive.sendText(m_answer.at(m_nextName++)) < 0) {
        endAnswer();
        return;
    }
    m_deadline.start(SendTimeoutMs);
}

void SearchResponder::SearchRecive_BytesWritten()
{
    if (state() != State::Answering || m_SearchRecive.bytesToWrite() > 0)
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
    if (isServing())
        endAnswer();
}

void SearchResponder::SearchRecive_Error(int, const QString &description)
{
    // The connection to an asking peer broke: its own doing, not this listener's.
    qCDebug(lcSearch).noquote() << "A search by" << m_SearchRecive.remoteAddress() << "broke off:" << description;
    if (isServing())
        endAnswer();
}

void SearchResponder::endAnswer()
{
    m_deadline.stop();
    m_gap.stop();
    m_answer.clear();
    m_nextName = 0;
    // Close delivers what is still queued before the connection ends.
    m_SearchRecive.close();
    listenAgain();
}
