#pragma once

#include "directory/exchangejob.h"

#include <QByteArray>
#include <QFile>

#include <memory>

struct PeerTable;
class DirectoryReader;
class FileCopy;
class RecordCount;

/// "Connect": puts this copy's record in the central directory and loads
/// the peer table.
///
///   Connecting     log in
///   Connected      reports Step::Connected
///   Uploading      reports Step::Uploading
///   Sweeping       deletes uploads an earlier exchange left (SweepJob)
///   Reading        downloads the directory (ReadJob)
///   Appending      appends this copy's two-line record (APPE), on a line
///                  of its own. A server that refuses APPE makes the job
///                  read again, settled, and go on
///   Replacing      by replacing the file: the download with the record at
///                  its end, copied a slice at a time, goes through
///                  ReplaceJob; a directory that changed meanwhile is read
///                  again, MaxReplaceAttempts in all
///   Waiting        VerifyDelayMs, then
///   Verifying      downloads it again: the record must be there, at the
///                  start of a line (counted a slice at a time), or it is
///                  added again, MaxAppendAttempts in all. An append cut off
///                  half-way may leave a piece of the record, and another
///                  copy's append may be glued to the end of such a piece
///   Keeping        that download becomes the local copy
///   Disconnecting  reports Step::Disconnecting (the session stays open)
///   Loading        reports Step::Loading, then loads the peer table from
///                  the local copy, a slice at a time
///   Done           reports Step::Done, then finished()
///
/// Nothing is written to the server that was not built on a download just
/// checked whole: when the directory cannot be read, the job leaves it
/// alone, adds this copy's record to the local copy, and loads that.
class JoinJob : public ExchangeJob
{
    Q_OBJECT

public:
    enum class State {
        Idle,
        Connecting,
        Connected,
        Uploading,
        Sweeping,
        Reading,
        Appending,
        Replacing,
        Waiting,
        Verifying,
        Keeping,
        Disconnecting,
        Loading,
        Done,
    };
    Q_ENUM(State)

    /// The points that the start-up window shows a text for.
    enum class Step { Connected, Uploading, Disconnecting, Loading, Done };
    Q_ENUM(Step)

    /// Adds of this copy's record before the job gives up.
    static constexpr int MaxAppendAttempts = 3;
    /// Wait after adding the record before reading it back: longer than
    /// another copy's check-then-rename at "Exit" takes, so a rename that
    /// overwrote the record is seen.
    static constexpr int VerifyDelayMs = 100;

    /// peers must outlive the job.
    JoinJob(FtpClient &ftp, ServerTraits &traits, UploadJournal &journal, const DirectorySettings &settings,
            PeerTable &peers, qint64 leftoverAgeMs, QObject *parent = nullptr);
    ~JoinJob() override;

    void start() override;
    void cancel() override;
    /// "Exit" is asked for. True when a write to the directory is on its
    /// way: the job lets it end (dropped half-way, the server might still
    /// write it after the download that is to remove it), then ends with
    /// finished(false). False when the job stopped at once, without a signal.
    bool stopAfterWrite();
    /// Gives up the write on its way (a temporary upload is still deleted,
    /// within a bound), then finished(false).
    void abort();

    QString stateName() const override;

signals:
    void stepReached(JoinJob::Step step);

protected:
    void ftpFinished(bool ok) override;
    void readFinished(bool ok) override;
    void replaceFinished() override;

private:
    void counted(qint64 own);
    void copied();
    void enter(State state);
    void report(Step step, State next);
    void read(State state);
    void appended(bool ok);
    void addAgainOrGiveUp(qint64 own);
    void fail(const QString &why);
    void keepDownload();
    void startLoading();
    void loaded();
    bool stopping();

    PeerTable &m_peers;
    QByteArray m_record;
    State m_state = State::Idle;

    bool m_connectFailed = false;
    bool m_registered = false;
    bool m_ownInTableOnly = false;
    bool m_stopAfterWrite = false;
    int m_addAttempts = 0;
    qint64 m_ownBefore = 0;

    std::unique_ptr<RecordCount> m_count;
    std::unique_ptr<FileCopy> m_copy;
    std::unique_ptr<QFile> m_loadFile;
    std::unique_ptr<DirectoryReader> m_reader;
};
