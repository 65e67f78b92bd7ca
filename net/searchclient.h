#pragma once

#include "net/searchprotocol.h"

#include <QObject>
#include <QString>
#include <QTimer>

class EventSocket;
class QEventLoop;
struct PeerTable;

/// Asks every peer of the peer table in turn, over the one endpoint
/// `searchsend`, for the shared files whose names contain a search text
/// (protocol in searchprotocol.h), and reports each answer piece as a result
/// entry.
///
/// A peer's turn ends when it closes the connection, when it refuses or fails,
/// when it cannot be reached within the connect limit, or when it stays silent
/// for the silence limit. Only one connection is open at a time.
class SearchClient : public QObject
{
    Q_OBJECT

public:
    /// How long a connection to one peer may take to come up.
    static constexpr int ConnectTimeoutMs = 3000;
    /// How long a connected peer may send nothing before its turn ends.
    static constexpr int SilenceTimeoutMs = 10000;

    /// localAddress is this machine's address, as the endpoint reports it.
    explicit SearchClient(QString localAddress, QObject *parent = nullptr);
    ~SearchClient() override;

    /// Asks entries 1 to peers.readerBound() one after the other and returns
    /// when every turn is over, running the event loop meanwhile. An empty
    /// text asks nobody; a call while a search runs returns at once.
    void search(const QString &searchtxt, const PeerTable &peers);

    bool isSearching() const { return m_searching; }
    /// The text of the running (or last) search.
    QString searchquery() const { return m_searchquery; }
    /// Whether the peer being asked has finished its turn.
    bool searchdone() const { return m_searchdone; }

    /// The asking endpoint, `searchsend`.
    EventSocket *searchsend() const { return m_searchsend; }

    /// Another port for tests; the program always asks port 1050.
    void setPort(quint16 port) { m_port = port; }
    void setConnectTimeout(int ms) { m_connectTimeoutMs = ms; }
    void setSilenceTimeout(int ms) { m_silenceTimeoutMs = ms; }

signals:
    void searchStarted();
    /// One answer piece: the peer's address, "§" and the text received.
    void resultEntry(const QString &entry);
    void searchFinished();

private:
    enum class Turn { Idle, Connecting, Asking };

    bool askPeer(const QString &address);
    void endTurn();
    void searchsend_Connect();
    void searchsend_DataArrival();
    void searchsend_Close();
    void searchsend_Error();
    void turnTimedOut();

    EventSocket *m_searchsend;
    QString m_searchquery;
    bool m_searchdone = false;
    bool m_searching = false;
    Turn m_turn = Turn::Idle;
    QString m_peerAddress;
    QEventLoop *m_wait = nullptr;
    QTimer m_turnTimer;
    quint16 m_port = SearchProtocol::SearchPort;
    int m_connectTimeoutMs = ConnectTimeoutMs;
    int m_silenceTimeoutMs = SilenceTimeoutMs;
};
