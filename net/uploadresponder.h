#pragma once

#include "net/responder.h"

#include <QFile>
#include <QString>

/// Serves files of the Shared folder beside the program to peers that ask for
/// them, one connection at a time on the listening endpoint `upload`.
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
/// answer, a file that shrinks while it is sent, stop(), and the end of the
/// process: while a peer is served its connection is noted in
/// UploadsInProgress, so that even a signal handler that ends the process
/// can have it reset.
class UploadResponder : public Responder
{
    Q_OBJECT

public:
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

    /// Serves the Shared folder of programFolder; listens at localAddress on
    /// port (0: any free port, read back with port()).
    UploadResponder(const QString &programFolder, const QString &localAddress, quint16 port,
                    QObject *parent = nullptr);
    /// An answer still going on ends with a reset.
    ~UploadResponder() override;

    /// Ends the answer in progress with a reset and stops listening: for a
    /// copy that is about to end, whose askers must not take a cut file for
    /// the whole one.
    void stop();

    /// Shorter limits for tests.
    void setRequestTimeout(int ms) { m_requestTimeoutMs = ms; }
    void setAnswerStallTimeout(int ms) { m_answerStallTimeoutMs = ms; }

signals:
    /// One connection is over: complete when the whole file went out, false
    /// when the name was refused or could not be opened, or the peer went.
    /// name is empty when no request came.
    void answered(const QString &name, qint64 bytesSent, bool complete);

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
    // The connection is reset, and no longer one a process end must reset.
    void resetConnection();
    void forgetConnection();

    EventSocket &m_upload;
    QString m_sharedFolder;
    QFile m_source;
    QString m_name;
    // The connection as noted in UploadsInProgress, while a peer is served.
    qintptr m_noted = -1;
    qint64 m_sent = 0;
    qint64 m_size = 0;
    QTimer *m_requestTimer;
    QTimer *m_stallTimer;
    int m_requestTimeoutMs = RequestTimeoutMs;
    int m_answerStallTimeoutMs = AnswerStallTimeoutMs;
};
