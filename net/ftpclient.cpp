#include "net/ftpclient.h"

#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>
#include <QUrl>

// For curl_multi_socket_all(); see FtpClient::driveAll().
#define CURL_DISABLE_DEPRECATION
#include <curl/curl.h>

#include <algorithm>
#include <climits>
#include <optional>

namespace {

// How often libcurl is made to look at a running transfer that neither a
// socket nor its timer has woken; see FtpClient::driveAll().
constexpr std::chrono::milliseconds HeartbeatInterval{250};

void initCurl()
{
    // Once per process, before the first handle; everything runs on one thread.
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

bool hasControlCharacters(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

bool isHostNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.'
        || c == '-' || c == '_';
}

struct Target
{
    QByteArray urlHost; // as it stands in a URL: IPv6 addresses in brackets
    quint16 port = FtpClient::DefaultPort;
};

std::optional<Target> parseHost(const QString &text)
{
    const QString trimmed = text.trimmed();
    QString name;
    QString portText;
    bool ipv6 = false;
    if (trimmed.startsWith(u'[')) {
        const qsizetype close = trimmed.indexOf(u']');
        if (close < 0)
            return std::nullopt;
        name = trimmed.mid(1, close - 1);
        const QString rest = trimmed.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':'))
                return std::nullopt;
            portText = rest.mid(1);
        }
        ipv6 = true;
    } else if (trimmed.count(u':') == 1) {
        const qsizetype colon = trimmed.indexOf(u':');
        name = trimmed.left(colon);
        portText = trimmed.mid(colon + 1);
    } else {
        name = trimmed;
        ipv6 = trimmed.contains(u':');
    }

    Target target;
    if (!portText.isNull()) {
        const bool digitsOnly = !portText.isEmpty()
            && std::all_of(portText.cbegin(), portText.cend(), [](QChar c) { return c.isDigit(); });
        const uint port = digitsOnly ? portText.toUInt() : 0;
        if (port == 0 || port > 65535)
            return std::nullopt;
        target.port = quint16(port);
    }

    if (ipv6) {
        if (QHostAddress(name).protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
        target.urlHost = '[' + name.toLatin1() + ']';
    } else {
        target.urlHost = QUrl::toAce(name);
        if (target.urlHost.isEmpty()
            || !std::all_of(target.urlHost.cbegin(), target.urlHost.cend(), isHostNameCharacter))
            return std::nullopt;
    }
    return target;
}

// Each path segment percent-encoded on its own, ';' included, so that no name
// can smuggle in libcurl's ";type=" suffix.
QByteArray encodedPath(const QString &remoteFile)
{
    QByteArray path;
    const QStringList segments = remoteFile.split(u'/');
    for (qsizetype i = 0; i < segments.size(); ++i) {
        if (i > 0)
            path += '/';
        path += QUrl::toPercentEncoding(segments.at(i));
    }
    return path;
}

long curlLong(qint64 value)
{
    return long(std::clamp<qint64>(value, 1, LONG_MAX));
}

FtpClient::Error errorFromCurl(CURLcode code)
{
    switch (code) {
    case CURLE_OK:
        return FtpClient::NoError;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_BAD_FUNCTION_ARGUMENT:
        return FtpClient::SettingsError;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
    case CURLE_FTP_CANT_GET_HOST:
    case CURLE_FTP_ACCEPT_FAILED:
        return FtpClient::ConnectionError;
    case CURLE_LOGIN_DENIED:
        return FtpClient::LoginError;
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_FTP_COULDNT_SET_TYPE:
    case CURLE_UPLOAD_FAILED:
    case CURLE_REMOTE_DISK_FULL:
    case CURLE_QUOTE_ERROR:
        return FtpClient::RemoteFileError;
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_FTP_ACCEPT_TIMEOUT:
        return FtpClient::TimeoutError;
    default:
        return FtpClient::TransferError;
    }
}

QString errorTitle(FtpClient::Error error)
{
    switch (error) {
    case FtpClient::NoError:
        return {};
    case FtpClient::BusyError:
        return FtpClient::tr("Busy");
    case FtpClient::SettingsError:
        return FtpClient::tr("Unusable FTP settings");
    case FtpClient::LocalFileError:
        return FtpClient::tr("Local file error");
    case FtpClient::ConnectionError:
        return FtpClient::tr("Cannot reach the FTP server");
    case FtpClient::LoginError:
        return FtpClient::tr("Login refused");
    case FtpClient::RemoteFileError:
        return FtpClient::tr("Remote file refused");
    case FtpClient::TimeoutError:
        return FtpClient::tr("Timed out");
    case FtpClient::TransferError:
        return FtpClient::tr("Transfer failed");
    }
    return {};
}

} // namespace

