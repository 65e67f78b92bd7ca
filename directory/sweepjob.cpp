#include "directory/sweepjob.h"

#include "directory/uploadjournal.h"

#include <QMetaEnum>

SweepJob::SweepJob(FtpClient &ftp, UploadJournal &journal, qint64 olderThanMs, QObject *parent)
    : DirectoryJob(ftp, parent)
    , m_journal(journal)
    , m_names(journal.olderThan(olderThanMs))
{
}

QString SweepJob::stateName() const
{
    return QString::fromLatin1(QMetaEnum::fromType<State>().valueToKey(int(m_state)));
}

void SweepJob::start()
{
    begin();
    m_state = State::Deleting;
    queue([this] { next(); });
}

void SweepJob::next()
{
    if (m_names.isEmpty()) {
        m_state = State::Done;
        finish(true);
        return;
    }
    m_state = State::Deleting;
    expect(m_ftp.remove(m_names.first()));
}

void SweepJob::ftpFinished(bool ok)
{
    m_state == State::Checking ? checked(ok) : deleted(ok);
}

void SweepJob::deleted(bool ok)
{
    if (!ok && ftpError() == FtpClient::RemoteFileError) {
        // A file that does not exist is refused like one the server keeps.
        m_refusal = ftpErrorString();
        m_state = State::Checking;
        expect(m_ftp.stat(m_names.first()));
        return;
    }
    const QString name = m_names.takeFirst();
    if (ok || ftpError() == FtpClient::NotFoundError)
        m_journal.forget(name);
    else
        warn(tr("Cannot delete the leftover upload %1: %2").arg(name, ftpErrorString()));
    next();
}

void SweepJob::checked(bool ok)
{
    const QString name = m_names.takeFirst();
    // Only the server's word that it is gone: one that does not tell sizes
    // may still hold it.
    if (!ok && ftpError() == FtpClient::NotFoundError)
        m_journal.forget(name);
    else
        warn(tr("Cannot delete the leftover upload %1: %2").arg(name, m_refusal));
    next();
}
