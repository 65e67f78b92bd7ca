#include "net/searchclient.h"

#include "app/tamsin.h"
#include "net/eventsocket.h"

#include <QEventLoop>
#include <QPointer>

#include <utility>

SearchClient::SearchClient(QString localAddress, QObject *parent)
    : QObject(parent)
    , m_searchsend(new EventSocket(std::move(localAddress), this))
{
    m_searchsend->setObjectName(QStringLiteral("searchsend"));
    connect(m_searchsend, &EventSocket::connected, this, &SearchClient::searchsend_Connect);
    connect(m_searchsend, &EventSocket::dataArrival, this, &SearchClient::searchsend_DataArrival);
    connect(m_searchsend, &EventSocket::closedByPeer, this, &SearchClient::searchsend_Close);
    connect(m_searchsend, &EventSocket::errorOccurred, this, &SearchClient::searchsend_Error);
    m_turnTimer.setSingleShot(true);
    connect(&m_turnTimer, &QTimer::timeout, this, &SearchClient::turnTimedOut);
}

SearchClient::~SearchClient()
{
    if (m_wait)
        m_wait->quit();
}

void SearchClient::search(const QString &searchtxt, const PeerTable &peers)
{
    // The wait below runs the event loop, so a second search could start from
    // inside the first; it is not nested.
    if (m_searching)
        return;
    m_searchsend->close();
    m_searchquery = searchtxt;
    // An empty text puts no bytes on the wire, so no peer would ever answer.
    if (searchtxt.isEmpty())
        return;

    QPointer<SearchClient> self(this);
    m_searching = true;
    emit searchStarted();
    if (!self)
        return;
    const qint64 count = peers.readerBound();
    for (qint64 i = 1; i <= count; ++i) {
        if (!askPeer(peers.PeerAddress[static_cast<std::size_t>(i)]))
            return; // this client went away during the wait
    }
    m_searching = false;
    emit searchFinished();
}

bool SearchClient::askPeer(const QString &address)
{
    // An entry without an address cannot be dialled; its turn is over at once.
    if (address.isEmpty())
        return true;
    m_searchdone = false;
    m_searchsend->close();
    m_peerAddress = address;
    m_turn = Turn::Connecting;
    m_turnTimer.start(m_connectTimeoutMs);
    m_searchsend->connectToPeer(address, m_port);

    QPointer<SearchClient> self(this);
    QEventLoop wait;
    m_wait = &wait;
    if (!m_searchdone)
        wait.exec();
    if (!self)
        return false;
    m_wait = nullptr;
    m_searchdone = false;
    return true;
}

void SearchClient::endTurn()
{
    m_turnTimer.stop();
    m_turn = Turn::Idle;
    m_searchdone = true;
    if (m_wait)
        m_wait->quit();
}

void SearchClient::searchsend_Connect()
{
    if (m_turn != Turn::Connecting)
        return;
    m_turn = Turn::Asking;
    const QString remote = m_searchsend->remoteAddress();
    if (!remote.isEmpty())
        m_peerAddress = remote;
    m_searchsend->sendText(m_searchquery);
    m_turnTimer.start(m_silenceTimeoutMs);
}

void SearchClient::searchsend_DataArrival()
{
    const QString text = m_searchsend->takeText();
    if (m_turn != Turn::Asking || text.isEmpty())
        return;
    m_turnTimer.start(m_silenceTimeoutMs);
    emit resultEntry(SearchProtocol::resultEntry(m_peerAddress, text));
}

void SearchClient::searchsend_Close()
{
    if (m_turn != Turn::Idle)
        endTurn();
}

void SearchClient::searchsend_Error()
{
    // Refused (no listener, or its responder is busy with another peer),
    // unreachable, or reset: this peer's turn is over.
    if (m_turn == Turn::Idle)
        return;
    m_searchsend->close();
    endTurn();
}

void SearchClient::turnTimedOut()
{
    m_searchsend->close();
    endTurn();
}
