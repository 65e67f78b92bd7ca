#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class EventSocket;

/// Answers other copies' searches from the shared folder, one asking peer at a
/// time, on the listening endpoint `SearchRecive` (protocol in searchprotocol.h).
///
/// While one peer is served the port has no listener, so others are refused.
/// Whatever becomes of a connection - answered, closed by the peer before it
/// asked, silent, stalled, or failed - the endpoint closes and listens again
/// at the same address and port.
class SearchResponder : public QObject
{
    Q_OBJECT

public:
    enum class State { Closed, Listening, AwaitingRequest, Answering, Rebinding };
    Q_ENUM(State)

    /// How long an accepted peer may stay silent before its query arrives.
    static constexpr int RequestTimeoutMs = 10000;
    /// How long one name may wait to be taken by the system (a peer that
    /// stops reading fills its window and stalls the answer).
    static constexpr int SendTimeoutMs = 10000;
    /// Pause between attempts to listen again when the port was taken meanwhile.
    static constexpr int RebindRetryMs = 1000;
    /// Pause after each of the first PacedNames names before the next is
    /// sent. An asker in another process needs a moment to wake up and take a
    /// name before the next one joins it in its receive buffer; the pause buys
    /// one name per result entry for ordinary answers, and PacedNames bounds
    /// what it costs a very large one (whose tail then goes at full speed).
    static constexpr int NameGapMs = 1;
    static constexpr int PacedNames = 100;

    /// Shares programFolder + "/Shared/"; listens at localAddress on port
    /// (0: any free port, read back with localPort()).
    SearchResponder(QString programFolder, QString localAddress, quint16 port, QObject *parent = nullptr);

    /// Binds and listens. False, with errorString(), when that fails; the
    /// caller reports it.
    bool start();
    QString errorString() const { return m_errorString; }

    /// The listening endpoint and connection, `SearchRecive`.
    EventSocket *SearchRecive() const { return m_SearchRecive; }
    /// The port listened on; after start() the real one even when 0 was asked.
    quint16 localPort() const { return m_port; }
    QString localAddress() const { return m_localAddress; }
    QString sharedFolder() const { return m_sharedFolder; }
    State state() const { return m_state; }
    bool isListening() const { return m_state == State::Listening; }

    /// Shorter limits for tests.
    void setRequestTimeout(int ms) { m_requestTimeoutMs = ms; }
    void setSendTimeout(int ms) { m_sendTimeoutMs = ms; }
    /// 0 sends every name as soon as the one before has gone.
    void setNameGap(int ms) { m_nameGapMs = ms; }

signals:
    /// A socket error on `SearchRecive`, or a failure to listen again; the
    /// listener recovers by itself. While a peer is served (state()
    /// AwaitingRequest or Answering) the error is that peer's connection's:
    /// the peer broke off its own search. A failure to listen again is said
    /// once, and listenerRecovered() follows when the port is back.
    void listenerError(const QString &description);
    /// Listening again after a failure to.
    void listenerRecovered();

private:
    void SearchRecive_ConnectionRequest(qintptr requestId);
    void SearchRecive_DataArrival();
    void SearchRecive_Close();
    void SearchRecive_Error(int number, const QString &description);
    void SearchRecive_BytesWritten();
    void sendNext();
    void listenAgain();
    bool bindAndListen();

    QString m_sharedFolder;
    QString m_localAddress;
    quint16 m_port;
    EventSocket *m_SearchRecive;
    State m_state = State::Closed;
    QString m_errorString;
    QStringList m_answer;
    qsizetype m_nextName = 0;
    QTimer m_deadline;
    QTimer m_retry;
    QTimer m_gap;
    bool m_retryReported = false;
    int m_requestTimeoutMs = RequestTimeoutMs;
    int m_sendTimeoutMs = SendTimeoutMs;
    int m_nameGapMs = NameGapMs;
};
