#pragma once

#include "directory/directoryjob.h"
#include "directory/readjob.h"

#include <QDeadlineTimer>
#include <QString>
#include <QTimer>

class ServerTraits;
class UploadJournal;

/// Puts a new directory file in the place of the one a settled download
/// saw, only while the server's file is still that one, and never half
/// written.
///
///   Sending          upload the new file under a name of this copy's own
///                    (noted in the upload journal first: an upload that
///                    cannot be noted is not made)
///   CheckingCopy     the upload must have arrived whole: its size, or,
///   ReadingCopyBack  where the server tells no size, its bytes read back
///   CheckingFile     the directory must be the file the download saw: a
///                    size or time that differs is a change; equal ones
///                    prove nothing changed only when the download began
///                    TimeProofMarginS after the file's time, by the
///                    server's clock; else
///   ReadingFile      the directory is read again and compared byte for byte,
///   Rechecking       and its size and time asked once more: a download takes
///                    a while, and what counts is the file right before
///                    the next step
///   Renaming         the upload is renamed over the directory (RNFR/RNTO),
///                    one step on the server. A refusal ends the attempt
///                    Changed, to be built again; refused again in a row
///                    (ServerTraits), the server never renames over a file
///                    and the session goes on with
///   Storing          the new file uploaded straight over the directory,
///                    right after the check,
///   Confirming       and confirmed: its size, or
///   ReadingBack      its bytes read back; what another copy appended
///                    meanwhile may follow. A broken store is repeated,
///                    MaxStoreAttempts in all
///   Discarding       the upload is deleted, on every way out; after a
///   CheckingDiscard  refused delete the server is asked about it (SIZE):
///                    only one it says is gone counts as deleted
///   Done
///
/// Ends Replaced, Changed (another copy changed the directory, or the server
/// refused the rename once: build again from a fresh download) or Failed.
/// abort() gives up at once but still deletes the upload, within CleanupMs.
///
/// The server empties the directory as soon as a direct upload opens it, so
/// one that has begun is never dropped by this copy's own giving up: from
/// Storing to its end (the checks and the repeats included) abort() only
/// notes it, and the job ends when the directory is whole again or the
/// repeats are used up. A direct upload does not begin once giving up has
/// begun, nor when the time left before giveUpAt() is shorter than twice
/// what the download of the directory took, or StoreLeadMs.
class ReplaceJob : public DirectoryJob
{
    Q_OBJECT

public:
    enum class State {
        Idle,
        Sending,
        CheckingCopy,
        ReadingCopyBack,
        CheckingFile,
        ReadingFile,
        Rechecking,
        Renaming,
        Storing,
        Confirming,
        ReadingBack,
        Discarding,
        CheckingDiscard,
        Done,
    };
    Q_ENUM(State)

    enum class Outcome { Replaced, Changed, Failed };
    Q_ENUM(Outcome)

    /// A time in whole seconds tells apart only changes a second apart; one
    /// second more for two clocks that do not run quite alike.
    static constexpr int TimeProofMarginS = 2;
    /// Direct uploads over the directory before the job gives up.
    static constexpr int MaxStoreAttempts = 3;
    /// Longest wait for deleting the upload after abort().
    static constexpr int CleanupMs = 5000;
    /// Least time left before giving up in which a direct upload begins.
    static constexpr int StoreLeadMs = 2000;

    /// base: the settled download the new file was built from. newFile: the
    /// local file to put in its place. scratch: a local file the job may
    /// write for its checks. ownAddress names the temporary upload.
    ReplaceJob(FtpClient &ftp, ServerTraits &traits, UploadJournal &journal, QString remoteFile, QString ownAddress,
               DirectorySnapshot base, QString newFile, QString scratch, qint64 maxSize, QObject *parent = nullptr);

    void start() override;
    void cancel() override;
    /// Gives up: the operation on its way is dropped, the upload deleted
    /// (within CleanupMs), then finished(false). A direct upload over the
    /// directory that has begun is let end instead, and finished() follows
    /// its end.
    void abort();
    /// When the job will be given up; no direct upload begins that could
    /// not end by then. Forever unless set.
    void setGiveUpAt(QDeadlineTimer giveUpAt) { m_giveUpAt = giveUpAt; }
    /// A direct upload over the directory is on its way, or not yet
    /// confirmed whole: dropping the job now could leave the directory cut
    /// short for every copy.
    bool overwritesDirectory() const { return m_overwriting; }
    QString stateName() const override;
    Outcome outcome() const { return m_outcome; }

protected:
    void ftpFinished(bool ok) override;

private:
    void enter(State state);
    void checkedCopy(bool ok);
    void checkedFile(bool ok);
    void rechecked(bool ok);
    void unchanged();
    bool timeToStore() const;
    void confirmed(bool ok);
    void storeAgain(const QString &why);
    void end(Outcome outcome, const QString &why = {});
    void discarded(bool ok);
    void checkedDiscard(bool ok);

    ServerTraits &m_traits;
    UploadJournal &m_journal;
    QString m_remoteFile;
    DirectorySnapshot m_base;
    QString m_newFile;
    QString m_scratch;
    qint64 m_maxSize;
    qint64 m_newSize = 0;
    QString m_upload;
    State m_state = State::Idle;
    Outcome m_outcome = Outcome::Failed;
    QString m_why;
    QString m_refusal;
    bool m_uploadMayExist = false;
    bool m_aborting = false;
    bool m_overwriting = false;
    int m_storeAttempts = 0;
    QDeadlineTimer m_giveUpAt{QDeadlineTimer::Forever};
    QTimer m_cleanupBound;
};
