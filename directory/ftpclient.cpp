#include "directory/ftpclient.h"

#include "directory/directorylog.h"
#include "directory/replacingfile.h"

#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimeZone>
#include <QTimer>
#include <QUrl>

// For curl_multi_socket_all(); see FtpClient::driveAll().
#define CURL_DISABLE_DEPRECATION
#include <curl/curl.h>

#include <sys/socket.h>
#include <unistd.h>

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
    case CURLE_FTP_WEIRD_PASS_REPLY:
        return FtpClient::LoginError;
    case CURLE_REMOTE_FILE_NOT_FOUND:
        return FtpClient::NotFoundError;
    case CURLE_REMOTE_ACCESS_DENIED:
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
    case FtpClient::NotFoundError:
        return FtpClient::tr("No such remote file");
    case FtpClient::RemoteFileError:
        return FtpClient::tr("Remote file refused");
    case FtpClient::TimeoutError:
        return FtpClient::tr("Timed out");
    case FtpClient::TransferError:
        return FtpClient::tr("Transfer failed");
    case FtpClient::TooLargeError:
        return FtpClient::tr("Too large");
    }
    return {};
}

} // namespace

// libcurl's callbacks; they only hand over to the client and never run the
// event loop, so libcurl is never called from inside itself.
struct FtpClientCurl
{
    static FtpClient *client(void *pointer) { return static_cast<FtpClient *>(pointer); }

    static int socket(CURL *, curl_socket_t socket, int what, void *self, void *)
    {
        client(self)->watchSocket(socket, what);
        return 0;
    }

    static int timer(CURLM *, long timeoutMs, void *self)
    {
        QTimer *timer = client(self)->m_curlTimer;
        if (timeoutMs < 0)
            timer->stop();
        else
            timer->start(int(std::min<long>(timeoutMs, INT_MAX)));
        return 0;
    }

    static size_t write(char *data, size_t size, size_t count, void *self)
    {
        FtpClient *c = client(self);
        const auto bytes = qint64(size * count);
        if (!c->m_download)
            return size_t(bytes);
        if (c->m_maxBytes >= 0 && c->m_transferred + bytes > c->m_maxBytes) {
            c->m_tooLarge = true;
            return 0;
        }
        if (c->m_download->write(data, bytes) != bytes) {
            c->m_localFileFailed = true;
            return 0;
        }
        c->m_transferred += bytes;
        return size_t(bytes);
    }

    static size_t read(char *data, size_t size, size_t count, void *self)
    {
        FtpClient *c = client(self);
        const auto room = qint64(size * count);
        qint64 bytes = 0;
        if (c->m_uploadFile) {
            bytes = c->m_uploadFile->read(data, room);
            if (bytes < 0) {
                c->m_localFileFailed = true;
                return CURL_READFUNC_ABORT;
            }
        } else {
            bytes = std::min(room, c->m_uploadBytes.size() - c->m_uploadOffset);
            std::copy_n(c->m_uploadBytes.constData() + c->m_uploadOffset, bytes, data);
            c->m_uploadOffset += bytes;
        }
        c->m_transferred += bytes;
        return size_t(bytes);
    }

    // Every socket libcurl opens is known here, so that closeConnection()
    // can shut it down before libcurl's goodbye waits on it.
    static curl_socket_t open(void *self, curlsocktype, curl_sockaddr *address)
    {
        const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        if (fd < 0)
            return CURL_SOCKET_BAD;
        client(self)->m_openSockets.insert(fd);
        return fd;
    }

