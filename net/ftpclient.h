#pragma once

// FTP client for the central directory: one account, one remote file, one
// local file. It keeps a single logged-in control connection open across
// calls, so that registering at start-up and leaving at exit do not log in
// more often than needed.
//
// Each operation blocks its caller until it has ended but keeps the Qt event
// loop running meanwhile (libcurl's multi interface, driven by socket
// notifiers and a timer, waited for in a local event loop). Everything stays
// on the calling thread; an operation started from an event handled during
// that wait is refused as busy instead of being nested.
//
// Every wait is bounded (Timeouts; the defaults are the Default* constants):
//   connect    TCP connect, greeting and login together;
//   response   any one reply of the server on the control connection, the
//              reply to QUIT at disconnect included;
//   stall      a data transfer slower than StallBytesPerSecond for this long
//              (libcurl averages the speed over its last few seconds, so a
//              transfer that stops dead ends a few seconds after the bound);
//   operation  a whole connect, get or put, from start to end.
// libcurl takes the response and stall bounds in whole seconds.
//
// Connection reuse: after an operation the connection stays open in libcurl's
// connection cache. The next operation checks it before use; when the server
// has closed it in the meantime, or it has been idle for longer than
// Timeouts::idleReuse, the operation logs in again on a fresh connection
// without telling the caller. A connection that died silently (no close
// from the server) makes the next operation fail after the response bound;
// the caller then disconnects and connects again.

#include <QHash>
#include <QObject>
#include <QString>

#include <array>
#include <chrono>

class QEventLoop;
class QFile;
class QSaveFile;
class QSocketNotifier;
class QTimer;

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
        RemoteFileError,      ///< the server refused the remote file
        TimeoutError,         ///< a bound of Timeouts ran out
        TransferError,        ///< the transfer broke off
    };
    Q_ENUM(Error)

    static constexpr quint16 DefaultPort = 21;
    static constexpr std::chrono::milliseconds DefaultConnectTimeout{10'000};
    static constexpr std::chrono::seconds DefaultResponseTimeout{10};
    static constexpr std::chrono::seconds DefaultStallTime{10};
    static constexpr long StallBytesPerSecond = 1;
    static constexpr std::chrono::milliseconds DefaultOperationTimeout{60'000};
    /// Servers commonly end idle sessions after a few minutes, sometimes
    /// without a word; a connection older than this is not reused.
    static constexpr std::chrono::seconds DefaultIdleReuse{120};

    /// Bounds of every wait; tests shorten them.
    struct Timeouts
    {
        std::chrono::milliseconds connect;   ///< TCP connect, greeting and login
        std::chrono::seconds response;       ///< any one reply of the server
        std::chrono::seconds stall;          ///< a transfer below StallBytesPerSecond
        std::chrono::milliseconds operation; ///< a whole operation
        std::chrono::seconds idleReuse;      ///< oldest idle connection still reused
    };
    /// The bounds a new client starts with.
    static Timeouts defaultTimeouts();

    explicit FtpClient(QObject *parent = nullptr);
    ~FtpClient() override;

    /// "host" or "host:port" (an IPv6 address in brackets); port 21 if none.
    void setHost(const QString &host);
    QString host() const;
    void setUserName(const QString &userName);
    QString userName() const;
    void setPassword(const QString &password);
    QString password() const;
    /// Path of the file on the server, relative to the login folder.
    void setRemoteFile(const QString &remoteFile);
    QString remoteFile() const;
    void setLocalFile(const QString &localFile);
    QString localFile() const;
    void setTimeouts(const Timeouts &timeouts);
    Timeouts timeouts() const;

    /// Opens the control connection and logs in, unless a connection to the
    /// same host and account is open already.
    bool connectToHost();
    /// Says goodbye to the server and closes the connection. Waits for the
    /// server's reply without running the event loop (libcurl offers no
    /// other way), at most for the response bound. Fails only when busy.
    bool disconnectFromHost();
    /// Downloads the remote file into the local file. The local file is
    /// replaced only by a complete download; on failure it is left as it was.
    bool get();
    /// Uploads the local file's bytes, in binary mode, over the remote file.
    /// Without a readable local file nothing is sent.
    bool put();

    /// True while an operation waits for its end.
    bool isBusy() const;
    /// The outcome of the last operation (an Error value, > 0 on failure).
    Error error() const;
    QString errorString() const;

private:
    friend struct FtpClientCurl;

    enum class Operation { Connect, Get, Put };

    struct SocketWatch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    bool refuseBusy();
    bool run(Operation operation, QSaveFile *download = nullptr, QFile *upload = nullptr);
    bool setUpTransfer(Operation operation);
    void drive(qintptr socket, int events);
    void driveAll();
    void collectResults();
    void closeConnection();
    void watchSocket(qintptr socket, int what);
    void forgetSocket(qintptr socket);
    void succeed();
    bool fail(Error code, const QString &text);
    void failFromCurl(int code);

    QString m_host;
    QString m_userName;
    QString m_password;
    QString m_remoteFile;
    QString m_localFile;
    Timeouts m_timeouts;

    // libcurl's CURLM and CURL handles (both plain void in its headers). The
    // multi handle owns the connection cache, so it lives until disconnect.
    void *m_multi = nullptr;
    void *m_easy = nullptr;
    QTimer *m_curlTimer = nullptr;
    QTimer *m_heartbeat = nullptr;
    QTimer *m_kick = nullptr;
    QHash<qintptr, SocketWatch> m_sockets;
    std::array<char, 256> m_curlMessage{}; // CURL_ERROR_SIZE

    QEventLoop *m_loop = nullptr;
    QSaveFile *m_download = nullptr;
    QFile *m_upload = nullptr;
    bool m_busy = false;
    bool m_finished = false;
    bool m_localFileFailed = false;
    int m_curlResult = 0;

    Error m_error = NoError;
    QString m_errorString;
};
