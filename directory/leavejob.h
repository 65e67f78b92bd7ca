#pragma once

#include "directory/exchangejob.h"

#include <QFile>

#include <memory>

struct PeerTable;
class DirectoryFilter;

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
///   Closing    says goodbye, waiting GoodbyeMs at most for the reply
///   Done       finished(ok): ok when no record of this copy is left
///
/// When the directory cannot be read, nothing is written and the local copy
/// stays as it was.
class LeaveJob : public ExchangeJob
{
    Q_OBJECT

public:
    enum class State { Idle, Sweeping, Reading, Filtering, Replacing, Keeping, Closing, Done };
    Q_ENUM(State)

    /// Longest wait for the reply to the goodbye: the directory is done with
    /// and the program ends right after, so nothing hangs on it.
    static constexpr int GoodbyeMs = 1000;

    /// peers, when given, is refilled from the download and must outlive
    /// the job.
    LeaveJob(FtpClient &ftp, ServerTraits &traits, UploadJournal &journal, const DirectorySettings &settings,
             PeerTable *peers, qint64 leftoverAgeMs, QObject *parent = nullptr);
    ~LeaveJob() override;

    void start() override;
    void cancel() override;
    /// Gives up (the deadline has come): the operation on its way is
    /// dropped, a temporary upload still deleted within a bound, then
    /// finished(false) with why. An upload straight over the directory that
    /// has begun is let end first (ReplaceJob::abort); when it replaced the
    /// directory, the job ends as if not given up.
    void abort(const QString &why);

    QString stateName() const override;

protected:
    void ftpFinished(bool ok) override;
    void readFinished(bool ok) override;
    void replaceFinished() override;

private:
    void enter(State state);
    void startFiltering();
    void filtered();
    void fail(const QString &error);
    void closed();

    PeerTable *m_peers;
    State m_state = State::Idle;

    std::unique_ptr<QFile> m_filterIn;
    std::unique_ptr<QFile> m_filterOut;
    std::unique_ptr<DirectoryFilter> m_filter;
    bool m_leftOk = false;
    bool m_aborting = false;
    QString m_keep;
};
