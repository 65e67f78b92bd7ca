#include "directory/directoryexchange.h"

#include "directory/directorylog.h"
#include "directory/joinjob.h"
#include "directory/leavejob.h"

#include <QDir>
#include <QFile>

#include <utility>

namespace {

// Scratch files of the jobs beside the local copy.
constexpr const char *ScratchSuffixes[] = {"part", "part.again", "out", "check"};

// The upload journal's file, beside the local copy.
QString journalName(const DirectorySettings &settings)
{
    return u'.' + settings.remoteFile + QStringLiteral("-uploads");
}

} // namespace

DirectoryExchange::DirectoryExchange(DirectorySettings settings, QObject *parent)
    : QObject(parent)
    , m_settings(std::move(settings))
    , m_journal(QDir(m_settings.programFolder).filePath(journalName(m_settings)))
{
    m_ftp.setHost(m_settings.host);
    m_ftp.setUserName(m_settings.userName);
    m_ftp.setPassword(m_settings.password);
    m_giveUp.setSingleShot(true);
    connect(&m_giveUp, &QTimer::timeout, this, &DirectoryExchange::exitDeadlinePassed);
    m_dropAll.setSingleShot(true);
    connect(&m_dropAll, &QTimer::timeout, this, &DirectoryExchange::dropAllPassed);
}

DirectoryExchange::~DirectoryExchange()
{
    // The jobs work with this object's members: they go first, now.
    for (DirectoryJob *job : {static_cast<DirectoryJob *>(m_join.get()), static_cast<DirectoryJob *>(m_leave.get())}) {
        if (job)
            job->cancel();
    }
    m_join.reset();
    m_leave.reset();
}

bool DirectoryExchange::isRunning() const
{
    return m_leaving || (m_join && m_join->isRunning()) || (m_leave && m_leave->isRunning());
}

QString DirectoryExchange::stateName() const
{
    if (m_leave && m_leave->isRunning())
        return QStringLiteral("Leave/") + m_leave->stateName();
    if (m_join && m_join->isRunning())
        return QStringLiteral("Join/") + m_join->stateName();
    return QStringLiteral("Idle");
}

QString DirectoryExchange::deadlineText() const
{
    return tr("The central directory did not answer within %1 s; it was left as it was")
        .arg(qMax(1, m_exitDeadlineMs / 1000));
}

bool DirectoryExchange::registerCopy(PeerTable &peers)
{
    if (isRunning())
        return false;
    m_peers = &peers;
    m_errorString.clear();
    removeLocalLeftovers();
    retire(m_join);
    m_join = std::make_unique<JoinJob>(m_ftp, m_traits, m_journal, m_settings, peers, m_exitDeadlineMs);
    connect(m_join.get(), &JoinJob::stepReached, this, [this](JoinJob::Step step) {
        static_assert(int(JoinJob::Step::Done) == int(Step::Done));
        emit stepReached(static_cast<Step>(step));
    });
    connect(m_join.get(), &DirectoryJob::finished, this, &DirectoryExchange::joinFinished);
    m_join->start();
    return true;
}

void DirectoryExchange::joinFinished(bool ok)
{
    if (m_leaving) {
        // "Exit" waited for the write on its way.
        if (m_deadlinePassed)
            endLeaving(false, deadlineText());
        else
            startLeaving();
        return;
    }
    m_errorString = m_join->errorString();
    emit registered(ok);
}

bool DirectoryExchange::unregisterCopy()
{
    if (m_leaving)
        return false;
    m_leaving = true;
    m_deadlinePassed = false;
    m_errorString.clear();
    // The deadline counts from here, the wait for a write of "Connect"
    // included. The running job gives up a share of it before, which leaves
    // it time to delete its temporary upload.
    const int giveUpMs = m_exitDeadlineMs - m_exitDeadlineMs / CleanupShare;
    m_giveUpAt = QDeadlineTimer(giveUpMs);
    m_giveUp.start(giveUpMs);
    m_dropAll.start(m_exitDeadlineMs);
    if (m_join && m_join->isRunning()) {
        m_join->setGiveUpAt(m_giveUpAt);
        if (m_join->stopAfterWrite())
            return true;
    }
    startLeaving();
    return true;
}

void DirectoryExchange::startLeaving()
{
    retire(m_join);
    retire(m_leave);
    m_leave = std::make_unique<LeaveJob>(m_ftp, m_traits, m_journal, m_settings, m_peers, m_exitDeadlineMs);
    m_leave->setGiveUpAt(m_giveUpAt);
    connect(m_leave.get(), &DirectoryJob::finished, this, &DirectoryExchange::leaveFinished);
    m_leave->start();
}

void DirectoryExchange::leaveFinished(bool ok)
{
    endLeaving(ok, m_leave->errorString());
}

void DirectoryExchange::exitDeadlinePassed()
{
    if (!m_leaving)
        return;
    m_deadlinePassed = true;
    qCWarning(lcDirectory).noquote() << deadlineText();
    if (m_join && m_join->isRunning())
        m_join->abort();
    else if (m_leave && m_leave->isRunning())
        m_leave->abort(deadlineText());
}

void DirectoryExchange::dropAllPassed()
{
    if ((m_join && m_join->overwritesDirectory()) || (m_leave && m_leave->overwritesDirectory())) {
        // The job ends once the directory is whole again, and "Exit" with it.
        qCWarning(lcDirectory) << "The central directory is being uploaded in its place; \"Exit\" waits for the"
                               << "upload to end";
        return;
    }
    dropJobs();
    endLeaving(false, deadlineText());
}

void DirectoryExchange::endLeaving(bool ok, const QString &error)
{
    if (!m_leaving)
        return;
    m_giveUp.stop();
    m_dropAll.stop();
    m_leaving = false;
    m_errorString = error;
    emit unregistered(ok);
}

void DirectoryExchange::dropJobs()
{
    retire(m_join);
    retire(m_leave);
    for (const char *suffix : ScratchSuffixes)
        QFile::remove(m_settings.scratch(suffix));
}

void DirectoryExchange::removeLocalLeftovers()
{
    // Temporary files of a run that was ended in the middle of writing the
    // local copy or the upload journal.
    const QDir folder(m_settings.programFolder);
    const QStringList names = folder.entryList(
        {u'.' + m_settings.remoteFile + QStringLiteral(".*"), u'.' + journalName(m_settings) + QStringLiteral(".*")},
        QDir::Files | QDir::Hidden);
    for (const QString &name : names)
        QFile::remove(folder.filePath(name));
    for (const char *suffix : ScratchSuffixes)
        QFile::remove(m_settings.scratch(suffix));
}
