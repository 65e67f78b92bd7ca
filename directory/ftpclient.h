#pragma once

// FTP client for the central directory: one host, one account. It keeps a
// single logged-in control connection open across operations, so that
// registering at start-up and leaving at exit do not log in more often than
// needed.
//
// Every operation is asynchronous: a start function returns at once and the
// operation ends with finished(), emitted from the event loop of the thread
// that made the client, never from inside the start function. libcurl runs
// on a worker thread of the client's own (FtpClientWorker), which shares
// nothing with the rest of the program: operations go to it and their
// outcomes come back as queued calls. One operation runs at a time; a start
// function called while one runs returns false, starts nothing and emits
// nothing.
//
// Every wait is bounded (Timeouts; the defaults are the Default* constants):
//   connect    TCP connect, greeting and login together;
//   response   any one reply of the server on the control connection;
//   stall      a data transfer slower than StallBytesPerSecond for this long
//              (libcurl averages the speed over its last few seconds, so a
//              transfer that stops dead ends a few seconds after the bound);
//   operation  a whole operation, from start to end.
// libcurl takes the response and stall bounds in whole seconds: a bound
// between two whole seconds waits until the later one.
//
// Connection reuse: after an operation the connection stays open in libcurl's
// connection cache. The next operation checks it before use; when the server
// has closed it in the meantime, or it has been idle for longer than
// Timeouts::idleReuseMs, the operation logs in again on a fresh connection
// without telling the caller. A connection that died silently (no close from
// the server) makes the next operation fail after the response bound; the
// caller then disconnects and connects again.
//
// The caller's thread never waits. Some waits are libcurl's own: once a
// download's or upload's data has passed, libcurl 7.88 reads the server's
// "transfer complete" reply inside the call that drives it, and it waits
// for the reply to QUIT. These hold only the worker thread, up to the
// response bound (or the rest of the operation bound, when that is less).
// cancel() and the destructor shut the client's sockets down from the
// caller's thread first, so that such a wait ends at once: dropping an
// operation never waits for a server. disconnectFromHost() says QUIT on a
// connection that is open and waits for the reply, within the response
// bound; on one libcurl would not reuse it closes at once.

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <memory>

class FtpClientWorker;
class ReplacingFile;

class FtpClient : public QObject
{
    Q_OBJECT

public:
    /// What the last operation ran into; every value but NoError is > 0.
    enum Error {
        NoError = 0,
        BusyError,            ///< another operation was still running
        SettingsError,        ///< host, user name, password or remote name unusable
        LocalFileError,       ///< the local file could not be read or written
        ConnectionError,      ///< the server could not be reached or spoke no FTP
        LoginError,           ///< the server refused the user name or password
        NotFoundError,        ///< the server says the remote file does not exist
        RemoteFileError,      ///< the server refused the remote file or command
        TimeoutError,         ///< a bound of Timeouts ran out
        TransferError,        ///< the transfer broke off
        TooLargeError,        ///< a download grew past the bound given for it
    };
    Q_ENUM(Error)

    enum class Operation { None, Connect, Get, Put, Append, Stat, Rename, Remove, Disconnect };
    Q_ENUM(Operation)

    static constexpr quint16 DefaultPort = 21;
    static constexpr int DefaultConnectTimeoutMs = 10000;
    /// An overloaded server, or one whose disk is slow, may take many
    /// seconds to confirm a transfer whose data has all passed; waiting costs
    /// only the worker thread, so the bound is generous.
    static constexpr int DefaultResponseTimeoutMs = 30000;
    static constexpr int DefaultStallTimeoutMs = 10000;
    static constexpr long StallBytesPerSecond = 1;
    static constexpr int DefaultOperationTimeoutMs = 60000;
    /// Servers commonly end idle sessions after a few minutes, sometimes
    /// without a word; a connection idle longer than this is not reused.
    static constexpr int DefaultIdleReuseMs = 120000;

    /// Bounds of every wait; tests shorten them.
    struct Timeouts
    {
        int connectMs;   ///< TCP connect, greeting and login
        int responseMs;  ///< any one reply of the server
        int stallMs;     ///< a transfer below StallBytesPerSecond
        int operationMs; ///< a whole operation
        int idleReuseMs; ///< longest idle time of a connection still reused
    };
    /// The bounds a new client starts with.
    static Timeouts defaultTimeouts();

