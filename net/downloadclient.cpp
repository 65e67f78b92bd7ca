#include "net/downloadclient.h"

#include "net/netlog.h"
#include "net/transferprotocol.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QTemporaryFile>
#include <QTimer>

#include <utility>

#include <cerrno>
#include <cstdio>
#include <cstring>

using TransferProtocol::AfterLastx;
using TransferProtocol::BeforeLast;
using TransferProtocol::isSafeName;

namespace {

constexpr char ConnectedText[] = "Connected!";
constexpr char DoneText[] = "Done!";

QString seconds(int ms)
{
    return QString::number(ms / 1000.0);
}

} // namespace

DownloadClient::DownloadClient(QString programFolder, const QString &localAddress, quint16 uploadPort,
                               QObject *parent)
    : QObject(parent)
    , m_programFolder(std::move(programFolder))
    , m_uploadPort(uploadPort)
    , m_download(localAddress, this)
    , m_connectTimer(new QTimer(this))
    , m_stallTimer(new QTimer(this))
{
    m_download.setObjectName(QStringLiteral("download"));
    connect(&m_download, &EventSocket::connected, this, &DownloadClient::download_Connect);
    connect(&m_download, &EventSocket::dataArrival, this, &DownloadClient::download_DataArrival);
    connect(&m_download, &EventSocket::closedByPeer, this, &DownloadClient::download_Close);
    connect(&m_download, &EventSocket::errorOccurred, this, &DownloadClient::download_Error);
    m_connectTimer->setSingleShot(true);
    m_stallTimer->setSingleShot(true);
    connect(m_connectTimer, &QTimer::timeout, this, &DownloadClient::connectTimedOut);
    connect(m_stallTimer, &QTimer::timeout, this, &DownloadClient::stalled);
}

QString DownloadClient::targetPath(const QString &entry) const
{
    return TransferProtocol::downloadsFolder(m_programFolder) + u'/' + entry;
}

bool DownloadClient::refuse(const QString &line)
{
    emit progressCleared();
    emit progressLine(line);
    return false;
}

