#include "directory/joinjob.h"

#include "directory/directory.h"
#include "directory/directoryfiles.h"
#include "directory/directorylog.h"
#include "directory/directoryreader.h"
#include "directory/filecopy.h"
#include "directory/recordcount.h"
#include "directory/replacejob.h"
#include "directory/servertraits.h"
#include "directory/tamsin.h"

#include <QMetaEnum>
#include <QPointer>

JoinJob::JoinJob(FtpClient &ftp, ServerTraits &traits, UploadJournal &journal, const DirectorySettings &settings,
                 PeerTable &peers, qint64 leftoverAgeMs, QObject *parent)
    : ExchangeJob(ftp, traits, journal, settings, leftoverAgeMs, parent)
    , m_peers(peers)
    , m_record(Directory::startupRecord(settings.ownAddress, 0))
{
}

JoinJob::~JoinJob() = default;

QString JoinJob::stateName() const
{
    return withRunningPart(QString::fromLatin1(QMetaEnum::fromType<State>().valueToKey(int(m_state))));
}

void JoinJob::start()
{
    begin();
    m_connectFailed = false;
    m_registered = false;
    m_ownInTableOnly = false;
    m_stopAfterWrite = false;
    m_addAttempts = 0;
    m_replaceAttempts = 0;
    m_error.clear();
    enter(State::Connecting);
}

void JoinJob::cancel()
{
    m_count.reset();
    m_copy.reset();
    m_reader.reset();
    m_loadFile.reset();
    ExchangeJob::cancel();
    m_state = State::Idle;
}

bool JoinJob::stopAfterWrite()
{
    const bool writing = m_state == State::Appending
        || (m_state == State::Replacing && m_replace && m_replace->isRunning());
    if (isRunning() && writing) {
        m_stopAfterWrite = true;
        return true;
    }
    cancel();
    return false;
}

void JoinJob::abort()
{
    if (!isRunning())
        return;
    if (m_state == State::Replacing && m_replace && m_replace->isRunning()) {
        m_stopAfterWrite = true;
        m_replace->abort();
        return;
    }
    cancel();
    begin();
    queue([this] { finish(false, tr("Gave up the registration")); });
}

bool JoinJob::stopping()
{
    if (!m_stopAfterWrite)
        return false;
    m_state = State::Done;
    finish(false, tr("Left before the registration was checked"));
    return true;
}

void JoinJob::enter(State state)
{
    m_state = state;
    switch (state) {
    case State::Idle:
    case State::Done:
        break;
    case State::Connecting:
        expect(m_ftp.connectToHost());
        break;
    case State::Connected:
        report(Step::Connected, State::Uploading);
        break;
    case State::Uploading:
        report(Step::Uploading, State::Sweeping);
        break;
    case State::Sweeping:
        if (m_connectFailed)
            enter(State::Reading);
        else
            sweep([this] { enter(State::Reading); });
        break;
    case State::Reading:
    case State::Verifying:
        read(state);
        break;
    case State::Appending:
        expect(m_ftp.append(DirectoryFiles::recordAfter(m_read->snapshot().path, m_record), m_settings.remoteFile));
        break;
    case State::Replacing:
        m_copy = std::make_unique<FileCopy>(m_read->snapshot().path, m_settings.scratch("out"));
        inSlices([this](int budgetMs) { return m_copy->step(budgetMs); }, [this] { copied(); });
        break;
    case State::Waiting:
        queue([this] { enter(State::Verifying); }, VerifyDelayMs);
        break;
    case State::Keeping:
        keepDownload();
        queue([this] { enter(State::Disconnecting); });
        break;
    case State::Disconnecting:
        report(Step::Disconnecting, State::Loading);
        break;
    case State::Loading: {
        const QPointer<JoinJob> alive(this);
        emit stepReached(Step::Loading);
        if (alive && m_state == state)
            startLoading();
        break;
    }
    }
}

void JoinJob::report(Step step, State next)
{
    const QPointer<JoinJob> alive(this);
    const State now = m_state;
    emit stepReached(step);
    // The receiver may have dropped the job.
    if (alive && m_state == now && isRunning())
        queue([this, next] { enter(next); });
}

void JoinJob::ftpFinished(bool ok)
{
    switch (m_state) {
    case State::Connecting:
        m_connectFailed = !ok;
        if (!ok)
            warn(tr("Cannot log in to the central directory: %1").arg(ftpErrorString()));
        queue([this] { enter(State::Connected); });
        break;
    case State::Appending:
        appended(ok);
        break;
    default:
        break;
    }
}

void JoinJob::read(State state)
{
    ReadJob &job = newRead(m_traits.appendRefused() ? ReadJob::Check::Settled : ReadJob::Check::Whole);
    // A server that could not be reached at the log-in is not asked again:
    // each try would cost the connect bound.
    job.setRetryUnreachable(false);
    if (state == State::Reading && m_connectFailed)
        job.setAttempts(1);
    job.start();
}

void JoinJob::readFinished(bool ok)
{
    if (!ok) {
        fail((m_state == State::Reading ? tr("Cannot download the central directory: %1")
                                        : tr("Cannot check the registration in the central directory: %1"))
                 .arg(m_read->errorString()));
        return;
    }
    m_count = std::make_unique<RecordCount>(m_read->snapshot().path, m_settings.ownAddress);
    inSlices([this](int budgetMs) { return m_count->step(budgetMs); },
             [this] {
                 const qint64 own = m_count->count();
                 m_count.reset();
                 counted(own);
             });
}

