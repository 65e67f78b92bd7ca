#pragma once

#include "net/searchprotocol.h"
#include "net/uploadresponder.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <memory>
#include <vector>

class QTimer;

/// Asks peers for the shared files whose names contain a search text
/// (protocol in searchprotocol.h) and reports each answer piece as a result
/// entry: the peer's address, "§" and the text of one data arrival.
///
/// Each peer gets what the protocol gives it: one connection to its search
/// port, the text once connected, nothing else. Its turn ends when it
/// closes the connection, when it refuses or fails, when it cannot be
/// reached within the connect bound, when it stays silent for the silence
/// bound, or when it has used up its share of time, bytes or entries.
///
/// Up to MaxConnections peers are asked at once, yet the entries come out as
/// if the peers were asked one after the other: every entry of peer 1, then
/// of peer 2, and so on in the order given. An entry of a later peer waits
/// until the turns of all earlier peers are over, and goes out as soon as
/// they are; the entries of the peer first in line go out as they arrive.
/// An address listed twice is asked once, at its first place.
///
/// Every bound is checked before what would pass it is taken in, and a
/// search holds no more than its results bounds allow, whatever its peers
/// send. Entries go out in slices of about SliceMs from the event loop, so
/// that neither a flood of answers nor the end of a peer that many waited for
/// holds the loop up for long.
class SearchClient : public QObject
{
    Q_OBJECT

public:
    /// How long a connection to one peer may take to come up.
    static constexpr int ConnectTimeoutMs = 3000;
    /// How long a connected peer may send nothing before its turn ends.
    static constexpr int SilenceTimeoutMs = 10000;
    /// How long one peer may answer, all told.
    static constexpr int TurnTimeoutMs = 30000;
    /// What one peer may send, all told, and how many entries it may make.
    static constexpr qint64 MaxTurnBytes = 16 * 1024 * 1024;
    static constexpr int MaxTurnEntries = 100000;
    /// Peers asked at once: far below the usual limit of 1024 open files.
    static constexpr int MaxConnections = 128;
    /// The longest entry listed: the longest request a peer reads when it is
    /// asked for a file. A longer data arrival names nothing that could ever
    /// be fetched, so it is left out (the peer's turn goes on).
    static constexpr qint64 MaxEntryLength = UploadResponder::MaxRequestLength;
    /// What one read takes from a peer's connection at most: one character
    /// past the longest entry. A read that comes back this full leaves the
    /// rest of its piece waiting, and the next read goes on with it.
    static constexpr qint64 ReadLimit = MaxEntryLength + 1;
    /// Entries one search holds at most, listed and held back together; when
    /// the next one would pass this or MaxResultBytes, the search stops asking.
    static constexpr int MaxResults = 100000;
    /// What the entries of one search may take, listed and held back
    /// together: their text and EntryOverhead each.
    static constexpr qint64 MaxResultBytes = 64 * 1024 * 1024;
    /// Entries of later peers held back, waiting for an earlier peer, at
    /// most, and what they may take; a peer that would hold more is cut off,
    /// so later peers never take all the room from the earlier ones.
    static constexpr int MaxHeldEntries = MaxResults / 2;
    static constexpr qint64 MaxHeldBytes = MaxResultBytes / 2;
    /// What one entry costs besides its text, as counted against the bounds.
    static constexpr qint64 EntryOverhead = 64;
    /// Entries go out in batches of at most SliceEntries, for about SliceMs
    /// before the event loop has its turn again.
    static constexpr int SliceMs = 4;
    static constexpr int SliceEntries = 1000;

    explicit SearchClient(QObject *parent = nullptr);
    ~SearchClient() override;

    /// Starts asking the peers at addresses (empty ones are skipped). Ends
    /// with searchFinished(), once every entry has gone out. An empty text
    /// asks nobody, since it would put no bytes on the wire; a call while a
    /// search runs starts nothing. Either way it returns false and emits
    /// nothing.
    bool search(const QString &searchtxt, const QStringList &addresses);
    /// Stops the running search: every connection is closed, entries not yet
    /// out are dropped, and searchFinished() follows at once.
    void cancel();

