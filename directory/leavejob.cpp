#include "directory/leavejob.h"

#include "directory/directory.h"
#include "directory/directoryfilter.h"
#include "directory/directorylog.h"
#include "directory/replacejob.h"
#include "directory/tamsin.h"

#include <QMetaEnum>

LeaveJob::LeaveJob(FtpClient &ftp, ServerTraits &traits, UploadJournal &journal, const DirectorySettings &settings,
                   PeerTable *peers, qint64 leftoverAgeMs, QObject *parent)
    : ExchangeJob(ftp, traits, journal, settings, leftoverAgeMs, parent)
    , m_peers(peers)
{
}

LeaveJob::~LeaveJob() = default;

QString LeaveJob::stateName() const
{
    return withRunningPart(QString::fromLatin1(QMetaEnum::fromType<State>().valueToKey(int(m_state))));
}

void LeaveJob::start()
{
    begin();
    m_replaceAttempts = 0;
    m_leftOk = false;
    m_aborting = false;
    m_keep.clear();
    m_error.clear();
    enter(State::Sweeping);
}

void LeaveJob::cancel()
{
    m_filter.reset();
    m_filterIn.reset();
    m_filterOut.reset();
    ExchangeJob::cancel();
    m_state = State::Idle;
}

void LeaveJob::abort(const QString &why)
{
    if (!isRunning() || m_aborting)
        return;
    m_aborting = true;
    if (m_state == State::Keeping || m_state == State::Closing) {
        // The directory is done with; only the goodbye is dropped.
        cancel();
        begin();
        queue([this] { finish(m_leftOk, m_error); });
        return;
    }
    m_error = why;
    if (m_state == State::Replacing && m_replace && m_replace->isRunning()) {
        // Its upload is deleted first; replaceFinished() ends the job.
        m_replace->abort();
        return;
    }
    cancel();
    begin();
    queue([this] { finish(false, m_error); });
}

void LeaveJob::enter(State state)
{
    m_state = state;
    switch (state) {
    case State::Idle:
    case State::Done:
        break;
    case State::Sweeping:
        sweep([this] { enter(State::Reading); });
        break;
    case State::Reading:
        newRead(ReadJob::Check::Settled).start();
        break;
    case State::Filtering:
        startFiltering();
        break;
    case State::Replacing:
        replace(m_settings.scratch("out"));
        break;
    case State::Keeping:
        // The local copy mirrors what the server holds now.
        keepAsLocalCopy(m_keep);
        removeScratch();
        queue([this] { enter(State::Closing); });
        break;
    case State::Closing:
        // A goodbye the server holds ends with the connection dropped; a
        // start the client refuses replaces this step with its failure.
        queue(
            [this] {
                DirectoryJob::cancel();
                closed();
            },
            GoodbyeMs);
        expect(m_ftp.disconnectFromHost());
        break;
    }
}

void LeaveJob::ftpFinished(bool)
{
    if (m_state == State::Closing)
        closed();
}

void LeaveJob::closed()
{
    m_state = State::Done;
    finish(m_leftOk, m_error);
}

void LeaveJob::readFinished(bool ok)
{
    if (!ok) {
        fail(tr("Cannot download the central directory: %1").arg(m_read->errorString()));
        return;
    }
    queue([this] { enter(State::Filtering); });
}

void LeaveJob::startFiltering()
{
    const QString download = m_read->snapshot().path;
    m_filterIn = std::make_unique<QFile>(download);
    m_filterOut = std::make_unique<QFile>(m_settings.scratch("out"));
    if (!m_filterIn->open(QIODevice::ReadOnly)) {
        fail(tr("Cannot read the downloaded directory: %1").arg(m_filterIn->errorString()));
        return;
    }
    if (!m_filterOut->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fail(tr("Cannot write %1: %2").arg(m_filterOut->fileName(), m_filterOut->errorString()));
        return;
    }
    m_filter = std::make_unique<DirectoryFilter>(m_filterIn.get(), m_filterOut.get(), m_settings.ownAddress);
    if (m_peers) {
        // The table becomes the directory as the server holds it, this
        // copy's entries blanked, so the user count follows the server.
        m_peers->PeerCount = 0;
        m_filter->setRecordSink([this](const DirectoryRecord &record) {
            if (m_peers->count() >= PeerTable::PeerLimit || !Directory::store(*m_peers, record))
                return;
            if (record.address == m_settings.ownAddress)
                m_peers->PeerAddress[size_t(m_peers->count())].clear();
        });
    }
    inSlices([this](int budgetMs) { return m_filter->step(budgetMs); }, [this] { filtered(); });
}

void LeaveJob::filtered()
{
    const bool failed = m_filter->failed();
    const qint64 removed = m_filter->removed();
    m_filter.reset();
    m_filterIn.reset();
    const bool written = m_filterOut->flush();
    m_filterOut.reset();
    if (!failed && removed == 0) {
        // Nothing of this copy in the directory: it stays as it is, and no
        // other copy's append can be lost to a rewrite.
        m_leftOk = true;
        m_keep = m_read->snapshot().path;
        queue([this] { enter(State::Keeping); });
        return;
    }
    if (failed || !written) {
        fail(tr("Cannot write the directory without this copy: the file could not be read or written"));
        return;
    }
    queue([this] { enter(State::Replacing); });
}

void LeaveJob::replaceFinished()
{
    const ReplaceJob::Outcome outcome = m_replace->outcome();
    if (m_aborting && outcome != ReplaceJob::Outcome::Replaced) {
        if (outcome == ReplaceJob::Outcome::Failed)
            warn(m_replace->errorString());
        m_state = State::Done;
        finish(false, m_error);
        return;
    }
    switch (outcome) {
    case ReplaceJob::Outcome::Replaced:
        m_leftOk = true;
        m_keep = m_settings.scratch("out");
        enter(State::Keeping);
        break;
    case ReplaceJob::Outcome::Changed:
        if (mayReplaceAgain()) {
            qCDebug(lcDirectory) << "the directory changed during the exit; starting over";
            enter(State::Reading);
        } else {
            fail(tr("The directory kept changing; it was left as it was"));
        }
        break;
    case ReplaceJob::Outcome::Failed:
        fail(m_replace->errorString());
        break;
    }
}

void LeaveJob::fail(const QString &error)
{
    m_error = error;
    warn(error);
    m_leftOk = false;
    removeScratch();
    queue([this] { enter(State::Closing); });
}
