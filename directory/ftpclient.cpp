#include "directory/ftpclient.h"

#include "directory/directorylog.h"
#include "directory/ftpclientworker.h"
#include "directory/replacingfile.h"

#include <QFile>
#include <QHostAddress>
#include <QStringList>
#include <QTimeZone>
#include <QTimer>
#include <QUrl>

#include <curl/curl.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace {

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

// A descriptor of the worker's own for an open file, or -1.
int workerHandle(const QFileDevice &file)
{
    return file.handle() >= 0 ? ::fcntl(file.handle(), F_DUPFD_CLOEXEC, 0) : -1;
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

FtpClient::Timeouts FtpClient::defaultTimeouts()
{
    return {DefaultConnectTimeoutMs, DefaultResponseTimeoutMs, DefaultStallTimeoutMs, DefaultOperationTimeoutMs,
            DefaultIdleReuseMs};
}

FtpClient::FtpClient(QObject *parent)
    : QObject(parent)
    , m_timeouts(defaultTimeouts())
{
}

FtpClient::~FtpClient()
{
    cancel();
    // Stops and joins the worker; its waits end at once, since every socket
    // is shut down first.
    m_worker.reset();
}

void FtpClient::setHost(const QString &host)
{
    m_host = host;
}

void FtpClient::setUserName(const QString &userName)
{
    m_userName = userName;
}

void FtpClient::setPassword(const QString &password)
{
    m_password = password;
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
        || m_lastUse.msecsTo(QDateTime::currentDateTimeUtc()) >= m_timeouts.idleReuseMs;
    if (!m_connected || stale) {
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
    // The download goes to a temporary file beside the local file, which
    // takes its place only once the transfer has completed.
    auto download = std::make_unique<ReplacingFile>(localFile);
    const int fd = download->open() ? workerHandle(*download) : -1;
    if (fd < 0) {
        const QString why = download->isOpen() ? qt_error_string(errno) : download->errorString();
        m_operation = Operation::Get;
        failLater(LocalFileError, tr("Cannot write %1: %2").arg(localFile, why));
        return true;
    }
    m_download = std::move(download);
    return begin(Operation::Get, remoteFile, fd, 0, {}, maxBytes);
}

bool FtpClient::put(const QString &localFile, const QString &remoteFile)
{
    if (isBusy())
        return false;
    m_localFile = localFile;
    QFile file(localFile);
    const int fd = file.open(QIODevice::ReadOnly) ? workerHandle(file) : -1;
    if (fd < 0) {
        const QString why = file.isOpen() ? qt_error_string(errno) : file.errorString();
        m_operation = Operation::Put;
        failLater(LocalFileError, tr("Cannot read %1: %2").arg(localFile, why));
        return true;
    }
    return begin(Operation::Put, remoteFile, fd, file.size());
}

bool FtpClient::append(const QByteArray &bytes, const QString &remoteFile)
{
    if (isBusy())
        return false;
    m_localFile.clear();
    return begin(Operation::Append, remoteFile, -1, bytes.size(), bytes);
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
    if (m_posted != 0) {
        // Its connection goes with it, and a wait of libcurl's on it ends
        // now rather than when the server speaks.
        m_worker->drop(m_posted);
        m_posted = 0;
        m_connected = false;
    }
    // An uncommitted download takes its temporary file along.
    m_download.reset();
    m_operation = Operation::None;
}

// Takes fd (a descriptor of the worker's own) in every case.
bool FtpClient::begin(Operation operation, const QString &remoteFile, int fd, qint64 uploadSize,
                      const QByteArray &uploadBytes, qint64 maxBytes)
{
    auto job = std::make_shared<FtpClientWorker::Job>();
    job->fd = fd;
    if (isBusy())
        return false;
    m_operation = operation;
    m_transferred = 0;
    m_maxBytes = maxBytes;
    if (!check(operation, remoteFile)) {
        m_download.reset();
        failLater(m_error, m_errorString);
        return true;
    }

    const std::optional<Target> target = parseHost(m_host);
    job->url = "ftp://" + target->urlHost + ':' + QByteArray::number(target->port) + '/';
    if (operation == Operation::Get || operation == Operation::Put || operation == Operation::Append
        || operation == Operation::Stat)
        job->url += encodedPath(remoteFile);
    job->id = ++m_generation;
    job->operation = operation;
    job->userName = m_userName.toUtf8();
    job->password = m_password.toUtf8();
    job->timeouts = m_timeouts;
    job->uploadSize = uploadSize;
    job->uploadBytes = uploadBytes;
    job->maxBytes = maxBytes;
    switch (operation) {
    case Operation::Rename:
        job->commands = {"RNFR " + remoteFile.toUtf8(), "RNTO " + m_renameTo.toUtf8()};
        break;
    case Operation::Remove:
        job->commands = {"DELE " + remoteFile.toUtf8()};
        break;
    case Operation::Disconnect:
        job->commands = {"QUIT"};
        break;
    default:
        break;
    }
    // A connection libcurl will not reuse is closed first, without waiting.
    job->freshConnection = m_lastUse.isValid()
        && m_lastUse.msecsTo(QDateTime::currentDateTimeUtc()) >= m_timeouts.idleReuseMs;
    if (job->freshConnection) {
        m_connected = false;
        m_lastUse = QDateTime();
    }

    if (!m_worker) {
        m_worker = std::make_unique<FtpClientWorker>([this](const Outcome &outcome) {
            QMetaObject::invokeMethod(this, [this, outcome] { take(outcome); }, Qt::QueuedConnection);
        });
    }
    m_posted = job->id;
    m_worker->post(std::move(job));
    qCDebug(lcFtp) << "start" << operation << remoteFile;
    return true;
}

bool FtpClient::check(Operation operation, const QString &remoteFile)
{
    if (!parseHost(m_host))
        return fail(SettingsError, tr("Not a host or host:port: \"%1\"").arg(m_host));
    if (hasControlCharacters(m_userName) || hasControlCharacters(m_password))
        return fail(SettingsError, tr("The user name or password holds control characters"));
    const bool named = operation != Operation::Connect && operation != Operation::Disconnect;
    if (named && (remoteFile.isEmpty() || remoteFile.endsWith(u'/') || hasControlCharacters(remoteFile)))
        return fail(SettingsError, tr("Not a remote file name: \"%1\"").arg(remoteFile));
    if (operation == Operation::Rename
        && (m_renameTo.isEmpty() || m_renameTo.endsWith(u'/') || hasControlCharacters(m_renameTo)))
        return fail(SettingsError, tr("Not a remote file name: \"%1\"").arg(m_renameTo));
    return true;
}

void FtpClient::failLater(Error code, const QString &text)
{
    fail(code, text);
    const quint64 generation = ++m_generation;
    QTimer::singleShot(0, this, [this, generation] {
        if (generation != m_generation)
            return;
        m_operation = Operation::None;
        emit finished(false);
    });
}

void FtpClient::take(const Outcome &outcome)
{
    if (m_posted == 0 || outcome.id != m_posted)
        return; // dropped meanwhile
    m_posted = 0;
    const Operation operation = m_operation;
    m_transferred = outcome.transferred;

    bool ok = false;
    const auto curlCode = CURLcode(outcome.curlCode);
    if (curlCode != CURLE_OK) {
        const QString detail = !outcome.curlMessage.isEmpty() ? QString::fromUtf8(outcome.curlMessage)
                                                              : QString::fromUtf8(curl_easy_strerror(curlCode));
        if (outcome.tooLarge)
            fail(TooLargeError, tr("more than %1 bytes").arg(m_maxBytes));
        else if (outcome.localFileFailed)
            fail(LocalFileError, tr("%1 (%2)").arg(m_localFile, detail));
        else
            fail(errorFromCurl(curlCode), detail);
    } else if (operation == Operation::Get && !m_download->commit()) {
        fail(LocalFileError, tr("Cannot replace %1: %2").arg(m_localFile, m_download->errorString()));
    } else {
        if (operation == Operation::Stat) {
            m_remoteSize = outcome.remoteSize;
            m_remoteTime = outcome.remoteTime >= 0 ? QDateTime::fromSecsSinceEpoch(outcome.remoteTime, QTimeZone::utc())
                                                   : QDateTime();
        }
        succeed();
        ok = true;
    }
    m_download.reset();
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

void FtpClient::closeConnection()
{
    m_connected = false;
    m_lastUse = QDateTime();
    // libcurl finds the connection dead at its next use and drops it
    // without a goodbye.
    if (m_worker)
        m_worker->shutDownSockets();
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
