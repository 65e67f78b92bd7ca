#include "directory/directoryexchange.h"

#include "directory/directory.h"
#include "directory/directoryfilter.h"
#include "directory/directorylog.h"
#include "directory/directoryreader.h"
#include "directory/replacingfile.h"
#include "directory/tamsin.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPointer>
#include <QRandomGenerator>

#include <cstdio>
#include <utility>

namespace {

// Records between two looks at the clock while loading.
constexpr int RecordsPerClockCheck = 64;

// How often the record of address occurs in a directory file.
qint64 countRecordsOf(const QString &path, const QString &address)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return 0;
    const QByteArray needle = '"' + address.toLatin1() + '"';
    uchar *mapped = file.map(0, file.size());
    if (!mapped)
        return QByteArrayView(file.readAll()).count(needle);
    const QByteArrayView view(reinterpret_cast<const char *>(mapped), file.size());
    const qint64 count = view.count(needle);
    file.unmap(mapped);
    return count;
}

bool endsWithLineEnd(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return true;
    file.seek(file.size() - 1);
    char last = 0;
    file.getChar(&last);
    return last == '\n' || last == '\r';
}

bool isConnectionLevel(FtpClient::Error error)
{
    return error == FtpClient::ConnectionError || error == FtpClient::LoginError
        || error == FtpClient::SettingsError;
}

} // namespace

DirectoryExchange::DirectoryExchange(DirectorySettings settings, QObject *parent)
    : QObject(parent)
    , m_settings(std::move(settings))
{
    m_ftp.setHost(m_settings.host);
    m_ftp.setUserName(m_settings.userName);
    m_ftp.setPassword(m_settings.password);
    connect(&m_ftp, &FtpClient::finished, this, &DirectoryExchange::onFtpFinished);
    m_stepTimer.setSingleShot(true);
    connect(&m_stepTimer, &QTimer::timeout, this, [this] { enter(m_queued); });
    m_sliceTimer.setSingleShot(true);
    connect(&m_sliceTimer, &QTimer::timeout, this, [this] {
        if (m_state == State::Loading)
            loadSlice();
        else if (m_state == State::Filtering)
            filterSlice();
    });
    m_exitDeadline.setSingleShot(true);
    connect(&m_exitDeadline, &QTimer::timeout, this, &DirectoryExchange::exitDeadlinePassed);
}

DirectoryExchange::~DirectoryExchange()
{
    cancel();
}

QString DirectoryExchange::localCopy() const
{
    return QDir(m_settings.programFolder).filePath(m_settings.remoteFile);
}

QString DirectoryExchange::scratchFile() const
{
    return localCopy() + QStringLiteral(".part");
}

bool DirectoryExchange::registerCopy(PeerTable &peers)
{
    if (isRunning())
        return false;
    m_peers = &peers;
    m_errorString.clear();
    m_registered = false;
    m_connectFailed = false;
    m_redialled = false;
    m_appendAttempts = 0;
    removeLeftovers();
    enter(State::Connecting);
    return true;
}

bool DirectoryExchange::unregisterCopy()
{
    if (m_leaving)
        return false;
    m_leaving = true;
    // An append on its way is let finish: dropped half-way, the server might
    // still write it after the download that is to remove it.
    if (m_state == State::Appending && m_ftp.isBusy()) {
        m_leaveAfterAppend = true;
        return true;
    }
    beginLeaving();
    return true;
}

void DirectoryExchange::beginLeaving()
{
    cancel();
    m_leaving = true;
    m_leaveAfterAppend = false;
    m_leftOk = false;
    m_errorString.clear();
    m_replaceAttempts = 0;
    m_restartAfterDiscard = false;
    m_redialled = false;
    // A name no other copy uses, so that two copies leaving at once never
    // send into the same file.
    m_remoteScratch = QStringLiteral("%1.%2-%3.tmp")
                          .arg(m_settings.remoteFile, m_settings.ownAddress)
                          .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    // However the server behaves, the program ends within this.
    m_exitDeadline.start(ExitDeadlineMs);
    enter(State::LeaveFetching);
}

