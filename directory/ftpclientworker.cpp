#include "directory/ftpclientworker.h"

#include "directory/directorylog.h"

#include <QCoreApplication>

#include <curl/curl.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace {

// While a job runs, libcurl is driven again soon after anything happened,
// then less and less often, and at least every HeartbeatMs: waiting
// for a reply it sets no timer for the response bound, and after a reply
// that came in together with the one before it (a server close by) libcurl
// 7.88 parks a transfer with no socket to watch until it is driven again. At
// rest the thread waits without a bound.
constexpr int HeartbeatMs = 250;
constexpr int RestMs = INT_MAX;

constexpr char CouldNotStart[] = "libcurl could not start";
constexpr char ThreadCouldNotStart[] = "the FTP thread could not start";

void initCurl()
{
    // Once per process, before the first handle and before any worker runs.
    [[maybe_unused]] static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
}

CURL *easyHandle(void *handle)
{
    return static_cast<CURL *>(handle);
}

CURLM *multiHandle(void *handle)
{
    return static_cast<CURLM *>(handle);
}

// libcurl reads 0 as "its own default": every bound is at least 1.
long curlLong(qint64 value)
{
    return long(std::clamp<qint64>(value, 1, LONG_MAX));
}

// For the bounds libcurl takes in whole seconds: never shorter than asked.
long curlSeconds(int ms)
{
    return curlLong((qint64(ms) + 999) / 1000);
}

} // namespace

// libcurl's callbacks, on the worker thread (close also on the client's
// thread, from the last cleanup, once the worker has ended).
struct FtpClientWorkerCurl
{
    static FtpClientWorker *worker(void *pointer) { return static_cast<FtpClientWorker *>(pointer); }

    static size_t write(char *data, size_t size, size_t count, void *self)
    {
        FtpClientWorker *w = worker(self);
        FtpClientWorker::Outcome &outcome = w->m_outcome;
        const auto bytes = qint64(size * count);
        // Without a body to take, what comes is libcurl's account of the
        // file (size, time), written out as if it were headers.
        if (w->m_job->operation != FtpClient::Operation::Get)
            return size_t(bytes);
        const qint64 maxBytes = w->m_job->maxBytes;
        if (maxBytes >= 0 && outcome.transferred + bytes > maxBytes) {
            outcome.tooLarge = true;
            return 0;
        }
        qint64 written = 0;
        while (written < bytes) {
            const ssize_t n = ::write(w->m_job->fd, data + written, size_t(bytes - written));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                outcome.localFileFailed = true;
                return 0;
            }
            written += n;
        }
        outcome.transferred += bytes;
        return size_t(bytes);
    }

    static size_t read(char *data, size_t size, size_t count, void *self)
    {
        FtpClientWorker *w = worker(self);
        const FtpClientWorker::Job &job = *w->m_job;
        const auto room = qint64(size * count);
        qint64 bytes = 0;
        if (job.fd >= 0) {
            do {
                bytes = ::read(job.fd, data, size_t(room));
            } while (bytes < 0 && errno == EINTR);
            if (bytes < 0) {
                w->m_outcome.localFileFailed = true;
                return CURL_READFUNC_ABORT;
            }
        } else {
            bytes = std::min(room, job.uploadBytes.size() - w->m_uploadOffset);
            std::copy_n(job.uploadBytes.constData() + w->m_uploadOffset, bytes, data);
            w->m_uploadOffset += bytes;
        }
        w->m_outcome.transferred += bytes;
        return size_t(bytes);
    }

    static curl_socket_t open(void *self, curlsocktype, curl_sockaddr *address)
    {
        FtpClientWorker *w = worker(self);
        const std::lock_guard<std::mutex> guard(w->m_socketsLock);
        const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        if (fd < 0)
            return CURL_SOCKET_BAD;
        w->m_sockets.insert(fd);
        return fd;
    }

    // Under the lock, so that shutDownSockets() never meets a number that
    // has been closed and handed out again.
    static int close(void *self, curl_socket_t socket)
    {
        FtpClientWorker *w = worker(self);
        const std::lock_guard<std::mutex> guard(w->m_socketsLock);
        w->m_sockets.erase(socket);
        return ::close(socket);
    }
};

FtpClientWorker::Job::~Job()
{
    if (fd >= 0)
        ::close(fd);
}