// libcurl's callbacks; they only hand over to the client and never run the
// event loop, so libcurl is never called from inside itself.
struct FtpClientCurl
{
    static int socket(CURL *, curl_socket_t socket, int what, void *client, void *)
    {
        static_cast<FtpClient *>(client)->watchSocket(socket, what);
        return 0;
    }

    static int timer(CURLM *, long timeoutMs, void *client)
    {
        QTimer *timer = static_cast<FtpClient *>(client)->m_curlTimer;
        if (timeoutMs < 0)
            timer->stop();
        else
            timer->start(int(std::min<long>(timeoutMs, INT_MAX)));
        return 0;
    }

    static size_t write(char *data, size_t size, size_t count, void *client)
    {
        auto *self = static_cast<FtpClient *>(client);
        const size_t bytes = size * count;
        if (!self->m_download || self->m_download->write(data, qint64(bytes)) == qint64(bytes))
            return bytes;
        self->m_localFileFailed = true;
        return 0;
    }

    static size_t read(char *data, size_t size, size_t count, void *client)
    {
        auto *self = static_cast<FtpClient *>(client);
        if (!self->m_upload)
            return 0;
        const qint64 bytes = self->m_upload->read(data, qint64(size * count));
        if (bytes < 0) {
            self->m_localFileFailed = true;
            return CURL_READFUNC_ABORT;
        }
        return size_t(bytes);
    }
};

FtpClient::Timeouts FtpClient::defaultTimeouts()
{
    return {DefaultConnectTimeout, DefaultResponseTimeout, DefaultStallTime, DefaultOperationTimeout,
            DefaultIdleReuse};
}

FtpClient::FtpClient(QObject *parent)
    : QObject(parent)
    , m_timeouts(defaultTimeouts())
    , m_curlTimer(new QTimer(this))
    , m_heartbeat(new QTimer(this))
    , m_kick(new QTimer(this))
{
    static_assert(sizeof(m_curlMessage) >= CURL_ERROR_SIZE);
    m_curlTimer->setSingleShot(true);
    connect(m_curlTimer, &QTimer::timeout, this, [this] { drive(CURL_SOCKET_TIMEOUT, 0); });
    m_heartbeat->setInterval(HeartbeatInterval);
    connect(m_heartbeat, &QTimer::timeout, this, &FtpClient::driveAll);
    m_kick->setSingleShot(true);
    m_kick->setInterval(0);
    connect(m_kick, &QTimer::timeout, this, &FtpClient::driveAll);
}

FtpClient::~FtpClient()
{
    // Deleted by an event handler while an operation waits: let the wait end;
    // it notices that this object is gone.
    if (m_loop)
        m_loop->quit();
    closeConnection();
    if (m_easy)
        curl_easy_cleanup(easyHandle(m_easy));
}

void FtpClient::setHost(const QString &host)
{
    m_host = host;
}

QString FtpClient::host() const
{
    return m_host;
}

void FtpClient::setUserName(const QString &userName)
{
    m_userName = userName;
}

QString FtpClient::userName() const
{
    return m_userName;
}

void FtpClient::setPassword(const QString &password)
{
    m_password = password;
}

QString FtpClient::password() const
{
    return m_password;
}

void FtpClient::setRemoteFile(const QString &remoteFile)
{
    m_remoteFile = remoteFile;
}

QString FtpClient::remoteFile() const
{
    return m_remoteFile;
}

void FtpClient::setLocalFile(const QString &localFile)
{
    m_localFile = localFile;
}

QString FtpClient::localFile() const
{
    return m_localFile;
}

void FtpClient::setTimeouts(const Timeouts &timeouts)
{
    m_timeouts = timeouts;
}

FtpClient::Timeouts FtpClient::timeouts() const
{
    return m_timeouts;
}

bool FtpClient::connectToHost()
{
    if (m_busy)
        return refuseBusy();
    return run(Operation::Connect);
}

bool FtpClient::disconnectFromHost()
{
    if (m_busy)
        return refuseBusy();
    closeConnection();
    succeed();
    return true;
}

bool FtpClient::get()
{
    if (m_busy)
        return refuseBusy();
    // The download goes to a temporary file beside the local file, which
    // takes its place only once the transfer has completed.
    QSaveFile file(m_localFile);
    if (!file.open(QIODevice::WriteOnly))
        return fail(LocalFileError, tr("Cannot write %1: %2").arg(m_localFile, file.errorString()));
    if (!run(Operation::Get, &file))
        return false; // the temporary file goes with `file`
    if (!file.commit())
        return fail(LocalFileError, tr("Cannot replace %1: %2").arg(m_localFile, file.errorString()));
    return true;
}

