#pragma once

#include "directory/filecomparison.h"
#include "directory/ftpclient.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

/// One job of the directory exchange: started once, it runs a sequence of
/// asynchronous steps over the shared FTP session and ends with finished(),
/// emitted once, from the event loop. Each job is one class whose state enum
/// reads in the order of its steps.
///
/// A job waits for the FTP operation it started and for nothing else; a
/// finished() of the client that belongs to another job's operation, or to
/// none, passes it by. A start the client refuses fails the step, from the
/// event loop, through the path a failed operation takes.
class DirectoryJob : public QObject
{
    Q_OBJECT

public:
    /// Longest time one slice of work on a file (loading, filtering,
    /// comparing) may hold the event loop.
    static constexpr int SliceMs = 4;

    explicit DirectoryJob(FtpClient &ftp, QObject *parent = nullptr);
    ~DirectoryJob() override;

    /// Starts the job; finished() follows, never from inside this call.
    virtual void start() = 0;
    /// Drops the job at once, without a signal.
    virtual void cancel();

    bool isRunning() const { return m_running; }
    /// Why the job did not reach its goal; empty when it did.
    QString errorString() const { return m_errorString; }
    /// The step the job is at, for logs and benchmarks.
    virtual QString stateName() const = 0;

signals:
    void finished(bool ok);

protected:
    /// Marks the job running; every start() calls it first.
    void begin();
    /// Waits for the FTP operation just started (started is what its start
    /// function returned).
    void expect(bool started);
    /// The FTP operation this job waited for has ended.
    virtual void ftpFinished(bool ok) = 0;
    /// What the operation this job waited for ran into.
    FtpClient::Error ftpError() const;
    QString ftpErrorString() const;
    /// Runs step after the events that are pending now (or after delayMs).
    void queue(std::function<void()> step, int delayMs = 0);
    /// Runs slice(SliceMs) now, and again after the pending events until it
    /// returns true; then runs then.
    void inSlices(std::function<bool(int budgetMs)> slice, std::function<void()> then);
    /// Compares path with reference in slices of SliceMs, then calls
    /// then(whether they match).
    void compareFiles(const QString &path, const QString &reference, FileComparison::Mode mode,
                      std::function<void(bool)> then);
    /// Ends the job with finished(ok); error is kept for errorString().
    void finish(bool ok, const QString &error = {});
    /// Leaves a warning for a failure the job goes on from.
    static void warn(const QString &what);

    FtpClient &m_ftp;

private:
    QTimer m_stepTimer;
    std::unique_ptr<FileComparison> m_comparison;
    std::function<void()> m_step;
    bool m_running = false;
    bool m_waiting = false;
    bool m_refused = false;
    QString m_errorString;
};

/// Hands a job that may be inside its own signal to the event loop for
/// deletion.
template <typename Job>
void retire(std::unique_ptr<Job> &job)
{
    if (!job)
        return;
    job->cancel();
    job.release()->deleteLater();
}