FtpClientWorker::FtpClientWorker(std::function<void(const Outcome &)> deliver)
    : m_deliver(std::move(deliver))
{
    static_assert(sizeof(m_curlMessage) >= CURL_ERROR_SIZE);
    setObjectName(QStringLiteral("ftp"));
    initCurl();
    m_multi = curl_multi_init();
    if (!m_multi) {
        m_unavailable = CouldNotStart;
        qCWarning(lcFtp) << "libcurl could not start; every FTP operation fails";
        return;
    }
    // One account, one connection: a connection to another host or account
    // replaces the cached one.
    curl_multi_setopt(multiHandle(m_multi), CURLMOPT_MAXCONNECTS, 1L);
    m_inbox.moveToThread(this);
    start();
    if (!isRunning()) {
        // Nothing would ever run a posted job: each fails at once instead.
        m_unavailable = ThreadCouldNotStart;
        qCWarning(lcFtp) << "the FTP thread could not start; every FTP operation fails";
        curl_multi_cleanup(multiHandle(m_multi));
        m_multi = nullptr;
    }
}

FtpClientWorker::~FtpClientWorker()
{
    if (!m_multi)
        return;
    shutDownSockets();
    QMetaObject::invokeMethod(&m_inbox, [this] { m_running = false; }, Qt::QueuedConnection);
    wake();
    wait();
    // Connections libcurl still caches say QUIT as they go; their sockets
    // are shut down, so that fails at once instead of waiting for a reply.
    shutDownSockets();
    if (m_multi)
        curl_multi_cleanup(multiHandle(m_multi));
}

void FtpClientWorker::post(std::shared_ptr<Job> job)
{
    if (!m_multi) {
        Outcome outcome;
        outcome.id = job->id;
        outcome.curlCode = CURLE_FAILED_INIT;
        outcome.curlMessage = m_unavailable;
        m_deliver(outcome);
        return;
    }
    QMetaObject::invokeMethod(&m_inbox, [this, job = std::move(job)] { begin(job); }, Qt::QueuedConnection);
    wake();
}

void FtpClientWorker::drop(quint64 id)
{
    if (!m_multi)
        return;
    shutDownSockets();
    QMetaObject::invokeMethod(
        &m_inbox,
        [this, id] {
            if (m_job && m_job->id == id)
                abandon();
        },
        Qt::QueuedConnection);
    wake();
}

void FtpClientWorker::shutDownSockets()
{
    const std::lock_guard<std::mutex> guard(m_socketsLock);
    for (int fd : m_sockets)
        ::shutdown(fd, SHUT_RDWR);
}

void FtpClientWorker::wake()
{
    curl_multi_wakeup(multiHandle(m_multi));
}

void FtpClientWorker::run()
{
    while (m_running) {
        QCoreApplication::sendPostedEvents(&m_inbox);
        if (!m_running)
            break;
        if (m_added) {
            int running = 0;
            curl_multi_perform(multiHandle(m_multi), &running);
            collect();
        }
        int events = 0;
        curl_multi_poll(multiHandle(m_multi), nullptr, 0, m_added ? m_waitMs : RestMs, &events);
        m_waitMs = events > 0 ? 0 : std::clamp(2 * m_waitMs, 1, HeartbeatMs);
    }
    abandon();
    shutDownSockets();
    if (m_easy)
        curl_easy_cleanup(easyHandle(m_easy));
    m_easy = nullptr;
}

void FtpClientWorker::begin(const std::shared_ptr<Job> &job)
{
    abandon();
    m_job = job;
    m_outcome = Outcome{};
    m_outcome.id = job->id;
    m_uploadOffset = 0;
    m_waitMs = 0;
    m_curlMessage.fill('\0');
    // A connection libcurl will not reuse is shut down here rather than
    // closed by libcurl, which would wait for the reply to its QUIT.
    if (job->freshConnection)
        shutDownSockets();
    if (!setUp(*job)) {
        finish(CURLE_FAILED_INIT);
        return;
    }
    if (curl_multi_add_handle(multiHandle(m_multi), easyHandle(m_easy)) != CURLM_OK) {
        qstrncpy(m_curlMessage.data(), "libcurl refused to start the transfer", m_curlMessage.size());
        finish(CURLE_FAILED_INIT);
        return;
    }
    m_added = true;
}