bool DownloadClient::startdownload(const QString &file)
{
    if (m_state != State::Idle) {
        emit refused(tr("The download of \"%1\" is still running; \"%2\" was not started.")
                         .arg(m_DownloadRequest, file));
        return false;
    }
    m_DownloadRequest = file;

    // The whole entry becomes the file name, so it has to be a safe one as a
    // whole; the name the peer is asked for is checked by itself as well.
    if (!isSafeName(file) || !isSafeName(AfterLastx(file)))
        return refuse(tr("Refused: \"%1\" cannot be saved as a file name.").arg(file));
    // Only a numeric address: an entry never makes this copy look up a name.
    const QString peer = BeforeLast(file);
    if (QHostAddress(peer).isNull())
        return refuse(tr("Refused: \"%1\" holds no peer address.").arg(file));

    const QString folder = TransferProtocol::downloadsFolder(m_programFolder);
    if (!QFileInfo(folder).isDir())
        return refuse(tr("Cannot save: there is no %1 folder beside the program.")
                          .arg(QLatin1String(TransferProtocol::DownloadsFolder)));
    const QString path = targetPath(file);
    const QFileInfo target(path);
    const bool existed = target.exists() || target.isSymLink();
    if (existed && (target.isSymLink() || !target.isFile()))
        return refuse(tr("Cannot save: \"%1\" exists and is not a plain file.").arg(file));

    // An earlier file of this name is replaced only by a whole new one.
    m_target = path;
    m_DownloadFile.setFileName(path);
    if (!existed && !m_DownloadFile.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return refuse(tr("Cannot save \"%1\": %2").arg(file, m_DownloadFile.errorString()));
    m_createdTarget = !existed;
    m_received = 0;
    m_peer = peer;
    m_state = State::Connecting;
    m_download.close();
    m_download.connectToPeer(peer, m_uploadPort);
    m_connectTimer->start(m_connectTimeoutMs);
    return true;
}

void DownloadClient::download_Connect()
{
    if (m_state != State::Connecting)
        return;
    m_connectTimer->stop();
    m_state = State::Receiving;
    emit progressCleared();
    emit progressLine(QLatin1String(ConnectedText));
    m_download.sendText(m_DownloadRequest);
    m_stallTimer->start(m_stallTimeoutMs);
}

void DownloadClient::download_DataArrival()
{
    if (m_state != State::Receiving) {
        m_download.takeAll();
        return;
    }
    m_stallTimer->start(m_stallTimeoutMs);
    // Everything waiting now, in blocks: the socket's buffer never holds more
    // than one turn of the event loop brought.
    const qint64 offset = m_received;
    while (m_download.bytesWaiting() > 0) {
        const QByteArray block = m_download.take(ReadBlockSize);
        QString error;
        if (!m_DownloadFile.isOpen())
            error = openPart();
        if (error.isEmpty() && m_DownloadFile.write(block) != block.size())
            error = m_DownloadFile.errorString();
        if (!error.isEmpty()) {
            if (m_received > offset)
                emit bytesReceived(m_DownloadFile.fileName(), offset, m_received - offset);
            endReceiving(tr("cannot write \"%1\": %2").arg(m_DownloadRequest, error));
            return;
        }
        m_received += block.size();
    }
    if (m_received > offset)
        emit bytesReceived(m_DownloadFile.fileName(), offset, m_received - offset);
}

QString DownloadClient::openPart()
{
    QTemporaryFile part(QFileInfo(m_target).dir().filePath(QStringLiteral(".XXXXXX.part")));
    part.setAutoRemove(false);
    if (!part.open())
        return part.errorString();
    m_part = part.fileName();
    part.close();
    m_DownloadFile.setFileName(m_part);
    if (!m_DownloadFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return m_DownloadFile.errorString();
    return QString();
}

QString DownloadClient::replaceTarget()
{
    // One step: the earlier file is whole until the new one is.
    if (std::rename(QFile::encodeName(m_part).constData(), QFile::encodeName(m_target).constData()) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    m_part.clear();
    return QString();
}

void DownloadClient::download_Close()
{
    if (m_state != State::Receiving)
        return;
    m_stallTimer->stop();
    m_DownloadFile.close();
    // The socket stays as the peer left it; the next download closes it.
    if (m_received == 0 && !m_createdTarget) {
        // An empty answer is no reason to lose what an earlier download of
        // the entry brought.
        m_state = State::Idle;
        const QString line = tr("Nothing came from %1: the earlier \"%2\" is kept.").arg(m_peer, m_DownloadRequest);
        qCWarning(lcTransfer).noquote() << line;
        emit progressLine(line);
        emit finished(false);
        return;
    }
    if (!m_part.isEmpty()) {
        const QString error = replaceTarget();
        if (!error.isEmpty()) {
            endReceiving(tr("cannot put \"%1\" in place: %2").arg(m_DownloadRequest, error));
            return;
        }
    }
    m_state = State::Idle;
    emit progressLine(QLatin1String(DoneText));
    emit finished(true);
}

void DownloadClient::download_Error(int, const QString &description)
{
    if (m_state == State::Connecting)
        endBeforeConnected(tr("Cannot reach %1: %2").arg(m_peer, description));
    else if (m_state == State::Receiving)
        endReceiving(description);
}

void DownloadClient::connectTimedOut()
{
    if (m_state == State::Connecting)
        endBeforeConnected(tr("Cannot reach %1: no answer within %2 s.").arg(m_peer, seconds(m_connectTimeoutMs)));
}

void DownloadClient::stalled()
{
    if (m_state == State::Receiving)
        endReceiving(tr("nothing came from %1 for %2 s").arg(m_peer, seconds(m_stallTimeoutMs)));
}

void DownloadClient::endBeforeConnected(const QString &line)
{
    qCWarning(lcTransfer).noquote() << "Download of" << m_DownloadRequest << "failed:" << line;
    m_connectTimer->stop();
    m_download.close();
    m_DownloadFile.close();
    if (m_createdTarget)
        QFile::remove(m_target);
    m_state = State::Idle;
    refuse(line);
    emit finished(false);
}

void DownloadClient::stop()
{
    if (m_state == State::Connecting)
        endBeforeConnected(tr("Stopped: this copy ends."));
    else if (m_state == State::Receiving)
        endReceiving(tr("this copy ends"));
}

void DownloadClient::endReceiving(const QString &reason)
{
    m_stallTimer->stop();
    m_download.close();
    m_DownloadFile.close();
    QString kept;
    if (!m_createdTarget) {
        // A file that is not whole must not take the place of one that is.
        if (!m_part.isEmpty() && !QFile::remove(m_part))
            qCWarning(lcTransfer).noquote() << "Cannot remove the unfinished" << m_part;
        m_part.clear();
        kept = tr("the earlier \"%1\" is kept.").arg(m_DownloadRequest);
    } else {
        // Nothing came: a file this download made holds nothing worth keeping.
        if (m_received == 0)
            QFile::remove(m_target);
        kept = tr("%1 bytes kept.").arg(m_received);
    }
    const QString line = tr("Stopped: %1; %2").arg(reason, kept);
    qCWarning(lcTransfer).noquote() << "Download of" << m_DownloadRequest << "ended early:" << line;
    m_state = State::Idle;
    emit progressLine(line);
    emit finished(false);
}
