#pragma once

// The thread on which an FtpClient runs libcurl. libcurl's FTP waits for
// some replies inside the call that drives it (the reply that ends a data
// transfer, the reply to QUIT); on this thread such a wait holds nobody but
// the worker.
//
// The worker owns the libcurl handles and shares nothing with the client's
// thread but three things:
//   - jobs and drops, posted to an object that lives on this thread (Qt's
//     queued invocations), with curl_multi_wakeup() to end its wait;
//   - outcomes, handed to a function it was given, which posts them back;
//   - the set of sockets libcurl has open, under one mutex: the client's
//     thread shuts them down to end a wait inside libcurl at once (a cancel,
//     a closed connection, the client's end), and the mutex keeps a socket
//     from being closed, and its number reused, while that happens.
// At rest (no job) the thread sleeps in curl_multi_poll() until work comes.

#include "directory/ftpclient.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QThread>

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

// How a job ended, as libcurl tells it.
struct FtpClient::Outcome
{
    quint64 id = 0;
    int curlCode = 0;       // CURLcode
    QByteArray curlMessage; // libcurl's own words, when it had any
    bool tooLarge = false;
    bool localFileFailed = false;
    qint64 transferred = 0;
    qint64 remoteSize = -1; // Stat
    qint64 remoteTime = -1; // Stat: seconds since the epoch, UTC
};

class FtpClientWorker : public QThread
{
public:
    /// One operation as libcurl runs it, with everything it needs copied in.
    struct Job
    {
        Job() = default;
        Job(const Job &) = delete;
        Job &operator=(const Job &) = delete;
        /// Closes fd.
        ~Job();

        quint64 id = 0;
        FtpClient::Operation operation = FtpClient::Operation::None;
        QByteArray url;
        QByteArray userName; ///< empty: anonymous
        QByteArray password;
        FtpClient::Timeouts timeouts{};
        QList<QByteArray> commands; ///< sent before the transfer (RNFR, DELE, QUIT)
        /// Get: where the bytes go; Put: where they come from. The job owns it.
        int fd = -1;
        qint64 uploadSize = 0;    ///< Put, Append
        QByteArray uploadBytes;   ///< Append
        qint64 maxBytes = -1;     ///< Get: cut off past this many bytes (when >= 0)
        bool freshConnection = false; ///< the cached connection is too old to use
    };

    using Outcome = FtpClient::Outcome;

    /// deliver is called on the worker thread with each job's outcome; it
    /// must post it on, not handle it there. Starts the thread; when libcurl
    /// or the thread cannot start, every job posted fails at once, its
    /// outcome delivered from post().
    explicit FtpClientWorker(std::function<void(const Outcome &)> deliver);
    /// Ends the running job's waits, stops the thread and joins it.
    ~FtpClientWorker() override;

    // Called on the client's thread.

    /// Runs job after any posted before it; a job still running is dropped.
    void post(std::shared_ptr<Job> job);
    /// Drops the job with this id, if it runs, without an outcome; its
    /// connection is shut down at once.
    void drop(quint64 id);
    /// Shuts down every socket libcurl has open: a wait on one of them ends
    /// at once, and the cached connection is found dead at its next use.
    void shutDownSockets();

protected:
    void run() override;

private:
    friend struct FtpClientWorkerCurl;

    void wake();
    void begin(const std::shared_ptr<Job> &job);
    bool setUp(const Job &job);
    void collect();
    void finish(int curlCode);
    void abandon();
    void releaseTransfer();

    std::function<void(const Outcome &)> m_deliver;
    // Posted work is delivered to this object, which lives on the thread.
    QObject m_inbox;
    // Made before the thread starts and cleaned up after it has ended, so
    // that wake() can always reach it.
    void *m_multi = nullptr;
    // Why no job can run, when libcurl or the thread could not start.
    QByteArray m_unavailable;

    // Worker thread only.
    void *m_easy = nullptr;
    void *m_quote = nullptr; // curl_slist of the running job's commands
    bool m_running = true;
    bool m_added = false;
    std::shared_ptr<Job> m_job;
    Outcome m_outcome;
    std::array<char, 256> m_curlMessage{}; // CURL_ERROR_SIZE
    qint64 m_uploadOffset = 0;
    int m_waitMs = 0; // the next wait while a job runs

    // Shared with the client's thread: every socket libcurl has opened and
    // not closed yet.
    std::mutex m_socketsLock;
    std::set<int> m_sockets;
};
