#pragma once

#include <QString>
#include <QStringList>

/// The temporary uploads this copy has put on the account and not removed
/// yet, kept in a small file beside the local copy. A name goes in before
/// its upload starts and out once the upload is renamed or deleted, so an
/// upload left behind by a deadline, a refused delete or a killed process is
/// found and deleted at the next exchange. Only names this copy made are
/// ever listed, so no other copy's file is touched.
///
/// One line per upload: milliseconds since the epoch, a space, the name.
class UploadJournal
{
public:
    explicit UploadJournal(QString path);

    /// Notes an upload about to start; false when the note cannot be written.
    bool add(const QString &name);
    /// Forgets an upload that is gone from the account.
    void forget(const QString &name);
    /// Uploads noted at least ageMs ago: no exchange still works with them.
    QStringList olderThan(qint64 ageMs) const;

private:
    struct Entry
    {
        qint64 since = 0;
        QString name;
    };
    QList<Entry> read() const;
    bool write(const QList<Entry> &entries);

    QString m_path;
};
