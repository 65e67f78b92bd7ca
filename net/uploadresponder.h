#pragma once

#include "net/eventsocket.h"

#include <QFile>
#include <QObject>
#include <QString>

class QTimer;

/// Serves files of the Shared folder beside the program to peers that ask for
/// them, one connection at a time on one socket object: on a knock it stops
/// listening and takes the connection itself, answers it, closes it, and
/// listens again.
///
/// The answer goes out in blocks, the next one only when the socket has
/// handed most of the last ones on, so a large file neither piles up in memory
/// nor holds up the event loop: everything else the program does goes on
/// while a file is being sent.
///
/// The close is the protocol's only end mark, so only a file sent whole ends
/// with one. Every other end resets the connection, and the asker sees an
/// error rather than the end of the file: a name that is not a plain file
/// inside Shared, a peer that goes quiet before asking or stops taking the
/// answer, a file that shrinks while it is sent, and stop().
///
/// When the port cannot be listened on again after an answer (another
/// program took it meanwhile), that is reported once and tried again every
/// RebindRetryMs until it works.
class UploadResponder : public QObject
{
    Q_OBJECT

public:
    enum class State { Closed, Listening, Waiting, Sending, Rebinding };
    Q_ENUM(State)

    /// How long a peer that has connected may take to send its request.
    static constexpr int RequestTimeoutMs = 30000;
    /// How long a peer may take no part of the answer before it is dropped.
    static constexpr int AnswerStallTimeoutMs = 60000;
    /// Bytes read from the file and handed to the socket at once.
    static constexpr qint64 SendBlockSize = 64 * 1024;
    /// The next block is handed on only while less than this waits to be sent.
    static constexpr qint64 SendQueueLimit = 4 * SendBlockSize;
    /// The longest request that is read as one: the longest entry the
    /// splitting of an entry is made for.
    static constexpr qint64 MaxRequestLength = 32765;
    /// Pause between attempts to listen again when the port was taken.
    static constexpr int RebindRetryMs = 1000;

    /// programFolder holds Shared/; the socket binds to localAddress at port,
    /// 0 for a free port that is then kept for every later listen.
    UploadResponder(QString programFolder, QString localAddress, quint16 port, QObject *parent = nullptr);

    /// Binds and listens. False, with errorString(), when the port is taken;
    /// the caller reports it.
    bool start();
    /// Ends the answer in progress with a reset and stops listening: for a
    /// copy that is about to end, whose askers must not take a cut file for
    /// the whole one.
    void stop();
    QString errorString() const { return m_errorString; }

    State state() const { return m_state; }
    /// The port listened on; known once start() has bound it.
    quint16 port() const { return m_port; }

    void setRequestTimeout(int ms) { m_requestTimeoutMs = ms; }
    void setAnswerStallTimeout(int ms) { m_answerStallTimeoutMs = ms; }

signals:
    /// One connection is over: complete when the whole file went out, false
    /// when the name was refused or could not be opened, or the peer went.
    /// name is empty when no request came.
    void answered(const QString &name, qint64 bytesSent, bool complete);
    /// Listening again after an answer failed; the text says why. Said once;
    /// the port is tried again until listenerRecovered().
    void listenFailed(const QString &error);
    /// Listening again after listenFailed().
    void listenerRecovered();

private:
    void upload_ConnectionRequest(qintptr requestId);
    void upload_DataArrival();
    void upload_Close();
    void upload_Error(int number, const QString &description);
    void sendMore();
    void requestTimedOut();
    void answerStalled();

    // Opens the shared file that name stands for, if it is a plain file
    // inside the folder.
    bool openShared(const QString &name);
    void endAnswer(bool complete);
    bool bindAndListen();
    void listenAgain();

    QString m_sharedFolder;
    QString m_localAddress;
    quint16 m_port;
    EventSocket m_upload;
    State m_state = State::Closed;
    QFile m_source;
    QString m_name;
    qint64 m_sent = 0;
    qint64 m_size = 0;
    QString m_errorString;
    QTimer *m_requestTimer;
    QTimer *m_stallTimer;
    QTimer *m_retry;
    bool m_failReported = false;
    int m_requestTimeoutMs = RequestTimeoutMs;
    int m_answerStallTimeoutMs = AnswerStallTimeoutMs;
};
