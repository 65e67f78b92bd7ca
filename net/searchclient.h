#pragma once

#include "net/searchprotocol.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <memory>
#include <vector>

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
    /// Entries one search reports at most; the rest of it is cut off.
    static constexpr int MaxResults = 100000;
    /// Text of later peers' entries held back, waiting for an earlier peer,
    /// at most; a peer that would hold more is cut off.
    static constexpr qint64 MaxHeldBytes = 64 * 1024 * 1024;
    /// What one held entry costs besides its text, as counted against it.
    static constexpr qint64 HeldEntryOverhead = 64;

    explicit SearchClient(QObject *parent = nullptr);
    ~SearchClient() override;

    /// Starts asking the peers at addresses (empty ones are skipped). Ends
    /// with searchFinished(). An empty text asks nobody, since it would put
    /// no bytes on the wire; a call while a search runs starts nothing.
    /// Either way it returns false and emits nothing.
    bool search(const QString &searchtxt, const QStringList &addresses);
    /// Stops the running search: every connection is closed and
    /// searchFinished() follows at once.
    void cancel();

    bool isSearching() const { return m_searching; }
    /// The text of the running (or last) search.
    QString searchquery() const { return m_searchquery; }
    /// Peers of the running (or last) search, and how many have had their turn.
    int peerCount() const { return static_cast<int>(m_turns.size()); }
    int peersDone() const { return m_done; }

    /// Another port for tests; the program always asks port 1050.
    void setPort(quint16 port) { m_port = port; }
    /// Shorter bounds for tests.
    void setConnectTimeout(int ms) { m_connectTimeoutMs = ms; }
    void setSilenceTimeout(int ms) { m_silenceTimeoutMs = ms; }
    void setTurnTimeout(int ms) { m_turnTimeoutMs = ms; }
    void setMaxTurnEntries(int entries) { m_maxTurnEntries = entries; }
    /// Fewer peers at once; 1 asks them strictly one after the other.
    void setMaxConnections(int connections) { m_maxConnections = std::max(1, connections); }

signals:
    void searchStarted();
    /// One answer piece: the peer's address, "§" and the text received.
    void resultEntry(const QString &entry);
    /// done of total peers have had their turn.
    void progress(int done, int total);
    /// A peer's answer was cut off at a bound; why says which.
    void peerCutOff(const QString &address, const QString &why);
    void searchFinished();

private:
    struct Turn;

    void startTurns();
    void startTurn(Turn &turn);
    void searchsend_Connect(Turn &turn);
    void searchsend_DataArrival(Turn &turn);
    void searchsend_Close(Turn &turn);
    void searchsend_Error(Turn &turn);
    void timedOut(Turn &turn);
    void cutOff(Turn &turn, const QString &why);
    /// Closes a turn and lets the entries in line go out; false when the
    /// search is over or gone meanwhile.
    bool closeTurn(Turn &turn);
    void endTurn(Turn &turn);
    void deliver(Turn &turn, const QString &entry);
    void flushInOrder();
    void finish();

    std::vector<std::unique_ptr<Turn>> m_turns;
    QString m_searchquery;
    bool m_searching = false;
    size_t m_nextToStart = 0;
    // The first turn whose entries have not all gone out yet.
    size_t m_head = 0;
    int m_running = 0;
    int m_done = 0;
    int m_reported = 0;
    qint64 m_heldBytes = 0;
    bool m_resultsCut = false;
    quint16 m_port = SearchProtocol::SearchPort;
    int m_connectTimeoutMs = ConnectTimeoutMs;
    int m_silenceTimeoutMs = SilenceTimeoutMs;
    int m_turnTimeoutMs = TurnTimeoutMs;
    int m_maxTurnEntries = MaxTurnEntries;
    int m_maxConnections = MaxConnections;
};
