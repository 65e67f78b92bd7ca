#include "net/searchclient.h"

#include "net/eventsocket.h"
#include "net/netlog.h"
#include "net/windows1252.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <utility>

struct SearchClient::Turn
{
    enum class State { Waiting, Connecting, Asking, Over };

    size_t index = 0;
    QString address;            // as the caller listed it
    QString peer;               // as connected: the address an entry names
    State state = State::Waiting;
    EventSocket *searchsend = nullptr;
    QTimer *bound = nullptr;    // the connect bound, then the silence bound
    QTimer *total = nullptr;    // the whole answer
    QDeadlineTimer deadline;    // the whole answer, as data arrives
    QElapsedTimer sinceData;    // for the silence bound
    QStringList held;           // entries waiting for earlier peers
    qint64 heldBytes = 0;
    qint64 bytes = 0;
    int entries = 0;
    int overlong = 0;           // pieces too long to be listed
    bool pieceGoesOn = false;   // the last read was full: its piece is not over
};

SearchClient::SearchClient(QObject *parent)
    : QObject(parent)
    , m_slice(new QTimer(this))
{
    m_slice->setSingleShot(true);
    m_slice->setInterval(0);
    connect(m_slice, &QTimer::timeout, this, &SearchClient::deliverSlice);
}

namespace {

// Deletes object once control is back in the event loop, owned by nobody
// meanwhile: it may be what called here, and its owner may go first.
void letGo(QObject *object, QObject *owner)
{
    object->disconnect(owner);
    object->setParent(nullptr);
    object->deleteLater();
}

} // namespace

SearchClient::~SearchClient()
{
    for (const auto &turn : m_turns)
        release(*turn);
    m_slice->stop();
    letGo(m_slice, this);
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
    m_outbox.clear();
    m_listed = 0;
    m_listedBytes = 0;
    m_held = 0;
    m_heldBytes = 0;
    m_resultsFull = false;
    qCDebug(lcSearch) << "searching" << m_turns.size() << "peers for" << searchtxt;

    const QPointer<SearchClient> alive(this);
    emit searchStarted();
    if (!alive || !m_searching)
        return true;
    emit progress(0, peerCount());
    if (!alive || !m_searching)
        return true;
    startTurns();
    return true;
}

void SearchClient::cancel()
{
    if (!m_searching)
        return;
    qCDebug(lcSearch) << "search stopped after" << m_done << "of" << peerCount() << "peers";
    for (const auto &turn : m_turns) {
        stopTurn(*turn);
        turn->held.clear();
        turn->heldBytes = 0;
    }
    m_nextToStart = m_turns.size();
    m_held = 0;
    m_heldBytes = 0;
    m_outbox.clear();
    m_slice->stop();
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
    finishWhenDone();
}

void SearchClient::startTurn(Turn &turn)
{
    Turn *t = &turn;
    ++m_running;
    turn.state = Turn::State::Connecting;
    // Only a numeric address is dialled: an entry of the directory never
    // makes this copy look a name up.
    if (QHostAddress(turn.address).isNull()) {
        qCDebug(lcSearch) << "not an address, not asked:" << turn.address;
        closeTurn(turn);
        return;
    }
    turn.searchsend = new EventSocket(QString(), this);
    turn.searchsend->setObjectName(QStringLiteral("searchsend"));
    // A piece is taken at most one character past the longest entry at a
    // time: a flood of large pieces is dropped a little at a time, and the
    // peer waits meanwhile.
    turn.searchsend->setReadLimit(ReadLimit);
    connect(turn.searchsend, &EventSocket::connected, this, [this, t] { searchsend_Connect(*t); });
    connect(turn.searchsend, &EventSocket::dataArrival, this, [this, t] { searchsend_DataArrival(*t); });
    connect(turn.searchsend, &EventSocket::closedByPeer, this, [this, t] { searchsend_Close(*t); });
    connect(turn.searchsend, &EventSocket::errorOccurred, this, [this, t] { searchsend_Error(*t); });
    turn.bound = new QTimer(this);
    turn.bound->setSingleShot(true);
    connect(turn.bound, &QTimer::timeout, this, [this, t] { boundReached(*t); });
    turn.total = new QTimer(this);
    turn.total->setSingleShot(true);
    connect(turn.total, &QTimer::timeout, this, [this, t] { cutOff(*t, turnTooLong()); });
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
    turn.sinceData.start();
    turn.bound->start(m_silenceTimeoutMs);
    turn.deadline.setRemainingTime(m_turnTimeoutMs);
    turn.total->start(m_turnTimeoutMs);
}

