#include "directory/replacejob.h"

#include "directory/directorylog.h"
#include "directory/servertraits.h"
#include "directory/uploadjournal.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QRandomGenerator>

#include <utility>

ReplaceJob::ReplaceJob(FtpClient &ftp, ServerTraits &traits, UploadJournal &journal, QString remoteFile,
                       QString ownAddress, DirectorySnapshot base, QString newFile, QString scratch, qint64 maxSize,
                       QObject *parent)
    : DirectoryJob(ftp, parent)
    , m_traits(traits)
    , m_journal(journal)
    , m_remoteFile(std::move(remoteFile))
    , m_base(std::move(base))
    , m_newFile(std::move(newFile))
    , m_scratch(std::move(scratch))
    , m_maxSize(maxSize)
{
    // A name no other copy uses, so that two copies never send into the
    // same file, and one that tells whose it is.
    m_upload = QStringLiteral("%1.%2-%3.tmp")
                   .arg(m_remoteFile, ownAddress)
                   .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    m_cleanupBound.setSingleShot(true);
    connect(&m_cleanupBound, &QTimer::timeout, this, [this] {
        DirectoryJob::cancel();
        warn(tr("The temporary upload %1 could not be deleted in time; it is deleted at the next exchange")
                 .arg(m_upload));
        m_state = State::Done;
        finish(m_outcome == Outcome::Replaced, m_why);
    });
}

QString ReplaceJob::stateName() const
{
    return QString::fromLatin1(QMetaEnum::fromType<State>().valueToKey(int(m_state)));
}

void ReplaceJob::start()
{
    begin();
    m_outcome = Outcome::Failed;
    m_why.clear();
    m_storeAttempts = 0;
    m_aborting = false;
    m_overwriting = false;
    m_newSize = QFileInfo(m_newFile).size();
    // Where a rename over the directory is known to be refused, the upload
    // under a name of its own would only be deleted again.
    enter(m_traits.renameOverRefused() ? State::CheckingFile : State::Sending);
}

void ReplaceJob::cancel()
{
    m_cleanupBound.stop();
    DirectoryJob::cancel();
    QFile::remove(m_scratch);
    m_overwriting = false;
    m_state = State::Idle;
}

void ReplaceJob::abort()
{
    if (!isRunning() || m_aborting)
        return;
    m_aborting = true;
    if (m_overwriting) {
        warn(tr("Giving up waits for the upload over the directory to end: dropped half-way, it would leave the "
                "directory cut short"));
        return;
    }
    if (m_state == State::Discarding || m_state == State::CheckingDiscard) {
        // Already on the way out, with its outcome: only the delete is bounded.
        m_cleanupBound.start(CleanupMs);
        return;
    }
    m_outcome = Outcome::Failed;
    m_why = tr("Gave up before the directory was replaced");
    DirectoryJob::cancel();
    begin();
    m_cleanupBound.start(CleanupMs);
    if (m_uploadMayExist)
        enter(State::Discarding);
    else
        queue([this] { end(Outcome::Failed, m_why); });
}

void ReplaceJob::enter(State state)
{
    m_state = state;
    switch (state) {
    case State::Idle:
    case State::Done:
        break;
    case State::Sending:
        if (!m_journal.add(m_upload)) {
            // Unnoted, an upload that a refused delete or a killed process
            // leaves behind would never be found again.
            queue([this] { end(Outcome::Failed, tr("The upload journal cannot be written; nothing was uploaded")); });
            break;
        }
        m_uploadMayExist = true;
        expect(m_ftp.put(m_newFile, m_upload));
        break;
    case State::CheckingCopy:
        expect(m_ftp.stat(m_upload));
        break;
    case State::ReadingCopyBack:
        expect(m_ftp.get(m_upload, m_scratch, m_maxSize));
        break;
    case State::CheckingFile:
    case State::Rechecking:
    case State::Confirming:
        expect(m_ftp.stat(m_remoteFile));
        break;
    case State::ReadingFile:
    case State::ReadingBack:
        expect(m_ftp.get(m_remoteFile, m_scratch, m_maxSize));
        break;
    case State::Renaming:
        expect(m_ftp.rename(m_upload, m_remoteFile));
        break;
    case State::Storing:
        m_overwriting = true;
        expect(m_ftp.put(m_newFile, m_remoteFile));
        break;
    case State::Discarding:
        expect(m_ftp.remove(m_upload));
        break;
    case State::CheckingDiscard:
        expect(m_ftp.stat(m_upload));
        break;
    }
}

