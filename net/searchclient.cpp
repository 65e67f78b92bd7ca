#include "net/searchclient.h"

#include "net/eventsocket.h"
#include "net/netlog.h"

#include <QHostAddress>
#include <QPointer>
#include <QSet>
#include <QTimer>

struct SearchClient::Turn
{
    enum class State { Waiting, Connecting, Asking, Over };

    size_t index = 0;
    QString address;            ///< as the caller listed it
    QString peer;               ///< as connected: the address an entry names
    State state = State::Waiting;
    EventSocket *searchsend = nullptr;
    QTimer *bound = nullptr;    ///< the connect bound, then the silence bound
    QTimer *total = nullptr;    ///< the whole answer
    QStringList held;           ///< entries waiting for earlier peers
    qint64 heldBytes = 0;
    qint64 bytes = 0;
    int entries = 0;
};

SearchClient::SearchClient(QObject *parent)
    : QObject(parent)
{
}

SearchClient::~SearchClient()
{
    // This client may go from inside a signal of one of its sockets or
    // timers: they go once control is back in the event loop.
    for (const auto &turn : m_turns) {
        if (turn->searchsend) {
            turn->searchsend->disconnect(this);
            turn->searchsend->setParent(nullptr);
            turn->searchsend->deleteLater();
        }
        for (QTimer *timer : {turn->bound, turn->total}) {
            if (timer) {
                timer->disconnect(this);
                timer->stop();
                timer->setParent(nullptr);
                timer->deleteLater();
            }
        }
    }
}

bool SearchClient::search(const QString &searchtxt, const QStringList &addresses)
{
    if (m_searching || searchtxt.isEmpty())
        return false;
    // What the last search left is let go now, never from inside its handlers.
    m_turns.clear();
    m_searchquery = searchtxt;
    QSet<QString> seen;
    for (const QString &address : addresses) {
        // A copy that crashed and registered again is listed twice; it is
        // asked once, where it comes first.
        if (address.isEmpty() || seen.contains(address))
            continue;
        seen.insert(address);
        auto turn = std::make_unique<Turn>();
        turn->index = m_turns.size();
        turn->address = address;
        turn->peer = address;
        m_turns.push_back(std::move(turn));
    }
    m_searching = true;
    m_nextToStart = 0;
    m_head = 0;
    m_running = 0;
    m_done = 0;
    m_reported = 0;
    m_heldBytes = 0;
    m_resultsCut = false;
    qCDebug(lcSearch) << "searching" << m_turns.size() << "peers for" << searchtxt;

    const QPointer<SearchClient> alive(this);
    emit searchStarted();
    if (!alive || !m_searching)
        return true;
    emit progress(0, peerCount());
    if (!alive || !m_searching)
        return true;
    if (m_turns.empty())
        finish();
    else
        startTurns();
    return true;
}

void SearchClient::cancel()
{
    if (!m_searching)
        return;
    for (const auto &turn : m_turns) {
        if (turn->state == Turn::State::Over)
            continue;
        turn->state = Turn::State::Over;
        if (turn->searchsend) {
            turn->searchsend->disconnect(this);
            turn->searchsend->close();
            turn->searchsend->deleteLater();
            turn->searchsend = nullptr;
        }
        for (QTimer *timer : {turn->bound, turn->total}) {
            if (timer) {
                timer->stop();
                timer->deleteLater();
            }
        }
        turn->bound = nullptr;
        turn->total = nullptr;
        turn->held.clear();
    }
    m_running = 0;
    m_heldBytes = 0;
    qCDebug(lcSearch) << "search stopped after" << m_done << "of" << peerCount() << "peers";
    finish();
}

void SearchClient::startTurns()
{
    const QPointer<SearchClient> alive(this);
    while (m_searching && m_running < m_maxConnections && m_nextToStart < m_turns.size()) {
        startTurn(*m_turns[m_nextToStart++]);
        if (!alive)
            return;
    }
    if (m_searching && m_head >= m_turns.size())
        finish();
}

void SearchClient::startTurn(Turn &turn)
{
    Turn *t = &turn;
    ++m_running;
    // Only a numeric address is dialled: an entry of the directory never
    // makes this copy look a name up.
    if (QHostAddress(turn.address).isNull()) {
        qCDebug(lcSearch) << "not an address, not asked:" << turn.address;
        closeTurn(turn);
        return;
    }
    turn.state = Turn::State::Connecting;
    turn.searchsend = new EventSocket(QString(), this);
    turn.searchsend->setObjectName(QStringLiteral("searchsend"));
    connect(turn.searchsend, &EventSocket::connected, this, [this, t] { searchsend_Connect(*t); });
    connect(turn.searchsend, &EventSocket::dataArrival, this, [this, t] { searchsend_DataArrival(*t); });
    connect(turn.searchsend, &EventSocket::closedByPeer, this, [this, t] { searchsend_Close(*t); });
    connect(turn.searchsend, &EventSocket::errorOccurred, this, [this, t] { searchsend_Error(*t); });
    turn.bound = new QTimer(this);
    turn.bound->setSingleShot(true);
    connect(turn.bound, &QTimer::timeout, this, [this, t] { timedOut(*t); });
    turn.total = new QTimer(this);
    turn.total->setSingleShot(true);
    connect(turn.total, &QTimer::timeout, this, [this, t] {
        cutOff(*t, tr("answered for more than %1 s").arg(m_turnTimeoutMs / 1000.0));
    });
    turn.bound->start(m_connectTimeoutMs);
    turn.searchsend->connectToPeer(turn.address, m_port);
}