void DirectoryExchange::exitDeadlinePassed()
{
    if (!m_leaving || m_state == State::Idle)
        return;
    m_ftp.cancel();
    m_stepTimer.stop();
    m_sliceTimer.stop();
    m_filter.reset();
    m_filterIn.reset();
    m_filterOut.reset();
    m_errorString = tr("The central directory did not answer within %1 s; it was left as it was")
                        .arg(ExitDeadlineMs / 1000);
    warn(m_errorString);
    m_leftOk = false;
    QFile::remove(scratchFile());
    m_state = State::Idle;
    m_leaving = false;
    emit unregistered(false);
}

void DirectoryExchange::removeLeftovers()
{
    // Temporary files of a run that was ended in the middle of a download.
    const QDir folder(m_settings.programFolder);
    const QStringList names = folder.entryList({QLatin1Char('.') + m_settings.remoteFile + QStringLiteral(".*")},
                                               QDir::Files | QDir::Hidden);
    for (const QString &name : names)
        QFile::remove(folder.filePath(name));
    QFile::remove(scratchFile());
}

void DirectoryExchange::cancel()
{
    m_ftp.cancel();
    m_stepTimer.stop();
    m_sliceTimer.stop();
    m_exitDeadline.stop();
    m_leaveAfterAppend = false;
    m_reader.reset();
    m_loadFile.reset();
    m_filter.reset();
    m_filterIn.reset();
    m_filterOut.reset(); // uncommitted: the local copy stays as it was
    QFile::remove(scratchFile());
    m_state = State::Idle;
    m_leaving = false;
}

void DirectoryExchange::queue(State state)
{
    // The next step waits behind the events that are pending now.
    m_queued = state;
    m_stepTimer.start(0);
}

void DirectoryExchange::enter(State state)
{
    m_state = state;
    const QPointer<DirectoryExchange> alive(this);
    switch (state) {
    case State::Idle:
        break;
    case State::Connecting:
        m_ftp.connectToHost();
        break;
    case State::Connected:
        emit stepReached(Step::Connected);
        if (alive && m_state == state)
            queue(State::Uploading);
        break;
    case State::Uploading:
        emit stepReached(Step::Uploading);
        if (alive && m_state == state)
            queue(State::Fetching);
        break;
    case State::Fetching:
    case State::Verifying:
    case State::LeaveFetching:
        // A step of its own gets its own tries; coming back from a redial
        // counts on.
        if (!std::exchange(m_redialled, false))
            m_fetchAttempts = 0;
        startFetch();
        break;
    case State::Appending:
        appendRecord();
        break;
    case State::Keeping:
        keepLocalCopy();
        queue(State::Disconnecting);
        break;
    case State::Disconnecting:
        emit stepReached(Step::Disconnecting);
        if (alive && m_state == state)
            queue(State::Loading);
        break;
    case State::Loading:
        emit stepReached(Step::Loading);
        if (alive && m_state == state)
            startLoading();
        break;
    case State::Done: {
        emit stepReached(Step::Done);
        if (!alive || m_state != state)
            return;
        m_state = State::Idle;
        emit registered(m_registered);
        break;
    }
    case State::Redialling:
        m_ftp.disconnectFromHost();
        break;
    case State::Reconnecting:
        m_ftp.connectToHost();
        break;
    case State::Filtering:
        leaveAfterFetch();
        break;
    case State::Sending:
        QFile::remove(scratchFile());
        m_ftp.put(localCopy(), m_remoteScratch);
        break;
    case State::CheckingCopy:
        m_ftp.stat(m_remoteScratch);
        break;
    case State::CheckingFile:
        m_ftp.stat(m_settings.remoteFile);
        break;
    case State::Replacing:
        m_ftp.rename(m_remoteScratch, m_settings.remoteFile);
        break;
    case State::Discarding:
        m_ftp.remove(m_remoteScratch);
        break;
    case State::Closing:
        m_ftp.disconnectFromHost();
        break;
    }
}