void ReplaceJob::ftpFinished(bool ok)
{
    switch (m_state) {
    case State::Sending:
        if (ok)
            enter(State::CheckingCopy);
        else
            end(Outcome::Failed, tr("Cannot upload the directory: %1").arg(ftpErrorString()));
        break;
    case State::CheckingCopy:
        checkedCopy(ok);
        break;
    case State::ReadingCopyBack:
        if (!ok) {
            end(Outcome::Failed, tr("Cannot read the uploaded directory back: %1").arg(ftpErrorString()));
            break;
        }
        compareFiles(m_scratch, m_newFile, FileComparison::Mode::Same, [this](bool same) {
            QFile::remove(m_scratch);
            if (same)
                enter(State::CheckingFile);
            else
                end(Outcome::Failed, tr("The upload of the directory arrived altered"));
        });
        break;
    case State::CheckingFile:
        checkedFile(ok);
        break;
    case State::ReadingFile:
        if (!ok) {
            if (ftpError() == FtpClient::NotFoundError)
                m_base.absent ? unchanged() : end(Outcome::Changed);
            else
                end(Outcome::Failed, tr("Cannot read the directory again: %1").arg(ftpErrorString()));
            break;
        }
        compareFiles(m_scratch, m_base.path, FileComparison::Mode::Same, [this](bool same) {
            QFile::remove(m_scratch);
            same ? enter(State::Rechecking) : end(Outcome::Changed);
        });
        break;
    case State::Rechecking:
        rechecked(ok);
        break;
    case State::Renaming:
        if (ok) {
            m_traits.noteRenameOverWorked();
            m_uploadMayExist = false;
            m_journal.forget(m_upload);
            end(Outcome::Replaced);
        } else if (ftpError() == FtpClient::RemoteFileError) {
            if (m_traits.noteRenameOverRefused()) {
                // Servers on some systems never rename over an existing file.
                warn(tr("The server refuses to rename over the directory again (%1); it is uploaded in its place "
                        "from now on")
                         .arg(ftpErrorString()));
                enter(State::CheckingFile);
            } else {
                warn(tr("The server refused to rename over the directory (%1); trying again").arg(ftpErrorString()));
                end(Outcome::Changed, tr("The server refused to rename over the directory"));
            }
        } else {
            end(Outcome::Failed, tr("Cannot replace the directory: %1").arg(ftpErrorString()));
        }
        break;
    case State::Storing:
        if (ok)
            enter(State::Confirming);
        else
            storeAgain(ftpErrorString());
        break;
    case State::Confirming:
        confirmed(ok);
        break;
    case State::ReadingBack:
        if (!ok) {
            storeAgain(ftpErrorString());
            break;
        }
        // Another copy may have appended its record right after the upload.
        compareFiles(m_scratch, m_newFile, FileComparison::Mode::Prefix, [this](bool whole) {
            QFile::remove(m_scratch);
            whole ? end(Outcome::Replaced) : storeAgain(tr("it arrived incomplete"));
        });
        break;
    case State::Discarding:
        discarded(ok);
        break;
    case State::CheckingDiscard:
        checkedDiscard(ok);
        break;
    case State::Idle:
    case State::Done:
        break;
    }
}

void ReplaceJob::checkedCopy(bool ok)
{
    if (!ok) {
        end(Outcome::Failed, tr("Cannot check the uploaded directory: %1").arg(ftpErrorString()));
        return;
    }
    m_traits.noteServerTime(m_ftp.remoteTime());
    const qint64 size = m_ftp.remoteSize();
    if (size < 0) {
        // Unconfirmed, an upload is never put in the directory's place.
        enter(State::ReadingCopyBack);
    } else if (size != m_newSize) {
        end(Outcome::Failed,
            tr("The upload of the directory arrived incomplete (%1 of %2 bytes)").arg(size).arg(m_newSize));
    } else {
        enter(State::CheckingFile);
    }
}