void JoinJob::counted(qint64 own)
{
    if (m_state == State::Reading) {
        m_ownBefore = own;
        enter(m_traits.appendRefused() ? State::Replacing : State::Appending);
        return;
    }
    // A read of the server's own file after this copy wrote to it: the
    // server's clock reads at least its time.
    m_traits.noteServerTime(m_read->snapshot().time);
    if (own > m_ownBefore) {
        m_registered = true;
        enter(State::Keeping);
        return;
    }
    addAgainOrGiveUp(own);
}

void JoinJob::addAgainOrGiveUp(qint64 own)
{
    if (++m_addAttempts < MaxAppendAttempts) {
        qCDebug(lcDirectory) << "this copy's record is not in the directory; adding it again";
        m_ownBefore = own;
        enter(m_traits.appendRefused() ? State::Replacing : State::Appending);
        return;
    }
    keepDownload();
    fail(tr("This copy's record did not stay in the central directory"));
}

void JoinJob::appended(bool ok)
{
    if (stopping())
        return;
    if (!ok && ftpError() == FtpClient::RemoteFileError && m_ftp.bytesTransferred() == 0) {
        // Refused before any byte went: the server permits no append. The
        // copy joins by replacing the file, for the rest of the session.
        warn(tr("The central directory refuses appends (%1); this copy joins by replacing the file")
                 .arg(ftpErrorString()));
        m_traits.setAppendRefused();
        enter(State::Reading);
        return;
    }
    if (!ok && m_ftp.bytesTransferred() > 0) {
        // The server may have kept part of what came; the next append goes on
        // a line of its own, and the exit takes the piece out with the records.
        warn(tr("Cannot add this copy to the central directory: %1; a piece of its record may stay there until "
                "this copy exits")
                 .arg(ftpErrorString()));
    } else if (!ok) {
        warn(tr("Cannot add this copy to the central directory: %1").arg(ftpErrorString()));
    }
    // Whatever the server said, the file tells whether the record is there.
    enter(State::Waiting);
}

void JoinJob::copied()
{
    const QString newFile = m_settings.scratch("out");
    QString why = m_copy->errorString();
    const bool written = !m_copy->failed() && DirectoryFiles::appendRecord(newFile, m_record, &why);
    m_copy.reset();
    if (!written) {
        QFile::remove(newFile);
        fail(tr("Cannot write the directory with this copy's record: %1").arg(why));
        return;
    }
    replace(newFile);
}

void JoinJob::replaceFinished()
{
    const ReplaceJob::Outcome outcome = m_replace->outcome();
    QFile::remove(m_settings.scratch("out"));
    if (m_stopAfterWrite && outcome == ReplaceJob::Outcome::Failed)
        warn(m_replace->errorString());
    if (stopping())
        return;
    switch (outcome) {
    case ReplaceJob::Outcome::Replaced:
        enter(State::Waiting);
        break;
    case ReplaceJob::Outcome::Changed:
        if (mayReplaceAgain()) {
            qCDebug(lcDirectory) << "the directory changed while this copy joined; reading it again";
            enter(State::Reading);
        } else {
            fail(tr("The directory kept changing; this copy could not join it"));
        }
        break;
    case ReplaceJob::Outcome::Failed:
        fail(m_replace->errorString());
        break;
    }
}

void JoinJob::fail(const QString &why)
{
    m_error = why;
    warn(why);
    QFile::remove(m_settings.scratch("part"));
    // Unregistered, the copy still knows itself: its record goes at the end
    // of the local copy, which is loaded as it stands.
    QString error;
    if (!DirectoryFiles::appendRecord(m_settings.localCopy(), m_record, &error)) {
        warn(tr("Cannot add this copy's record to the local copy %1: %2").arg(m_settings.localCopy(), error));
        m_ownInTableOnly = true;
    }
    queue([this] { enter(State::Disconnecting); });
}

void JoinJob::keepDownload()
{
    const QString download = m_settings.scratch("part");
    if (!keepAsLocalCopy(download))
        QFile::remove(download);
}

void JoinJob::startLoading()
{
    m_loadFile = std::make_unique<QFile>(m_settings.localCopy());
    if (m_loadFile->open(QIODevice::ReadOnly)) {
        m_reader = std::make_unique<DirectoryReader>(m_loadFile.get());
    } else {
        if (m_loadFile->exists())
            warn(tr("Cannot read the local copy %1: %2").arg(m_settings.localCopy(), m_loadFile->errorString()));
        m_loadFile.reset();
    }
    inSlices([this](int budgetMs) { return !m_reader || Directory::load(m_peers, *m_reader, budgetMs); },
             [this] { loaded(); });
}

void JoinJob::loaded()
{
    m_reader.reset();
    m_loadFile.reset();
    if (m_ownInTableOnly && m_peers.count() < PeerTable::PeerLimit)
        m_peers.addRecord(m_settings.ownAddress, QStringLiteral("0"));
    queue([this] {
        m_state = State::Done;
        const QPointer<JoinJob> alive(this);
        emit stepReached(Step::Done);
        if (alive && m_state == State::Done && isRunning())
            finish(m_registered, m_error);
    });
}