    explicit FtpClient(QObject *parent = nullptr);
    ~FtpClient() override;

    /// "host" or "host:port" (an IPv6 address in brackets); port 21 if none.
    void setHost(const QString &host);
    void setUserName(const QString &userName);
    void setPassword(const QString &password);
    void setTimeouts(const Timeouts &timeouts);
    Timeouts timeouts() const;

    // Remote names are paths relative to the login folder.

    /// Opens the control connection and logs in, unless a connection to the
    /// same host and account is open already.
    bool connectToHost();
    /// Says goodbye to an open connection (bounded by the response bound)
    /// and closes it. Ends without error also when nothing was open.
    bool disconnectFromHost();
    /// Downloads remoteFile into localFile. The local file is replaced only
    /// by a complete download; on failure it is left as it was. A download
    /// that grows past maxBytes (when >= 0) is cut off with TooLargeError.
    bool get(const QString &remoteFile, const QString &localFile, qint64 maxBytes = -1);
    /// Uploads the local file's bytes, in binary mode, over remoteFile.
    /// Without a readable local file nothing is sent.
    bool put(const QString &localFile, const QString &remoteFile);
    /// Appends bytes to remoteFile (APPE), creating it when it does not exist.
    bool append(const QByteArray &bytes, const QString &remoteFile);
    /// Reads the size and modification time of remoteFile (SIZE, MDTM):
    /// remoteSize() and remoteTime() afterwards; NotFoundError when it does
    /// not exist.
    bool stat(const QString &remoteFile);
    /// Renames from over to (RNFR, RNTO); on the usual servers a rename over
    /// an existing file replaces it in one step.
    bool rename(const QString &from, const QString &to);
    /// Deletes remoteFile (DELE). A file that does not exist is refused
    /// like any other (RemoteFileError); stat() tells the two apart.
    bool remove(const QString &remoteFile);

    /// Drops the running operation without a word: no finished() follows.
    /// Its connection is closed; a partial download leaves the local file as
    /// it was.
    void cancel();

    bool isBusy() const;
    Operation operation() const { return m_operation; }
    /// The outcome of the last operation (an Error value, > 0 on failure).
    Error error() const;
    QString errorString() const;
    /// Bytes moved by the last get, put or append.
    qint64 bytesTransferred() const { return m_transferred; }
    /// What the last successful stat() read; -1 / invalid when the server
    /// did not say.
    qint64 remoteSize() const { return m_remoteSize; }
    QDateTime remoteTime() const { return m_remoteTime; }

signals:
    /// The operation started last has ended; error() tells how.
    void finished(bool ok);

private:
    friend class FtpClientWorker;
    // How the worker tells that an operation has ended (ftpclientworker.h).
    struct Outcome;

    bool begin(Operation operation, const QString &remoteFile, int fd = -1, qint64 uploadSize = 0,
               const QByteArray &uploadBytes = {}, qint64 maxBytes = -1);
    bool check(Operation operation, const QString &remoteFile);
    void failLater(Error code, const QString &text);
    void take(const Outcome &outcome);
    void closeConnection();
    void succeed();
    bool fail(Error code, const QString &text);

    QString m_host;
    QString m_userName;
    QString m_password;
    Timeouts m_timeouts;

    // Made with the first operation; it runs libcurl.
    std::unique_ptr<FtpClientWorker> m_worker;

    Operation m_operation = Operation::None;
    // Counts started and dropped operations, so that an end queued for one
    // of them is not taken for a later one's.
    quint64 m_generation = 0;
    // The id of the operation with the worker, 0 when none is.
    quint64 m_posted = 0;
    QString m_renameTo;
    // A download is written beside the local file and takes its place once
    // it has ended whole.
    std::unique_ptr<ReplacingFile> m_download;
    QString m_localFile;
    qint64 m_maxBytes = -1;
    qint64 m_transferred = 0;
    // Whether a logged-in connection is probably open, and since when idle.
    bool m_connected = false;
    QDateTime m_lastUse;

    qint64 m_remoteSize = -1;
    QDateTime m_remoteTime;
    Error m_error = NoError;
    QString m_errorString;
};