void ReplaceJob::checkedFile(bool ok)
{
    if (!ok) {
        if (ftpError() == FtpClient::NotFoundError)
            m_base.absent ? unchanged() : end(Outcome::Changed);
        else
            end(Outcome::Failed, tr("Cannot check the directory: %1").arg(ftpErrorString()));
        return;
    }
    if (m_base.absent) {
        end(Outcome::Changed);
        return;
    }
    const qint64 size = m_ftp.remoteSize();
    const QDateTime time = m_ftp.remoteTime();
    if ((size >= 0 && size != m_base.size) || (time.isValid() && m_base.time.isValid() && time != m_base.time)) {
        end(Outcome::Changed);
        return;
    }
    // The same size and time: another copy's change in the second the
    // download saw leaves both as they were. Only a download that began
    // later than that second by the server's clock rules it out.
    const bool proven = size >= 0 && time.isValid() && m_base.startedAtLeast.isValid()
        && m_base.startedAtLeast >= m_base.time.addSecs(TimeProofMarginS);
    if (proven)
        unchanged();
    else
        enter(State::ReadingFile);
}

void ReplaceJob::rechecked(bool ok)
{
    if (!ok) {
        ftpError() == FtpClient::NotFoundError
            ? end(Outcome::Changed)
            : end(Outcome::Failed, tr("Cannot check the directory: %1").arg(ftpErrorString()));
        return;
    }
    const qint64 size = m_ftp.remoteSize();
    const QDateTime time = m_ftp.remoteTime();
    if ((size >= 0 && size != m_base.size) || (time.isValid() && m_base.time.isValid() && time != m_base.time))
        end(Outcome::Changed);
    else
        unchanged();
}

void ReplaceJob::unchanged()
{
    if (!m_traits.renameOverRefused()) {
        enter(State::Renaming);
    } else if (!timeToStore()) {
        end(Outcome::Failed, tr("Too little time was left to upload the directory whole; it was left as it was"));
    } else {
        enter(State::Storing);
    }
}

bool ReplaceJob::timeToStore() const
{
    // The upload moves about as many bytes over the same link as the
    // download did, and its check may read them back.
    const qint64 needMs = qMax<qint64>(StoreLeadMs, 2 * m_base.downloadMs);
    return m_giveUpAt.isForever() || m_giveUpAt.remainingTime() >= needMs;
}

void ReplaceJob::confirmed(bool ok)
{
    if (ok && m_ftp.remoteSize() == m_newSize)
        end(Outcome::Replaced);
    else
        enter(State::ReadingBack);
}

void ReplaceJob::storeAgain(const QString &why)
{
    if (++m_storeAttempts < MaxStoreAttempts) {
        warn(tr("The upload over the directory failed (%1); uploading it again").arg(why));
        enter(State::Storing);
        return;
    }
    end(Outcome::Failed, tr("The directory could not be uploaded whole (%1); it may be incomplete").arg(why));
}

void ReplaceJob::end(Outcome outcome, const QString &why)
{
    m_outcome = outcome;
    m_why = outcome == Outcome::Changed && why.isEmpty() ? tr("Another copy changed the directory meanwhile") : why;
    m_overwriting = false;
    if (m_uploadMayExist && m_state != State::Discarding && m_state != State::CheckingDiscard) {
        if (m_aborting && !m_cleanupBound.isActive())
            m_cleanupBound.start(CleanupMs);
        enter(State::Discarding);
        return;
    }
    m_cleanupBound.stop();
    m_state = State::Done;
    finish(m_outcome == Outcome::Replaced, m_why);
}

void ReplaceJob::discarded(bool ok)
{
    if (!ok && ftpError() == FtpClient::RemoteFileError) {
        // An upload that is not there (its rename went through after all, or
        // it was never made) is refused like one the server keeps.
        m_refusal = ftpErrorString();
        enter(State::CheckingDiscard);
        return;
    }
    if (ok || ftpError() == FtpClient::NotFoundError)
        m_journal.forget(m_upload);
    else
        warn(tr("Cannot delete the temporary upload %1: %2; it is deleted at the next exchange")
                 .arg(m_upload, ftpErrorString()));
    m_uploadMayExist = false;
    end(m_outcome, m_why);
}

void ReplaceJob::checkedDiscard(bool ok)
{
    // Only the server's word that it is gone: one that does not tell sizes
    // may still hold it.
    if (!ok && ftpError() == FtpClient::NotFoundError)
        m_journal.forget(m_upload);
    else
        warn(tr("Cannot delete the temporary upload %1: %2; it is deleted at the next exchange")
                 .arg(m_upload, m_refusal));
    m_uploadMayExist = false;
    end(m_outcome, m_why);
}