    static int close(void *self, curl_socket_t socket)
    {
        client(self)->m_openSockets.remove(socket);
        return ::close(socket);
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
    cancel();
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

void FtpClient::setTimeouts(const Timeouts &timeouts)
{
    m_timeouts = timeouts;
}

FtpClient::Timeouts FtpClient::timeouts() const
{
    return m_timeouts;
}

bool FtpClient::isBusy() const
{
    return m_operation != Operation::None;
}

FtpClient::Error FtpClient::error() const
{
    return m_error;
}

QString FtpClient::errorString() const
{
    return m_errorString;
}

bool FtpClient::connectToHost()
{
    return begin(Operation::Connect, QString());
}

bool FtpClient::disconnectFromHost()
{
    if (isBusy())
        return false;
    // Nothing to say goodbye on, or a connection libcurl would not reuse
    // and would open a new one just to close it: close at once.
    const bool stale = !m_lastUse.isValid()
        || m_lastUse.secsTo(QDateTime::currentDateTimeUtc()) >= m_timeouts.idleReuse.count();
    if (!m_connected || !m_multi || stale) {
        m_operation = Operation::Disconnect;
        closeConnection();
        succeed();
        const quint64 generation = ++m_generation;
        QTimer::singleShot(0, this, [this, generation] {
            if (generation != m_generation)
                return;
            m_operation = Operation::None;
            emit finished(true);
        });
        return true;
    }
    return begin(Operation::Disconnect, QString());
}

bool FtpClient::get(const QString &remoteFile, const QString &localFile, qint64 maxBytes)
{
    if (isBusy())
        return false;
    m_localFile = localFile;
    m_maxBytes = maxBytes;
    // The download goes to a temporary file beside the local file, which
    // takes its place only once the transfer has completed.
    m_download = std::make_unique<ReplacingFile>(localFile);
    if (!m_download->open()) {
        const QString why = m_download->errorString();
        m_download.reset();
        m_operation = Operation::Get;
        failLater(LocalFileError, tr("Cannot write %1: %2").arg(localFile, why));
        return true;
    }
    return begin(Operation::Get, remoteFile);
}

bool FtpClient::put(const QString &localFile, const QString &remoteFile)
{
    if (isBusy())
        return false;
    m_localFile = localFile;
    m_uploadFile = std::make_unique<QFile>(localFile);
    if (!m_uploadFile->open(QIODevice::ReadOnly)) {
        const QString why = m_uploadFile->errorString();
        m_uploadFile.reset();
        m_operation = Operation::Put;
        failLater(LocalFileError, tr("Cannot read %1: %2").arg(localFile, why));
        return true;
    }
    return begin(Operation::Put, remoteFile);
}

bool FtpClient::append(const QByteArray &bytes, const QString &remoteFile)
{
    if (isBusy())
        return false;
    m_localFile.clear();
    m_uploadBytes = bytes;
    m_uploadOffset = 0;
    return begin(Operation::Append, remoteFile);
}

bool FtpClient::stat(const QString &remoteFile)
{
    if (isBusy())
        return false;
    m_remoteSize = -1;
    m_remoteTime = QDateTime();
    return begin(Operation::Stat, remoteFile);
}

bool FtpClient::rename(const QString &from, const QString &to)
{
    if (isBusy())
        return false;
    m_renameTo = to;
    return begin(Operation::Rename, from);
}

bool FtpClient::remove(const QString &remoteFile)
{
    return begin(Operation::Remove, remoteFile);
}

void FtpClient::cancel()
{
    if (!isBusy())
        return;
    ++m_generation;
    if (m_multi && m_easy && m_added) {
        // Removing an unfinished transfer closes its connection.
        curl_multi_remove_handle(multiHandle(m_multi), easyHandle(m_easy));
        m_added = false;
        m_connected = false;
    }
    m_heartbeat->stop();
    m_kick->stop();
    releaseTransfer();
    m_operation = Operation::None;
}

bool FtpClient::begin(Operation operation, const QString &remoteFile)
{
    if (isBusy())
        return false;
    m_operation = operation;
    m_finished = false;
    m_localFileFailed = false;
    m_tooLarge = false;
    m_transferred = 0;
    m_curlResult = CURLE_OK;
    m_curlMessage.fill('\0');

    // A connection libcurl will not reuse is closed here, without waiting,
    // rather than by libcurl, which would wait for the reply to its QUIT.
    if (m_lastUse.isValid() && m_lastUse.secsTo(QDateTime::currentDateTimeUtc()) >= m_timeouts.idleReuse.count())
        closeConnection();

    if (!setUpTransfer(operation, remoteFile)) {
        failLater(m_error, m_errorString);
        return true;
    }
    if (curl_multi_add_handle(multiHandle(m_multi), easyHandle(m_easy)) != CURLM_OK) {
        failLater(TransferError, tr("libcurl refused to start the transfer"));
        return true;
    }
    m_added = true;
    m_heartbeat->start();
    qCDebug(lcFtp) << "start" << operation << remoteFile;
    return true;
}

void FtpClient::failLater(Error code, const QString &text)
{
    fail(code, text);
    releaseTransfer();
    const quint64 generation = ++m_generation;
    QTimer::singleShot(0, this, [this, generation] {
        if (generation != m_generation)
            return;
        m_operation = Operation::None;
        emit finished(false);
    });
}

bool FtpClient::setUpTransfer(Operation operation, const QString &remoteFile)
{
    const std::optional<Target> target = parseHost(m_host);
    if (!target)
        return fail(SettingsError, tr("Not a host or host:port: \"%1\"").arg(m_host));
    if (hasControlCharacters(m_userName) || hasControlCharacters(m_password))
        return fail(SettingsError, tr("The user name or password holds control characters"));
    const bool onFile = operation == Operation::Get || operation == Operation::Put
        || operation == Operation::Append || operation == Operation::Stat;
    const bool quoted = operation == Operation::Rename || operation == Operation::Remove;
    if (onFile || quoted) {
        if (remoteFile.isEmpty() || remoteFile.endsWith(u'/') || hasControlCharacters(remoteFile))
            return fail(SettingsError, tr("Not a remote file name: \"%1\"").arg(remoteFile));
    }
    if (operation == Operation::Rename
        && (m_renameTo.isEmpty() || m_renameTo.endsWith(u'/') || hasControlCharacters(m_renameTo)))
        return fail(SettingsError, tr("Not a remote file name: \"%1\"").arg(m_renameTo));

    QByteArray url = "ftp://" + target->urlHost + ':' + QByteArray::number(target->port) + '/';
    if (onFile)
        url += encodedPath(remoteFile);

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
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, StallBytesPerSecond);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &FtpClientCurl::write);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &FtpClientCurl::read);
        curl_easy_setopt(easy, CURLOPT_READDATA, this);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &FtpClientCurl::open);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this);
        curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &FtpClientCurl::close);
        curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
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

    // What one operation sets, the next one resets.
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(easy, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(easy, CURLOPT_APPEND, 0L);
    curl_easy_setopt(easy, CURLOPT_FILETIME, 0L);
    curl_easy_setopt(easy, CURLOPT_QUOTE, nullptr);

    QList<QByteArray> commands;
    switch (operation) {
    case Operation::None:
        break;
    case Operation::Connect:
        // A request without a body on the login folder: greeting, login,
        // PWD and nothing else.
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        break;
    case Operation::Get:
        break;
    case Operation::Put:
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, curl_off_t(m_uploadFile->size()));
        break;
    case Operation::Append:
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy, CURLOPT_APPEND, 1L);
        curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, curl_off_t(m_uploadBytes.size()));
        break;
    case Operation::Stat:
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        curl_easy_setopt(easy, CURLOPT_FILETIME, 1L);
        break;
    case Operation::Rename:
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        commands = {"RNFR " + remoteFile.toUtf8(), "RNTO " + m_renameTo.toUtf8()};
        break;
    case Operation::Remove:
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        commands = {"DELE " + remoteFile.toUtf8()};
        break;
    case Operation::Disconnect:
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        commands = {"QUIT"};
        break;
    }
    curl_slist *list = nullptr;
    for (const QByteArray &command : std::as_const(commands))
        list = curl_slist_append(list, command.constData());
    m_quote = list;
    if (list)
        curl_easy_setopt(easy, CURLOPT_QUOTE, list);
    return true;
}