bool FtpClientWorker::setUp(const Job &job)
{
    if (!m_easy) {
        m_easy = curl_easy_init();
        if (!m_easy) {
            qstrncpy(m_curlMessage.data(), CouldNotStart, m_curlMessage.size());
            return false;
        }
        CURL *easy = easyHandle(m_easy);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, m_curlMessage.data());
        // Talk plain FTP to the configured host and nothing else: no proxy
        // from the environment, no ~/.netrc, no redirects, and passive data
        // connections go to the control connection's address whatever
        // address a PASV reply names.
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "ftp");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        curl_easy_setopt(easy, CURLOPT_NETRC, long(CURL_NETRC_IGNORED));
        curl_easy_setopt(easy, CURLOPT_USE_SSL, long(CURLUSESSL_NONE));
        curl_easy_setopt(easy, CURLOPT_FTP_USE_EPSV, 1L);
        curl_easy_setopt(easy, CURLOPT_FTP_SKIP_PASV_IP, 1L);
        curl_easy_setopt(easy, CURLOPT_TRANSFERTEXT, 0L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, FtpClient::StallBytesPerSecond);
        // A host name still being looked up does not hold a cleanup: the
        // lookup is left to end on its own.
        curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &FtpClientWorkerCurl::write);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &FtpClientWorkerCurl::read);
        curl_easy_setopt(easy, CURLOPT_READDATA, this);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &FtpClientWorkerCurl::open);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this);
        curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &FtpClientWorkerCurl::close);
        curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
    }

    CURL *easy = easyHandle(m_easy);
    curl_easy_setopt(easy, CURLOPT_URL, job.url.constData());
    // Without a user name libcurl logs in anonymously.
    curl_easy_setopt(easy, CURLOPT_USERNAME, job.userName.isEmpty() ? nullptr : job.userName.constData());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, job.userName.isEmpty() ? nullptr : job.password.constData());

    const FtpClient::Timeouts &timeouts = job.timeouts;
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, curlLong(timeouts.connectMs));
    curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, curlSeconds(timeouts.responseMs));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, curlSeconds(timeouts.stallMs));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, curlLong(timeouts.operationMs));
    curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, curlSeconds(timeouts.idleReuseMs));

    // What one job sets, the next one resets.
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(easy, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(easy, CURLOPT_APPEND, 0L);
    curl_easy_setopt(easy, CURLOPT_FILETIME, 0L);
    curl_easy_setopt(easy, CURLOPT_QUOTE, nullptr);

    using Operation = FtpClient::Operation;
    switch (job.operation) {
    case Operation::Get:
        break;
    case Operation::Put:
    case Operation::Append:
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy, CURLOPT_APPEND, job.operation == Operation::Append ? 1L : 0L);
        curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, curl_off_t(job.uploadSize));
        break;
    case Operation::Stat:
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        curl_easy_setopt(easy, CURLOPT_FILETIME, 1L);
        break;
    case Operation::None:
    case Operation::Connect:
    case Operation::Rename:
    case Operation::Remove:
    case Operation::Disconnect:
        // A request without a body on the login folder: greeting, login,
        // PWD, the commands and nothing else.
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        break;
    }
    curl_slist *list = nullptr;
    for (const QByteArray &command : job.commands)
        list = curl_slist_append(list, command.constData());
    m_quote = list;
    if (list)
        curl_easy_setopt(easy, CURLOPT_QUOTE, list);
    return true;
}

void FtpClientWorker::collect()
{
    int queued = 0;
    while (CURLMsg *message = curl_multi_info_read(multiHandle(m_multi), &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == m_easy && m_added) {
            finish(message->data.result);
            return;
        }
    }
}

// Ends the running job and hands its outcome over. The job's file is closed
// first, so that the client finds every byte in it.
void FtpClientWorker::finish(int curlCode)
{
    if (m_added) {
        curl_multi_remove_handle(multiHandle(m_multi), easyHandle(m_easy));
        m_added = false;
    }
    m_outcome.curlCode = curlCode;
    m_outcome.curlMessage = QByteArray(m_curlMessage.data());
    if (curlCode == CURLE_OK && m_job->operation == FtpClient::Operation::Stat) {
        curl_off_t size = -1;
        curl_off_t time = -1;
        curl_easy_getinfo(easyHandle(m_easy), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size);
        curl_easy_getinfo(easyHandle(m_easy), CURLINFO_FILETIME_T, &time);
        m_outcome.remoteSize = qint64(size);
        m_outcome.remoteTime = qint64(time);
    }
    releaseTransfer();
    m_deliver(m_outcome);
}

void FtpClientWorker::abandon()
{
    if (m_added) {
        // Removing an unfinished transfer closes its connection.
        curl_multi_remove_handle(multiHandle(m_multi), easyHandle(m_easy));
        m_added = false;
    }
    releaseTransfer();
}

void FtpClientWorker::releaseTransfer()
{
    if (m_quote) {
        if (m_easy)
            curl_easy_setopt(easyHandle(m_easy), CURLOPT_QUOTE, nullptr);
        curl_slist_free_all(static_cast<curl_slist *>(m_quote));
        m_quote = nullptr;
    }
    m_job.reset();
}
