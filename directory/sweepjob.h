#pragma once

#include "directory/directoryjob.h"

#include <QStringList>

class UploadJournal;

/// Deletes this copy's temporary uploads that an earlier exchange left on
/// the account (see UploadJournal), those older than a given age, so that
/// an exchange still working with one is left alone.
///
///   Deleting  one DELE per leftover
///   Checking  a refused one is asked about (SIZE): one that is gone
///             already counts as deleted, any other stays noted for the next
///             time
///   Done
///
/// Always ends well: a leftover costs room on the account, never a record.
class SweepJob : public DirectoryJob
{
    Q_OBJECT

public:
    enum class State { Idle, Deleting, Checking, Done };
    Q_ENUM(State)

    SweepJob(FtpClient &ftp, UploadJournal &journal, qint64 olderThanMs, QObject *parent = nullptr);

    /// Whether there is anything to delete.
    bool isNeeded() const { return !m_names.isEmpty(); }

    void start() override;
    QString stateName() const override;

protected:
    void ftpFinished(bool ok) override;

private:
    void next();
    void deleted(bool ok);
    void checked(bool ok);

    UploadJournal &m_journal;
    QStringList m_names;
    QString m_refusal;
    State m_state = State::Idle;
};