void SearchClient::searchsend_DataArrival(Turn &turn)
{
    const QByteArray bytes = turn.searchsend->takeAll();
    if (turn.state != Turn::State::Asking || bytes.isEmpty())
        return;
    // The timer of the whole answer may come late while data pours in:
    // nothing that arrives after the bound is taken.
    if (turn.deadline.hasExpired()) {
        cutOff(turn, turnTooLong());
        return;
    }
    turn.sinceData.start();
    if (turn.bytes + bytes.size() > MaxTurnBytes) {
        cutOff(turn, tr("sent more than %1 bytes").arg(MaxTurnBytes));
        return;
    }
    turn.bytes += bytes.size();
    // A copy's names pile up into one long piece when this side reads late;
    // cutting the turn there would lose the names after it, so only the
    // piece goes, whole: what the reads after a full one bring is still
    // that piece, and a tail of it would name a file nobody has.
    const bool goesOn = std::exchange(turn.pieceGoesOn, bytes.size() >= ReadLimit);
    if (goesOn)
        return;
    if (turn.peer.size() + 1 + bytes.size() > MaxEntryLength) {
        if (turn.overlong++ == 0)
            qCWarning(lcSearch).noquote() << "Answer of" << turn.peer << "holds a piece of" << bytes.size()
                                          << "characters, longer than any entry that can be downloaded:"
                                          << "not listed";
        return;
    }
    if (turn.entries >= m_maxTurnEntries) {
        cutOff(turn, tr("sent more than %1 names").arg(m_maxTurnEntries));
        return;
    }
    ++turn.entries;
    add(turn, SearchProtocol::resultEntry(turn.peer, Windows1252::decode(bytes)));
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

void SearchClient::boundReached(Turn &turn)
{
    if (turn.state == Turn::State::Asking) {
        // The silence bound counts from the last data; it is not started
        // anew for every arrival.
        const qint64 silent = turn.sinceData.elapsed();
        if (silent < m_silenceTimeoutMs) {
            turn.bound->start(static_cast<int>(m_silenceTimeoutMs - silent));
            return;
        }
    }
    qCDebug(lcSearch) << turn.address
                      << (turn.state == Turn::State::Connecting ? "did not answer the connection" : "fell silent");
    endTurn(turn);
}

QString SearchClient::turnTooLong() const
{
    return tr("answered for more than %1 s").arg(m_turnTimeoutMs / 1000.0);
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

void SearchClient::add(Turn &turn, const QString &entry)
{
    const qint64 cost = entry.size() * qint64(sizeof(QChar)) + EntryOverhead;
    if (m_listed + m_held >= m_maxResults || m_listedBytes + m_heldBytes + cost > MaxResultBytes) {
        resultsFull();
        return;
    }
    if (turn.index != m_head) {
        // A later peer: its entries wait for the earlier ones.
        if (m_held >= m_maxHeldEntries || m_heldBytes + cost > MaxHeldBytes) {
            cutOff(turn, tr("sent more than can wait for the peers before it"));
            return;
        }
        turn.held.append(entry);
        turn.heldBytes += cost;
        ++m_held;
        m_heldBytes += cost;
        return;
    }
    m_outbox.append(entry);
    ++m_listed;
    m_listedBytes += cost;
    scheduleSlice();
}

void SearchClient::resultsFull()
{
    if (m_resultsFull)
        return;
    m_resultsFull = true;
    qCWarning(lcSearch).noquote() << QStringLiteral("Search results full at %1 entries, %2 KiB: the peers still "
                                                    "answering are let go, the rest are not asked")
                                         .arg(m_listed + m_held)
                                         .arg((m_listedBytes + m_heldBytes) / 1024);
    // Nothing any peer sends from here on could be listed.
    for (const auto &turn : m_turns)
        stopTurn(*turn);
    m_nextToStart = m_turns.size();
    const QPointer<SearchClient> alive(this);
    emit progress(m_done, peerCount());
    if (!alive || !m_searching)
        return;
    flushInOrder();
    finishWhenDone();
}

void SearchClient::release(Turn &turn)
{
    if (EventSocket *socket = std::exchange(turn.searchsend, nullptr)) {
        socket->close();
        letGo(socket, this);
    }
    for (QTimer *timer : {std::exchange(turn.bound, nullptr), std::exchange(turn.total, nullptr)}) {
        if (timer) {
            timer->stop();
            letGo(timer, this);
        }
    }
}

bool SearchClient::stopTurn(Turn &turn)
{
    if (turn.state == Turn::State::Over)
        return false;
    if (turn.state != Turn::State::Waiting) {
        --m_running;
        ++m_done;
    }
    turn.state = Turn::State::Over;
    release(turn);
    return true;
}

bool SearchClient::closeTurn(Turn &turn)
{
    if (!stopTurn(turn))
        return false;
    if (turn.overlong > 1)
        qCWarning(lcSearch).noquote() << "Answer of" << turn.peer << "held" << turn.overlong
                                      << "pieces too long to be listed";

    const QPointer<SearchClient> alive(this);
    emit progress(m_done, peerCount());
    if (!alive || !m_searching)
        return false;
    if (turn.index == m_head)
        flushInOrder();
    return true;
}

void SearchClient::endTurn(Turn &turn)
{
    if (closeTurn(turn))
        startTurns();
}

void SearchClient::flushInOrder()
{
    while (m_head < m_turns.size()) {
        Turn &head = *m_turns[m_head];
        if (!head.held.isEmpty()) {
            // Counted against the results bounds when they were held.
            m_held -= static_cast<int>(head.held.size());
            m_heldBytes -= head.heldBytes;
            m_listed += static_cast<int>(head.held.size());
            m_listedBytes += head.heldBytes;
            m_outbox.append(std::exchange(head.held, QStringList()));
            head.heldBytes = 0;
            scheduleSlice();
        }
        if (head.state != Turn::State::Over)
            return; // first in line now: its entries go out as they come
        ++m_head;
    }
}

void SearchClient::scheduleSlice()
{
    if (!m_slice->isActive())
        m_slice->start();
}

void SearchClient::deliverSlice()
{
    const QPointer<SearchClient> alive(this);
    QElapsedTimer slice;
    slice.start();
    while (m_searching && !m_outbox.isEmpty()) {
        QStringList batch;
        if (m_outbox.size() <= SliceEntries) {
            batch = std::exchange(m_outbox, QStringList());
        } else {
            batch = m_outbox.first(SliceEntries);
            m_outbox.remove(0, SliceEntries);
        }
        emit resultEntries(batch);
        if (!alive)
            return;
        if (slice.elapsed() >= SliceMs)
            break;
    }
    if (!m_outbox.isEmpty())
        scheduleSlice();
    else
        finishWhenDone();
}

void SearchClient::finishWhenDone()
{
    if (m_searching && m_head >= m_turns.size() && m_outbox.isEmpty())
        finish();
}

void SearchClient::finish()
{
    m_searching = false;
    m_slice->stop();
    emit searchFinished();
}