void DirectoryExchange::onFtpFinished(bool ok)
{
    switch (m_state) {
    case State::Connecting:
        m_connectFailed = !ok;
        if (!ok)
            warn(tr("Cannot log in to the central directory: %1").arg(m_ftp.errorString()));
        queue(State::Connected);
        break;
    case State::Fetching:
    case State::Verifying:
    case State::LeaveFetching:
        fetchFinished(ok);
        break;
    case State::Appending:
        if (m_leaveAfterAppend) {
            beginLeaving();
            break;
        }
        if (!ok)
            warn(tr("Cannot add this copy to the central directory: %1").arg(m_ftp.errorString()));
        // Whatever the server said, the file tells whether the record is there.
        m_queued = State::Verifying;
        m_stepTimer.start(VerifyDelayMs);
        break;
    case State::Redialling:
        // Between a failed download and the next: disconnect, connect.
        queue(State::Reconnecting);
        break;
    case State::Reconnecting:
        m_redialled = true;
        queue(m_fetchReturn);
        break;
    case State::Sending:
        if (!ok) {
            m_errorString = tr("Cannot upload the directory: %1").arg(m_ftp.errorString());
            queue(State::Discarding);
        } else {
            queue(State::CheckingCopy);
        }
        break;
    case State::CheckingCopy:
        if (ok && m_ftp.remoteSize() >= 0 && m_ftp.remoteSize() != m_filteredSize) {
            m_errorString = tr("The upload of the directory arrived incomplete (%1 of %2 bytes)")
                                .arg(m_ftp.remoteSize())
                                .arg(m_filteredSize);
            queue(State::Discarding);
        } else if (!ok) {
            m_errorString = tr("Cannot check the uploaded directory: %1").arg(m_ftp.errorString());
            queue(State::Discarding);
        } else {
            queue(State::CheckingFile);
        }
        break;
    case State::CheckingFile:
        if (ok && m_ftp.remoteSize() == m_sizeAfter && m_ftp.remoteTime() == m_timeAfter) {
            queue(State::Replacing);
        } else {
            // Another copy joined or left since the download: what was
            // filtered is out of date.
            m_restartAfterDiscard = true;
            queue(State::Discarding);
        }
        break;
    case State::Replacing:
        if (ok) {
            m_leftOk = true;
            queue(State::Closing);
        } else {
            m_errorString = tr("Cannot replace the directory: %1").arg(m_ftp.errorString());
            queue(State::Discarding);
        }
        break;
    case State::Discarding:
        if (std::exchange(m_restartAfterDiscard, false)) {
            if (++m_replaceAttempts < MaxReplaceAttempts) {
                qCDebug(lcDirectory) << "the directory changed during the exit; starting over";
                m_fetchAttempts = 0;
                queue(State::LeaveFetching);
            } else {
                endUnregistering(tr("The directory kept changing; it was left as it was"));
            }
        } else {
            endUnregistering(m_errorString);
        }
        break;
    case State::Closing: {
        m_state = State::Idle;
        m_leaving = false;
        m_exitDeadline.stop();
        QFile::remove(scratchFile());
        emit unregistered(m_leftOk);
        break;
    }
    default:
        break;
    }
}

// --- fetching -------------------------------------------------------------

void DirectoryExchange::startFetch()
{
    m_fetchPhase = FetchPhase::SizeBefore;
    m_fetchedNothing = false;
    m_absentBefore = false;
    m_sizeBefore = -1;
    m_timeBefore = QDateTime();
    m_fetchedSize = -1;
    m_sizeAfter = -1;
    m_timeAfter = QDateTime();
    m_ftp.stat(m_settings.remoteFile);
}

