#include "directory/directoryjob.h"

#include "directory/directorylog.h"

#include <utility>

DirectoryJob::DirectoryJob(FtpClient &ftp, QObject *parent)
    : QObject(parent)
    , m_ftp(ftp)
{
    m_stepTimer.setSingleShot(true);
    connect(&m_stepTimer, &QTimer::timeout, this, [this] {
        if (m_step)
            std::exchange(m_step, {})();
    });
    connect(&m_ftp, &FtpClient::finished, this, [this](bool ok) {
        if (!std::exchange(m_waiting, false))
            return;
        m_refused = false;
        ftpFinished(ok);
    });
}

DirectoryJob::~DirectoryJob() = default;

void DirectoryJob::begin()
{
    m_running = true;
    m_errorString.clear();
}

void DirectoryJob::cancel()
{
    if (m_waiting)
        m_ftp.cancel();
    m_waiting = false;
    m_refused = false;
    m_stepTimer.stop();
    m_step = {};
    m_comparison.reset();
    m_running = false;
}

void DirectoryJob::expect(bool started)
{
    m_refused = !started;
    if (started) {
        m_waiting = true;
        return;
    }
    // Nothing was started, so no finished() will come: the step fails here,
    // as the operation would have failed.
    qCDebug(lcDirectory) << metaObject()->className() << "the FTP client refused to start an operation at"
                         << stateName();
    queue([this] { ftpFinished(false); });
}

FtpClient::Error DirectoryJob::ftpError() const
{
    return m_refused ? FtpClient::BusyError : m_ftp.error();
}

QString DirectoryJob::ftpErrorString() const
{
    return m_refused ? tr("the FTP client did not start the command") : m_ftp.errorString();
}

void DirectoryJob::queue(std::function<void()> step, int delayMs)
{
    m_step = std::move(step);
    m_stepTimer.start(delayMs);
}

void DirectoryJob::inSlices(std::function<bool(int budgetMs)> slice, std::function<void()> then)
{
    if (!slice(SliceMs)) {
        queue([this, slice = std::move(slice), then = std::move(then)]() mutable {
            inSlices(std::move(slice), std::move(then));
        });
        return;
    }
    then();
}

void DirectoryJob::compareFiles(const QString &path, const QString &reference, FileComparison::Mode mode,
                                std::function<void(bool)> then)
{
    m_comparison = std::make_unique<FileComparison>(path, reference, mode);
    inSlices([this](int budgetMs) { return m_comparison->step(budgetMs); },
             [this, then = std::move(then)] {
                 const bool matches = m_comparison->matches();
                 m_comparison.reset();
                 then(matches);
             });
}

void DirectoryJob::finish(bool ok, const QString &error)
{
    m_errorString = ok ? QString() : error;
    m_running = false;
    m_stepTimer.stop();
    m_step = {};
    emit finished(ok);
}

void DirectoryJob::warn(const QString &what)
{
    qCWarning(lcDirectory).noquote() << what;
}
