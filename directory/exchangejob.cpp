#include "directory/exchangejob.h"

#include "directory/replacejob.h"
#include "directory/sweepjob.h"

#include <QFile>

#include <cstdio>

ExchangeJob::ExchangeJob(FtpClient &ftp, ServerTraits &traits, UploadJournal &journal,
                         const DirectorySettings &settings, qint64 leftoverAgeMs, QObject *parent)
    : DirectoryJob(ftp, parent)
    , m_traits(traits)
    , m_journal(journal)
    , m_settings(settings)
    , m_leftoverAgeMs(leftoverAgeMs)
{
}

ExchangeJob::~ExchangeJob() = default;

void ExchangeJob::cancel()
{
    retire(m_sweep);
    retire(m_read);
    retire(m_replace);
    removeScratch();
    DirectoryJob::cancel();
}

void ExchangeJob::setGiveUpAt(QDeadlineTimer giveUpAt)
{
    m_giveUpAt = giveUpAt;
    if (m_replace)
        m_replace->setGiveUpAt(giveUpAt);
}

bool ExchangeJob::overwritesDirectory() const
{
    return m_replace && m_replace->isRunning() && m_replace->overwritesDirectory();
}

void ExchangeJob::sweep(const std::function<void()> &then)
{
    retire(m_sweep);
    m_sweep = std::make_unique<SweepJob>(m_ftp, m_journal, m_leftoverAgeMs);
    if (!m_sweep->isNeeded()) {
        then();
        return;
    }
    connect(m_sweep.get(), &DirectoryJob::finished, this, then);
    m_sweep->start();
}

ReadJob &ExchangeJob::newRead(ReadJob::Check check)
{
    retire(m_read);
    m_read = std::make_unique<ReadJob>(m_ftp, m_traits, m_settings.remoteFile, m_settings.scratch("part"),
                                       m_settings.maxFileSize, check);
    connect(m_read.get(), &DirectoryJob::finished, this, &ExchangeJob::readFinished);
    return *m_read;
}

void ExchangeJob::replace(const QString &newFile)
{
    retire(m_replace);
    m_replace = std::make_unique<ReplaceJob>(m_ftp, m_traits, m_journal, m_settings.remoteFile, m_settings.ownAddress,
                                             m_read->snapshot(), newFile, m_settings.scratch("check"),
                                             m_settings.maxFileSize);
    m_replace->setGiveUpAt(m_giveUpAt);
    connect(m_replace.get(), &DirectoryJob::finished, this, &ExchangeJob::replaceFinished);
    m_replace->start();
}

bool ExchangeJob::keepAsLocalCopy(const QString &file)
{
    if (std::rename(QFile::encodeName(file).constData(), QFile::encodeName(m_settings.localCopy()).constData()) == 0)
        return true;
    warn(tr("Cannot keep the local copy %1").arg(m_settings.localCopy()));
    return false;
}

void ExchangeJob::removeScratch() const
{
    QFile::remove(m_settings.scratch("part"));
    QFile::remove(m_settings.scratch("out"));
}

QString ExchangeJob::withRunningPart(const QString &name) const
{
    for (const DirectoryJob *part : {static_cast<const DirectoryJob *>(m_sweep.get()),
                                     static_cast<const DirectoryJob *>(m_read.get()),
                                     static_cast<const DirectoryJob *>(m_replace.get())}) {
        if (part && part->isRunning())
            return name + u'/' + part->stateName();
    }
    return name;
}