void FtpClient::drive(qintptr socket, int events)
{
    if (!m_multi)
        return;
    int running = 0;
    curl_multi_socket_action(multiHandle(m_multi), curl_socket_t(socket), events, &running);
    // finished() may have made its receiver delete this client.
    const QPointer<FtpClient> alive(this);
    collectResults();
    if (alive && isBusy() && m_added && !m_finished && m_readers.isEmpty())
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
    if (!m_multi)
        return;
    int queued = 0;
    while (CURLMsg *message = curl_multi_info_read(multiHandle(m_multi), &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == m_easy && m_added) {
            m_curlResult = message->data.result;
            m_finished = true;
        }
    }
    if (m_finished && m_added)
        endOperation();
}

void FtpClient::endOperation()
{
    m_heartbeat->stop();
    m_kick->stop();
    curl_multi_remove_handle(multiHandle(m_multi), easyHandle(m_easy));
    m_added = false;
    const Operation operation = m_operation;

    bool ok = false;
    if (m_curlResult != CURLE_OK) {
        failFromCurl(m_curlResult);
    } else if (operation == Operation::Get && !m_download->commit()) {
        fail(LocalFileError, tr("Cannot replace %1: %2").arg(m_localFile, m_download->errorString()));
    } else {
        if (operation == Operation::Stat) {
            curl_off_t size = -1;
            curl_off_t time = -1;
            curl_easy_getinfo(easyHandle(m_easy), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size);
            curl_easy_getinfo(easyHandle(m_easy), CURLINFO_FILETIME_T, &time);
            m_remoteSize = qint64(size);
            m_remoteTime = time >= 0 ? QDateTime::fromSecsSinceEpoch(qint64(time), QTimeZone::utc()) : QDateTime();
        }
        succeed();
        ok = true;
    }
    releaseTransfer();
    if (!ok)
        qCDebug(lcFtp) << operation << "failed:" << m_errorString;

    // A refused file or command leaves the session as it was; anything else
    // may have cost the connection.
    m_connected = ok || m_error == NotFoundError || m_error == RemoteFileError;
    m_lastUse = QDateTime::currentDateTimeUtc();
    if (operation == Operation::Disconnect) {
        // Closed whatever the server said to QUIT.
        closeConnection();
        succeed();
        ok = true;
    }
    m_operation = Operation::None;
    emit finished(ok);
}

