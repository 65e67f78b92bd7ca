#pragma once

#include "directory/directoryjob.h"
#include "directory/directorysettings.h"
#include "directory/readjob.h"

#include <QDeadlineTimer>
#include <QString>

#include <functional>
#include <memory>

class ReplaceJob;
class ServerTraits;
class SweepJob;
class UploadJournal;

/// What "Connect" (JoinJob) and "Exit" (LeaveJob) share: what the session
/// knows of the server, the upload journal and the settings; the jobs they
/// are built of (SweepJob, ReadJob, ReplaceJob), each running in a step of
/// theirs; and the scratch files beside the local copy.
class ExchangeJob : public DirectoryJob
{
    Q_OBJECT

public:
    /// Replacements that other copies may spoil before the job gives up.
    static constexpr int MaxReplaceAttempts = 5;

    ~ExchangeJob() override;

    /// Drops the parts and the scratch files too.
    void cancel() override;

    /// When the job will be given up: no upload straight over the directory
    /// begins that could not end by then (ReplaceJob::setGiveUpAt).
    void setGiveUpAt(QDeadlineTimer giveUpAt);
    /// An upload straight over the directory is on its way or not yet
    /// confirmed whole: the job must not be dropped now.
    bool overwritesDirectory() const;

protected:
    /// Uploads noted in journal older than leftoverAgeMs are deleted by
    /// sweep().
    ExchangeJob(FtpClient &ftp, ServerTraits &traits, UploadJournal &journal, const DirectorySettings &settings,
                qint64 leftoverAgeMs, QObject *parent);

    /// Deletes the uploads an earlier exchange left (SweepJob), then runs
    /// then; at once when there are none.
    void sweep(const std::function<void()> &then);
    /// A download of the directory into the scratch file "part" (ReadJob),
    /// to be started; readFinished() follows its end.
    ReadJob &newRead(ReadJob::Check check);
    virtual void readFinished(bool ok) = 0;
    /// Puts newFile in the place of the directory the last read saw
    /// (ReplaceJob); replaceFinished() follows.
    void replace(const QString &newFile);
    virtual void replaceFinished() = 0;
    /// Counts a replacement that another copy spoilt; whether another try
    /// is left.
    bool mayReplaceAgain() { return ++m_replaceAttempts < MaxReplaceAttempts; }

    /// Makes file the local copy, in one step; false, with a warning, when
    /// it cannot.
    bool keepAsLocalCopy(const QString &file);
    /// Removes the scratch files of a download and of a new directory.
    void removeScratch() const;
    /// name, and the step of the part that runs, if one does.
    QString withRunningPart(const QString &name) const;

    ServerTraits &m_traits;
    UploadJournal &m_journal;
    const DirectorySettings &m_settings;
    std::unique_ptr<ReadJob> m_read;
    std::unique_ptr<ReplaceJob> m_replace;
    int m_replaceAttempts = 0;
    QString m_error;

private:
    qint64 m_leftoverAgeMs;
    QDeadlineTimer m_giveUpAt{QDeadlineTimer::Forever};
    std::unique_ptr<SweepJob> m_sweep;
};