    bool isSearching() const { return m_searching; }
    /// The text of the running (or last) search.
    QString searchquery() const { return m_searchquery; }

    /// The port asked on every peer: SearchProtocol::SearchPort unless the
    /// settings of the networking window, or a test, say otherwise.
    void setPort(quint16 port) { m_port = port; }
    /// Shorter bounds for tests.
    void setConnectTimeout(int ms) { m_connectTimeoutMs = ms; }
    void setSilenceTimeout(int ms) { m_silenceTimeoutMs = ms; }
    void setTurnTimeout(int ms) { m_turnTimeoutMs = ms; }
    void setMaxTurnEntries(int entries) { m_maxTurnEntries = entries; }
    void setMaxResults(int entries) { m_maxResults = entries; }
    void setMaxHeldEntries(int entries) { m_maxHeldEntries = entries; }
    /// Fewer peers at once; 1 asks them strictly one after the other.
    void setMaxConnections(int connections) { m_maxConnections = std::max(1, connections); }

signals:
    void searchStarted();
    /// Answer pieces in order, each the peer's address, "§" and the text of
    /// one data arrival; one or more at a time.
    void resultEntries(const QStringList &entries);
    /// done of total peers have had their turn.
    void progress(int done, int total);
    /// A peer's answer was cut off at a bound; why says which.
    void peerCutOff(const QString &address, const QString &why);
    void searchFinished();

private:
    struct Turn;

    int peerCount() const { return static_cast<int>(m_turns.size()); }
    void startTurns();
    void startTurn(Turn &turn);
    void searchsend_Connect(Turn &turn);
    void searchsend_DataArrival(Turn &turn);
    void searchsend_Close(Turn &turn);
    void searchsend_Error(Turn &turn);
    void boundReached(Turn &turn);
    void cutOff(Turn &turn, const QString &why);
    QString turnTooLong() const;
    // Ends a turn, whatever ends it: its connection and timers go, and a turn
    // that had started counts as done. Says nothing; false when it was over.
    bool stopTurn(Turn &turn);
    // Lets go of a turn's connection and timers, whose signals may be what
    // called here, and which may outlive this client by a turn of the event
    // loop.
    void release(Turn &turn);
    // A turn's own end: stopped, reported, and the entries in line go out;
    // false when the search is over or gone meanwhile.
    bool closeTurn(Turn &turn);
    void endTurn(Turn &turn);
    void add(Turn &turn, const QString &entry);
    void resultsFull();
    void flushInOrder();
    void scheduleSlice();
    void deliverSlice();
    // Ends the search once every turn is over and every entry has gone out.
    void finishWhenDone();
    void finish();

    std::vector<std::unique_ptr<Turn>> m_turns;
    QString m_searchquery;
    bool m_searching = false;
    size_t m_nextToStart = 0;
    // The first turn whose entries have not all gone out yet.
    size_t m_head = 0;
    int m_running = 0;
    int m_done = 0;
    // Entries on their way out, in order.
    QStringList m_outbox;
    QTimer *m_slice;
    // Entries taken for the list (out or on their way) and held back, with
    // what they cost.
    int m_listed = 0;
    qint64 m_listedBytes = 0;
    int m_held = 0;
    qint64 m_heldBytes = 0;
    bool m_resultsFull = false;
    quint16 m_port = SearchProtocol::SearchPort;
    int m_connectTimeoutMs = ConnectTimeoutMs;
    int m_silenceTimeoutMs = SilenceTimeoutMs;
    int m_turnTimeoutMs = TurnTimeoutMs;
    int m_maxTurnEntries = MaxTurnEntries;
    int m_maxResults = MaxResults;
    int m_maxHeldEntries = MaxHeldEntries;
    int m_maxConnections = MaxConnections;
};