void FtpClient::releaseTransfer()
{
    if (m_quote) {
        if (m_easy)
            curl_easy_setopt(easyHandle(m_easy), CURLOPT_QUOTE, nullptr);
        curl_slist_free_all(static_cast<curl_slist *>(m_quote));
        m_quote = nullptr;
    }
    // An uncommitted download takes its temporary file along.
    m_download.reset();
    m_uploadFile.reset();
    m_uploadBytes.clear();
    m_uploadOffset = 0;
    m_maxBytes = -1;
}

void FtpClient::closeConnection()
{
    m_connected = false;
    m_lastUse = QDateTime();
    if (!m_multi)
        return;
    if (m_easy && m_added) {
        curl_multi_remove_handle(multiHandle(m_multi), easyHandle(m_easy));
        m_added = false;
    }
    // libcurl says QUIT on every cached connection as it drops it and waits
    // for the reply; on a socket that is shut down that fails at once.
    for (qintptr fd : std::as_const(m_openSockets))
        ::shutdown(int(fd), SHUT_RDWR);
    curl_multi_cleanup(multiHandle(m_multi));
    m_multi = nullptr;
    m_curlTimer->stop();
    m_heartbeat->stop();
    m_kick->stop();
    const QList<qintptr> sockets = m_readers.keys();
    for (qintptr socket : sockets)
        forgetSocket(socket);
}

void FtpClient::watchSocket(qintptr socket, int what)
{
    if (what == CURL_POLL_REMOVE) {
        forgetSocket(socket);
        return;
    }
    if (!m_readers.contains(socket)) {
        auto *read = new QSocketNotifier(socket, QSocketNotifier::Read, this);
        connect(read, &QSocketNotifier::activated, this, [this, socket] { drive(socket, CURL_CSELECT_IN); });
        auto *write = new QSocketNotifier(socket, QSocketNotifier::Write, this);
        connect(write, &QSocketNotifier::activated, this, [this, socket] { drive(socket, CURL_CSELECT_OUT); });
        m_readers.insert(socket, read);
        m_writers.insert(socket, write);
    }
    m_readers.value(socket)->setEnabled(what & CURL_POLL_IN);
    m_writers.value(socket)->setEnabled(what & CURL_POLL_OUT);
}

void FtpClient::forgetSocket(qintptr socket)
{
    // libcurl may close this socket and open another one under the same
    // number before control returns to the event loop: the old notifiers go
    // quiet now and away later, since one of them may be emitting right now.
    for (QSocketNotifier *notifier : {m_readers.take(socket), m_writers.take(socket)}) {
        if (!notifier)
            continue;
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
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
    if (m_tooLarge)
        fail(TooLargeError, tr("more than %1 bytes").arg(m_maxBytes));
    else if (m_localFileFailed)
        fail(LocalFileError, tr("%1 (%2)").arg(m_localFile, detail));
    else
        fail(errorFromCurl(curlCode), detail);
}