void SearchClient::searchsend_Connect(Turn &turn)
{
    if (turn.state != Turn::State::Connecting)
        return;
    turn.state = Turn::State::Asking;
    const QString remote = turn.searchsend->remoteAddress();
    if (!remote.isEmpty())
        turn.peer = remote;
    turn.searchsend->sendText(m_searchquery);
    turn.bound->start(m_silenceTimeoutMs);
    turn.total->start(m_turnTimeoutMs);
}

void SearchClient::searchsend_DataArrival(Turn &turn)
{
    const QString text = turn.searchsend->takeText();
    if (turn.state != Turn::State::Asking || text.isEmpty())
        return;
    turn.bound->start(m_silenceTimeoutMs);
    turn.bytes += text.size();
    ++turn.entries;
    if (turn.bytes > MaxTurnBytes) {
        cutOff(turn, tr("sent more than %1 bytes").arg(MaxTurnBytes));
        return;
    }
    if (turn.entries > m_maxTurnEntries) {
        cutOff(turn, tr("sent more than %1 names").arg(m_maxTurnEntries));
        return;
    }
    deliver(turn, SearchProtocol::resultEntry(turn.peer, text));
}

void SearchClient::searchsend_Close(Turn &turn)
{
    endTurn(turn);
}

void SearchClient::searchsend_Error(Turn &turn)
{
    // Refused (no listener, or its responder is busy with another peer),
    // unreachable, or reset: this peer's turn is over.
    qCDebug(lcSearch) << turn.address << turn.searchsend->errorString();
    endTurn(turn);
}

void SearchClient::timedOut(Turn &turn)
{
    qCDebug(lcSearch) << turn.address
                      << (turn.state == Turn::State::Connecting ? "did not answer the connection" : "fell silent");
    endTurn(turn);
}

void SearchClient::cutOff(Turn &turn, const QString &why)
{
    if (turn.state == Turn::State::Over)
        return;
    qCWarning(lcSearch).noquote() << "Answer of" << turn.peer << "cut off:" << why;
    const QPointer<SearchClient> alive(this);
    emit peerCutOff(turn.peer, why);
    if (alive && m_searching)
        endTurn(turn);
}

void SearchClient::deliver(Turn &turn, const QString &entry)
{
    if (turn.index != m_head) {
        // A later peer: its entries wait for the earlier ones.
        turn.held.append(entry);
        // The text and what holding it costs besides.
        const qint64 size = entry.size() * qint64(sizeof(QChar)) + HeldEntryOverhead;
        turn.heldBytes += size;
        m_heldBytes += size;
        if (m_heldBytes > MaxHeldBytes)
            cutOff(turn, tr("sent more than can wait for the peers before it"));
        return;
    }
    if (m_reported >= MaxResults) {
        if (!m_resultsCut) {
            m_resultsCut = true;
            qCWarning(lcSearch) << "Search results cut off at" << MaxResults << "entries";
        }
        return;
    }
    ++m_reported;
    emit resultEntry(entry);
}

bool SearchClient::closeTurn(Turn &turn)
{
    if (turn.state == Turn::State::Over)
        return false;
    turn.state = Turn::State::Over;
    if (turn.searchsend) {
        turn.searchsend->disconnect(this);
        turn.searchsend->close();
        turn.searchsend->deleteLater();
        turn.searchsend = nullptr;
    }
    // The timers may be what got here: they go once control is back.
    for (QTimer *timer : {turn.bound, turn.total}) {
        if (timer) {
            timer->stop();
            timer->deleteLater();
        }
    }
    turn.bound = nullptr;
    turn.total = nullptr;
    --m_running;
    ++m_done;

    const QPointer<SearchClient> alive(this);
    emit progress(m_done, peerCount());
    if (!alive || !m_searching)
        return false;
    if (turn.index == m_head) {
        flushInOrder();
        if (!alive || !m_searching)
            return false;
    }
    return true;
}

void SearchClient::endTurn(Turn &turn)
{
    if (closeTurn(turn))
        startTurns();
}

void SearchClient::flushInOrder()
{
    const QPointer<SearchClient> alive(this);
    while (m_head < m_turns.size()) {
        Turn &head = *m_turns[m_head];
        const QStringList held = std::exchange(head.held, QStringList());
        m_heldBytes -= std::exchange(head.heldBytes, 0);
        for (const QString &entry : held) {
            deliver(head, entry);
            if (!alive || !m_searching)
                return;
        }
        if (head.state != Turn::State::Over)
            return; // first in line now: its entries go out as they come
        ++m_head;
    }
}

void SearchClient::finish()
{
    m_searching = false;
    emit searchFinished();
}