void DirectoryExchange::fetchFinished(bool ok)
{
    const FtpClient::Error error = m_ftp.error();
    switch (m_fetchPhase) {
    case FetchPhase::SizeBefore:
        if (ok) {
            m_sizeBefore = m_ftp.remoteSize();
            m_timeBefore = m_ftp.remoteTime();
            if (m_sizeBefore > m_settings.maxFileSize) {
                fetchFailed(tr("The central directory is %1 bytes, more than the %2 a copy reads")
                                .arg(m_sizeBefore)
                                .arg(m_settings.maxFileSize),
                            true);
                return;
            }
        } else if (error == FtpClient::NotFoundError) {
            m_absentBefore = true;
        } else {
            fetchFailed(m_ftp.errorString(), isConnectionLevel(error) && !m_leaving);
            return;
        }
        m_fetchPhase = FetchPhase::Download;
        m_ftp.get(m_settings.remoteFile, scratchFile(), m_settings.maxFileSize);
        return;
    case FetchPhase::Download:
        if (ok) {
            m_fetchedSize = m_ftp.bytesTransferred();
            m_fetchPhase = FetchPhase::SizeAfter;
            m_ftp.stat(m_settings.remoteFile);
        } else if (error == FtpClient::NotFoundError && m_absentBefore) {
            // No directory yet: this copy starts it.
            QFile empty(scratchFile());
            if (!empty.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                fetchFailed(tr("Cannot write %1: %2").arg(scratchFile(), empty.errorString()), true);
                return;
            }
            empty.close();
            m_fetchedNothing = true;
            fetched();
        } else if (error == FtpClient::TooLargeError) {
            fetchFailed(tr("The central directory is more than the %1 bytes a copy reads")
                            .arg(m_settings.maxFileSize),
                        true);
        } else {
            fetchFailed(m_ftp.errorString(), isConnectionLevel(error) && !m_leaving);
        }
        return;
    case FetchPhase::SizeAfter: {
        if (ok) {
            m_sizeAfter = m_ftp.remoteSize();
            m_timeAfter = m_ftp.remoteTime();
        }
        const bool unknown = m_sizeBefore < 0 && m_sizeAfter < 0;
        if (m_leaving) {
            // What "Exit" writes back is built on this download: it must be
            // the file as it stands now, checked, not one a moment old.
            const bool settled = m_fetchedSize == m_sizeAfter && m_sizeBefore == m_sizeAfter
                && (!m_timeBefore.isValid() || !m_timeAfter.isValid() || m_timeBefore == m_timeAfter);
            if (unknown)
                fetchFailed(tr("The server does not tell the size of the central directory, so a download "
                               "cannot be checked whole"),
                            true);
            else if (settled)
                fetched();
            else
                fetchFailed(tr("The central directory changed or was cut short during the download (%1 bytes, "
                               "the server lists %2)")
                                .arg(m_fetchedSize)
                                .arg(m_sizeAfter),
                            false);
        } else if (unknown || m_fetchedSize == m_sizeBefore || m_fetchedSize == m_sizeAfter) {
            fetched();
        } else {
            fetchFailed(tr("The download of the central directory was cut short (%1 bytes, the server "
                           "lists %2)")
                            .arg(m_fetchedSize)
                            .arg(m_sizeAfter >= 0 ? m_sizeAfter : m_sizeBefore),
                        false);
        }
        return;
    }
    }
}

void DirectoryExchange::fetchFailed(const QString &why, bool final)
{
    QFile::remove(scratchFile());
    ++m_fetchAttempts;
    qCDebug(lcDirectory) << "download" << m_fetchAttempts << "failed:" << why;
    // At "Connect" a server that could not be reached at the log-in is not
    // asked again: each try would cost the connect bound.
    const bool giveUp = final || m_fetchAttempts >= MaxFetchAttempts || (m_state == State::Fetching && m_connectFailed);
    if (!giveUp) {
        // Disconnect, let events run, connect, let events run, fetch again.
        m_fetchReturn = m_state;
        queue(State::Redialling);
        return;
    }
    switch (m_state) {
    case State::Fetching:
        endRegistering(tr("Cannot download the central directory: %1").arg(why));
        break;
    case State::Verifying:
        endRegistering(tr("Cannot check the registration in the central directory: %1").arg(why));
        break;
    default:
        endUnregistering(tr("Cannot download the central directory: %1").arg(why));
        break;
    }
}

void DirectoryExchange::fetched()
{
    m_fetchedEndsWithLineEnd = endsWithLineEnd(scratchFile());
    const qint64 own = countRecordsOf(scratchFile(), m_settings.ownAddress);
    switch (m_state) {
    case State::Fetching:
        m_ownBefore = own;
        queue(State::Appending);
        break;
    case State::Verifying:
        if (own > m_ownBefore) {
            m_registered = true;
            queue(State::Keeping);
        } else if (++m_appendAttempts < MaxAppendAttempts) {
            qCDebug(lcDirectory) << "this copy's record is not in the directory; appending it again";
            m_ownBefore = own;
            queue(State::Appending);
        } else {
            keepLocalCopy();
            endRegistering(tr("This copy's record did not stay in the central directory"));
        }
        break;
    default:
        queue(State::Filtering);
        break;
    }
}

bool DirectoryExchange::keepLocalCopy()
{
    // The download replaces the local copy in one step.
    if (std::rename(QFile::encodeName(scratchFile()).constData(), QFile::encodeName(localCopy()).constData()) == 0)
        return true;
    warn(tr("Cannot keep the local copy %1").arg(localCopy()));
    QFile::remove(scratchFile());
    return false;
}