bool FtpClient::put()
{
    if (m_busy)
        return refuseBusy();
    QFile file(m_localFile);
    if (!file.open(QIODevice::ReadOnly))
        return fail(LocalFileError, tr("Cannot read %1: %2").arg(m_localFile, file.errorString()));
    return run(Operation::Put, nullptr, &file);
}

bool FtpClient::isBusy() const
{
    return m_busy;
}

FtpClient::Error FtpClient::error() const
{
    return m_error;
}

QString FtpClient::errorString() const
{
    return m_errorString;
}

bool FtpClient::refuseBusy()
{
    // The running operation sets the error state again when it ends.
    return fail(BusyError, tr("Another FTP operation is still running"));
}

bool FtpClient::run(Operation operation, QSaveFile *download, QFile *upload)
{
    m_download = download;
    m_upload = upload;
    if (!setUpTransfer(operation)) {
        m_download = nullptr;
        m_upload = nullptr;
        return false;
    }

    m_busy = true;
    m_finished = false;
    m_localFileFailed = false;
    m_curlMessage.fill('\0');
    if (curl_multi_add_handle(multiHandle(m_multi), easyHandle(m_easy)) != CURLM_OK) {
        m_busy = false;
        m_download = nullptr;
        m_upload = nullptr;
        return fail(TransferError, tr("libcurl refused to start the transfer"));
    }

    QPointer<FtpClient> alive(this);
    QEventLoop loop;
    m_loop = &loop;
    m_heartbeat->start();
    if (!m_finished)
        loop.exec();
    if (!alive)
        return false;
    m_loop = nullptr;
    m_heartbeat->stop();
    m_kick->stop();

    // Removing an unfinished transfer closes its connection.
    curl_multi_remove_handle(multiHandle(m_multi), easyHandle(m_easy));
    m_busy = false;
    m_download = nullptr;
    m_upload = nullptr;

    if (!m_finished) // the application is quitting and ended every event loop
        return fail(TransferError, tr("Cut short: the application is quitting"));
    if (m_curlResult != CURLE_OK) {
        failFromCurl(m_curlResult);
        return false;
    }
    succeed();
    return true;
}

bool FtpClient::setUpTransfer(Operation operation)
{
    const std::optional<Target> target = parseHost(m_host);
    if (!target)
        return fail(SettingsError, tr("Not a host or host:port: \"%1\"").arg(m_host));
    if (hasControlCharacters(m_userName) || hasControlCharacters(m_password))
        return fail(SettingsError, tr("The user name or password holds control characters"));
    QByteArray url = "ftp://" + target->urlHost + ':' + QByteArray::number(target->port) + '/';
    if (operation != Operation::Connect) {
        if (m_remoteFile.isEmpty() || m_remoteFile.endsWith(u'/') || hasControlCharacters(m_remoteFile))
            return fail(SettingsError, tr("Not a remote file name: \"%1\"").arg(m_remoteFile));
        url += encodedPath(m_remoteFile);
    }

    initCurl();
    if (!m_easy) {
        m_easy = curl_easy_init();
        if (!m_easy)
            return fail(TransferError, tr("libcurl could not start"));
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
        curl_easy_setopt(easy, CURLOPT_APPEND, 0L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, StallBytesPerSecond);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &FtpClientCurl::write);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &FtpClientCurl::read);
        curl_easy_setopt(easy, CURLOPT_READDATA, this);
    }
    if (!m_multi) {
        m_multi = curl_multi_init();
        if (!m_multi)
            return fail(TransferError, tr("libcurl could not start"));
        CURLM *multi = multiHandle(m_multi);
        curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &FtpClientCurl::socket);
        curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &FtpClientCurl::timer);
        curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
        // One account, one connection: a connection to another host or
        // account replaces the cached one.
        curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, 1L);
    }

    CURL *easy = easyHandle(m_easy);
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    // Without a user name libcurl logs in anonymously.
    const QByteArray userName = m_userName.toUtf8();
    const QByteArray password = m_password.toUtf8();
    curl_easy_setopt(easy, CURLOPT_USERNAME, userName.isEmpty() ? nullptr : userName.constData());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, userName.isEmpty() ? nullptr : password.constData());

    // libcurl reads 0 as "its own default" here; every bound is at least 1.
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, curlLong(m_timeouts.connect.count()));
    curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, curlLong(m_timeouts.response.count()));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, curlLong(m_timeouts.stall.count()));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, curlLong(m_timeouts.operation.count()));
    curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, curlLong(m_timeouts.idleReuse.count()));

    switch (operation) {
    case Operation::Connect:
        // A request without a body on the login folder: greeting, login,
        // PWD and nothing else.
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 0L);
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        break;
    case Operation::Get:
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 0L);
        curl_easy_setopt(easy, CURLOPT_NOBODY, 0L);
        break;
    case Operation::Put:
        curl_easy_setopt(easy, CURLOPT_NOBODY, 0L);
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, curl_off_t(m_upload->size()));
        break;
    }
    return true;
}

