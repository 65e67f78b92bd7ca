#pragma once

#include "directory/directoryjob.h"
#include "directory/directorysettings.h"

#include <QFile>

#include <memory>

struct PeerTable;
class DirectoryFilter;
class ReadJob;
class ReplaceJob;
class ServerTraits;
class SweepJob;
class UploadJournal;

/// "Exit": takes this copy's records out of the central directory.
///
///   Sweeping   deletes uploads an earlier exchange left (SweepJob)
///   Reading    downloads the directory, settled: the file as the server
///              lists it after the download (ReadJob)
///   Filtering  writes it without this copy's records (DirectoryFilter), a
///              slice at a time, and refills the peer table from it, this
///              copy's entries blanked; with none of them in it the
///              directory is left as it is
///   Replacing  puts the result in the directory's place (ReplaceJob); if
///              another copy changed the directory meanwhile, from Reading
///              again, MaxReplaceAttempts in all
///   Keeping    what the server now holds becomes the local copy
///   Closing    says goodbye
///   Done       finished(ok): ok when no record of this copy is left
///
/// When the directory cannot be read, nothing is written and the local copy
/// stays as it was.
class LeaveJob : public DirectoryJob
{
    Q_OBJECT

public:
    enum class State { Idle, Sweeping, Reading, Filtering, Replacing, Keeping, Closing, Done };
    Q_ENUM(State)

    /// Rewrites that other copies may spoil before the job gives up.
    static constexpr int MaxReplaceAttempts = 5;

    /// peers, when given, is refilled from the download and must outlive
    /// the job. Uploads noted in journal older than leftoverAgeMs are
    /// deleted on the way.
    LeaveJob(FtpClient &ftp, ServerTraits &traits, UploadJournal &journal, const DirectorySettings &settings,
             PeerTable *peers, qint64 leftoverAgeMs, QObject *parent = nullptr);
    ~LeaveJob() override;

    void start() override;
    void cancel() override;
    /// Gives up (the deadline has come): the operation on its way is
    /// dropped, a temporary upload still deleted within a bound, then
    /// finished(false) with why.
    void abort(const QString &why);

    QString stateName() const override;

protected:
    void ftpFinished(bool ok) override;

private:
    void enter(State state);
    void readFinished(bool ok);
    void startFiltering();
    void filterSlice();
    void replaceFinished();
    void end(const QString &error);

    ServerTraits &m_traits;
    UploadJournal &m_journal;
    const DirectorySettings &m_settings;
    PeerTable *m_peers;
    qint64 m_leftoverAgeMs;
    State m_state = State::Idle;

    std::unique_ptr<SweepJob> m_sweep;
    std::unique_ptr<ReadJob> m_read;
    std::unique_ptr<ReplaceJob> m_replace;
    std::unique_ptr<QFile> m_filterIn;
    std::unique_ptr<QFile> m_filterOut;
    std::unique_ptr<DirectoryFilter> m_filter;
    int m_replaceAttempts = 0;
    bool m_leftOk = false;
    bool m_aborting = false;
    QString m_keep;
    QString m_error;
};
