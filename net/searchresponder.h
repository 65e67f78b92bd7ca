#pragma once

#include "net/responder.h"

#include <QString>
#include <QStringList>
#include <QTimer>

/// Answers other copies' searches from the shared folder, one asking peer at a
/// time, on the listening endpoint `SearchRecive` (protocol in searchprotocol.h).
///
/// Whatever becomes of a connection - answered, closed by the peer before it
/// asked, silent, stalled, or failed - the endpoint closes and listens again
/// at the same address and port.
class SearchResponder : public Responder
{
    Q_OBJECT

public:
    /// How long an accepted peer may stay silent before its query arrives.
    static constexpr int RequestTimeoutMs = 10000;
    /// How long one name may wait to be taken by the system (a peer that
    /// stops reading fills its window and stalls the answer).
    static constexpr int SendTimeoutMs = 10000;
    /// Pause after each of the first PacedNames names before the next is
    /// sent. An asker in another process needs a moment to wake up and take a
    /// name before the next one joins it in its receive buffer; the pause buys
    /// one name per result entry for ordinary answers, and PacedNames bounds
    /// what it costs a very large one (whose tail then goes at full speed).
    static constexpr int NameGapMs = 1;
    static constexpr int PacedNames = 100;

    /// Shares the Shared folder of programFolder; listens at localAddress on
    /// port (0: any free port, read back with port()).
    SearchResponder(const QString &programFolder, const QString &localAddress, quint16 port,
                    QObject *parent = nullptr);

    /// A shorter limit for tests.
    void setRequestTimeout(int ms) { m_requestTimeoutMs = ms; }
    /// 0 sends every name as soon as the one before has gone.
    void setNameGap(int ms) { m_nameGapMs = ms; }

private:
    void SearchRecive_ConnectionRequest(qintptr requestId);
    void SearchRecive_DataArrival();
    void SearchRecive_Close();
    void SearchRecive_Error(int number, const QString &description);
    void SearchRecive_BytesWritten();
    void sendNext();
    void endAnswer();

    EventSocket &m_SearchRecive;
    QString m_sharedFolder;
    QStringList m_answer;
    qsizetype m_nextName = 0;
    QTimer m_deadline;
    QTimer m_gap;
    int m_requestTimeoutMs = RequestTimeoutMs;
    int m_nameGapMs = NameGapMs;
};