void FtpClient::drive(qintptr socket, int events)
{
    if (!m_multi)
        return;
    int running = 0;
    curl_multi_socket_action(multiHandle(m_multi), curl_socket_t(socket), events, &running);
    collectResults();
    if (m_busy && !m_finished && m_sockets.isEmpty())
        m_kick->start();
}

// libcurl, driven by socket events, runs a transfer only when one of the
// sockets it asked for or its timer fires. An FTP transfer can sit with
// neither: waiting for a reply, libcurl sets no timer for the response bound,
// so a silent server would be noticed only at the operation bound; and when
// the reply to EPSV arrives at once (a server close by), libcurl 7.88 parks
// the transfer before it opens the data connection, with no socket to watch
// and nothing due until the connect bound. Running every transfer now and
// then (and at once when nothing is watched) lets it move on; this is what
// curl_multi_socket_all() is for.
void FtpClient::driveAll()
{
    if (!m_multi)
        return;
    int running = 0;
    curl_multi_socket_all(multiHandle(m_multi), &running);
    collectResults();
}

void FtpClient::collectResults()
{
    int queued = 0;
    while (CURLMsg *message = curl_multi_info_read(multiHandle(m_multi), &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == m_easy) {
            m_curlResult = message->data.result;
            m_finished = true;
            if (m_loop)
                m_loop->quit();
        }
    }
}

void FtpClient::closeConnection()
{
    if (!m_multi)
        return;
    if (m_easy)
        curl_multi_remove_handle(multiHandle(m_multi), easyHandle(m_easy));
    // Sends QUIT on a cached connection and waits for the reply.
    curl_multi_cleanup(multiHandle(m_multi));
    m_multi = nullptr;
    m_curlTimer->stop();
    m_heartbeat->stop();
    m_kick->stop();
    const QList<qintptr> sockets = m_sockets.keys();
    for (qintptr socket : sockets)
        forgetSocket(socket);
}

void FtpClient::watchSocket(qintptr socket, int what)
{
    if (what == CURL_POLL_REMOVE) {
        forgetSocket(socket);
        return;
    }
    SocketWatch &watch = m_sockets[socket];
    if (!watch.read) {
        watch.read = new QSocketNotifier(socket, QSocketNotifier::Read, this);
        connect(watch.read, &QSocketNotifier::activated, this,
                [this, socket] { drive(socket, CURL_CSELECT_IN); });
        watch.write = new QSocketNotifier(socket, QSocketNotifier::Write, this);
        connect(watch.write, &QSocketNotifier::activated, this,
                [this, socket] { drive(socket, CURL_CSELECT_OUT); });
    }
    watch.read->setEnabled(what & CURL_POLL_IN);
    watch.write->setEnabled(what & CURL_POLL_OUT);
}

void FtpClient::forgetSocket(qintptr socket)
{
    const auto it = m_sockets.find(socket);
    if (it == m_sockets.end())
        return;
    // libcurl may close this socket and open another one under the same
    // number before control returns to the event loop: the old notifiers go
    // quiet now and away later, since one of them may be emitting right now.
    for (QSocketNotifier *notifier : {it->read, it->write}) {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    m_sockets.erase(it);
}

void FtpClient::succeed()
{
    m_error = NoError;
    m_errorString.clear();
}

bool FtpClient::fail(Error code, const QString &text)
{
    m_error = code;
    m_errorString = errorTitle(code) + QStringLiteral(": ") + text;
    return false;
}

void FtpClient::failFromCurl(int code)
{
    const auto curlCode = CURLcode(code);
    const QString detail = m_curlMessage.front() != '\0' ? QString::fromUtf8(m_curlMessage.data())
                                                         : QString::fromUtf8(curl_easy_strerror(curlCode));
    if (m_localFileFailed)
        fail(LocalFileError, tr("%1 (%2)").arg(m_localFile, detail));
    else
        fail(errorFromCurl(curlCode), detail);
}
