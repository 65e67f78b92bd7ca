#include "directory/readjob.h"

#include "directory/directorylog.h"
#include "directory/servertraits.h"

#include <QFile>
#include <QMetaEnum>

#include <utility>

namespace {

bool isConnectionLevel(FtpClient::Error error)
{
    return error == FtpClient::ConnectionError || error == FtpClient::LoginError
        || error == FtpClient::SettingsError;
}

} // namespace

ReadJob::ReadJob(FtpClient &ftp, ServerTraits &traits, QString remoteFile, QString localFile, qint64 maxSize,
                 Check check, QObject *parent)
    : DirectoryJob(ftp, parent)
    , m_traits(traits)
    , m_remoteFile(std::move(remoteFile))
    , m_localFile(std::move(localFile))
    , m_maxSize(maxSize)
    , m_check(check)
{
}

QString ReadJob::stateName() const
{
    return QString::fromLatin1(QMetaEnum::fromType<State>().valueToKey(int(m_state)));
}

QString ReadJob::againFile() const
{
    return m_localFile + QStringLiteral(".again");
}

void ReadJob::start()
{
    begin();
    m_attempts = 0;
    enter(State::SizingBefore);
}

void ReadJob::enter(State state)
{
    m_state = state;
    switch (state) {
    case State::Idle:
    case State::Done:
        break;
    case State::SizingBefore:
        m_absentBefore = false;
        m_sizeBefore = m_sizeAfter = -1;
        m_timeBefore = m_timeAfter = QDateTime();
        m_snapshot = DirectorySnapshot{m_localFile, false, 0, {}, {}, 0};
        expect(m_ftp.stat(m_remoteFile));
        break;
    case State::Downloading:
        m_snapshot.startedAtLeast = m_traits.serverTimeAtLeast();
        m_downloadClock.start();
        expect(m_ftp.get(m_remoteFile, m_localFile, m_maxSize));
        break;
    case State::SizingAfter:
        expect(m_ftp.stat(m_remoteFile));
        break;
    case State::DownloadingAgain:
        expect(m_ftp.get(m_remoteFile, againFile(), m_maxSize));
        break;
    case State::Redialling:
        expect(m_ftp.disconnectFromHost());
        break;
    case State::Reconnecting:
        expect(m_ftp.connectToHost());
        break;
    }
}

void ReadJob::ftpFinished(bool ok)
{
    switch (m_state) {
    case State::SizingBefore:
        sized(ok);
        break;
    case State::Downloading:
        downloaded(ok);
        break;
    case State::SizingAfter:
        sizedAfter(ok);
        break;
    case State::DownloadingAgain:
        downloadedAgain(ok);
        break;
    case State::Redialling:
        // Whatever the goodbye did, the next try logs in afresh.
        queue([this] { enter(State::Reconnecting); });
        break;
    case State::Reconnecting:
        queue([this] { enter(State::SizingBefore); });
        break;
    case State::Idle:
    case State::Done:
        break;
    }
}

void ReadJob::sized(bool ok)
{
    const FtpClient::Error error = ftpError();
    if (ok) {
        m_sizeBefore = m_ftp.remoteSize();
        m_timeBefore = m_ftp.remoteTime();
        if (m_maxSize >= 0 && m_sizeBefore > m_maxSize) {
            fail(tr("The central directory is %1 bytes, more than the %2 a copy reads").arg(m_sizeBefore).arg(m_maxSize),
                 true);
            return;
        }
    } else if (error == FtpClient::NotFoundError) {
        m_absentBefore = true;
    } else {
        fail(ftpErrorString(), isConnectionLevel(error) && !m_retryUnreachable);
        return;
    }
    enter(State::Downloading);
}

void ReadJob::downloaded(bool ok)
{
    const FtpClient::Error error = ftpError();
    if (ok) {
        m_snapshot.size = m_ftp.bytesTransferred();
        m_snapshot.downloadMs = m_downloadClock.elapsed();
        enter(State::SizingAfter);
    } else if (error == FtpClient::NotFoundError && m_absentBefore) {
        // No directory yet: an empty one.
        QFile empty(m_localFile);
        if (!empty.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            fail(tr("Cannot write %1: %2").arg(m_localFile, empty.errorString()), true);
            return;
        }
        empty.close();
        m_snapshot.absent = true;
        succeed();
    } else if (error == FtpClient::TooLargeError) {
        fail(tr("The central directory is more than the %1 bytes a copy reads").arg(m_maxSize), true);
    } else {
        fail(ftpErrorString(), isConnectionLevel(error) && !m_retryUnreachable);
    }
}

void ReadJob::sizedAfter(bool ok)
{
    if (ok) {
        m_sizeAfter = m_ftp.remoteSize();
        m_timeAfter = m_ftp.remoteTime();
    }
    const qint64 length = m_snapshot.size;
    const bool timesAgree = !m_timeBefore.isValid() || !m_timeAfter.isValid() || m_timeBefore == m_timeAfter;
    m_snapshot.time = m_timeAfter.isValid() ? m_timeAfter : m_timeBefore;
    if (m_sizeBefore < 0 && m_sizeAfter < 0) {
        // The server tells no size: only a second download can tell a whole
        // file from one cut short.
        enter(State::DownloadingAgain);
        return;
    }
    const bool whole = m_check == Check::Settled
        ? length == m_sizeAfter && m_sizeBefore == m_sizeAfter && timesAgree
        : length == m_sizeBefore || length == m_sizeAfter;
    if (whole) {
        succeed();
        return;
    }
    fail(tr("The central directory changed or was cut short during the download (%1 bytes, the server lists %2)")
             .arg(length)
             .arg(m_sizeAfter >= 0 ? m_sizeAfter : m_sizeBefore),
         false);
}

void ReadJob::downloadedAgain(bool ok)
{
    if (!ok) {
        QFile::remove(againFile());
        fail(ftpErrorString(), isConnectionLevel(ftpError()) && !m_retryUnreachable);
        return;
    }
    compareFiles(againFile(), m_localFile, FileComparison::Mode::Same, [this](bool same) {
        QFile::remove(againFile());
        const bool timesAgree = !m_timeBefore.isValid() || !m_timeAfter.isValid() || m_timeBefore == m_timeAfter;
        if (same && timesAgree) {
            succeed();
            return;
        }
        fail(tr("Two downloads of the central directory differ: it changed, or one was cut short"), false);
    });
}

void ReadJob::fail(const QString &why, bool final)
{
    QFile::remove(m_localFile);
    ++m_attempts;
    qCDebug(lcDirectory) << "download" << m_attempts << "failed:" << why;
    if (!final && m_attempts < m_maxAttempts) {
        // Disconnect, let events run, connect, let events run, read again.
        queue([this] { enter(State::Redialling); });
        return;
    }
    m_state = State::Done;
    finish(false, why);
}

void ReadJob::succeed()
{
    m_state = State::Done;
    finish(true);
}