// --- registering ------------------------------------------------------------

void DirectoryExchange::appendRecord()
{
    QByteArray bytes = Directory::startupRecord(m_settings.ownAddress, 0);
    // A record always starts on a line of its own.
    if (!m_fetchedEndsWithLineEnd)
        bytes.prepend("\r\n");
    m_ftp.append(bytes, m_settings.remoteFile);
}

void DirectoryExchange::endRegistering(const QString &error)
{
    m_errorString = error;
    warn(error);
    QFile::remove(scratchFile());
    queue(State::Disconnecting);
}

void DirectoryExchange::startLoading()
{
    m_loadFile = std::make_unique<QFile>(localCopy());
    if (m_loadFile->open(QIODevice::ReadOnly)) {
        m_reader = std::make_unique<DirectoryReader>(m_loadFile.get());
    } else {
        if (m_loadFile->exists())
            warn(tr("Cannot read the local copy %1: %2").arg(localCopy(), m_loadFile->errorString()));
        m_loadFile.reset();
    }
    loadSlice();
}

void DirectoryExchange::loadSlice()
{
    QElapsedTimer clock;
    clock.start();
    int sinceCheck = 0;
    while (m_reader) {
        if (++sinceCheck == RecordsPerClockCheck) {
            sinceCheck = 0;
            if (clock.elapsed() >= SliceMs) {
                m_sliceTimer.start(0);
                return;
            }
        }
        // Past the table's end nothing more would be stored.
        const std::optional<DirectoryRecord> record =
            m_peers->count() < PeerTable::PeerLimit ? m_reader->next() : std::nullopt;
        if (!record) {
            m_reader.reset();
            m_loadFile.reset();
            break;
        }
        Directory::store(*m_peers, *record);
    }
    // Unregistered, the copy still knows itself, as the last entry.
    if (!m_registered && m_peers->count() < PeerTable::PeerLimit)
        m_peers->addRecord(m_settings.ownAddress, QStringLiteral("0"));
    queue(State::Done);
}

// --- unregistering ----------------------------------------------------------

void DirectoryExchange::leaveAfterFetch()
{
    if (m_fetchedNothing) {
        // No directory on the server: nothing of this copy to take out.
        m_leftOk = true;
        queue(State::Closing);
        return;
    }
    m_filterIn = std::make_unique<QFile>(scratchFile());
    m_filterOut = std::make_unique<ReplacingFile>(localCopy());
    if (!m_filterIn->open(QIODevice::ReadOnly)) {
        endUnregistering(tr("Cannot read the downloaded directory: %1").arg(m_filterIn->errorString()));
        return;
    }
    if (!m_filterOut->open()) {
        endUnregistering(tr("Cannot write %1: %2").arg(localCopy(), m_filterOut->errorString()));
        return;
    }
    m_filter = std::make_unique<DirectoryFilter>(m_filterIn.get(), m_filterOut.get(), m_settings.ownAddress);
    filterSlice();
}

void DirectoryExchange::filterSlice()
{
    if (!m_filter->step(SliceMs)) {
        m_sliceTimer.start(0);
        return;
    }
    const bool failed = m_filter->failed();
    const qint64 removed = m_filter->removed();
    m_filter.reset();
    m_filterIn.reset();
    if (!failed && removed == 0) {
        // Nothing of this copy in the directory: it stays as it is, and no
        // other copy's append can be lost to a rewrite.
        m_filterOut.reset();
        m_leftOk = true;
        queue(State::Closing);
        return;
    }
    if (failed || !m_filterOut->commit()) {
        const QString why = failed ? tr("the file could not be read or written") : m_filterOut->errorString();
        m_filterOut.reset();
        endUnregistering(tr("Cannot write the directory without this copy: %1").arg(why));
        return;
    }
    m_filteredSize = QFileInfo(localCopy()).size();
    m_filterOut.reset();
    // The download is deleted in the next step: freeing a large file takes
    // a while of its own.
    queue(State::Sending);
}

void DirectoryExchange::endUnregistering(const QString &error)
{
    m_errorString = error;
    warn(error);
    m_leftOk = false;
    QFile::remove(scratchFile());
    queue(State::Closing);
}

void DirectoryExchange::warn(const QString &what)
{
    qCWarning(lcDirectory).noquote() << what;
}
