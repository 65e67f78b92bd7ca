#include "directory/uploadjournal.h"

#include "directory/directorylog.h"
#include "directory/replacingfile.h"

#include <QDateTime>
#include <QFile>

#include <utility>

UploadJournal::UploadJournal(QString path)
    : m_path(std::move(path))
{
}

bool UploadJournal::add(const QString &name)
{
    QFile file(m_path);
    const QByteArray line =
        QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + ' ' + name.toUtf8() + '\n';
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(line) != line.size() || !file.flush()) {
        qCWarning(lcDirectory).noquote() << "Cannot note the upload" << name << "in" << m_path << ":"
                                         << file.errorString();
        return false;
    }
    return true;
}

void UploadJournal::forget(const QString &name)
{
    QList<Entry> entries = read();
    const qsizetype before = entries.size();
    entries.removeIf([&](const Entry &entry) { return entry.name == name; });
    if (entries.size() == before)
        return;
    if (entries.isEmpty()) {
        QFile::remove(m_path);
        return;
    }
    if (!write(entries))
        qCWarning(lcDirectory).noquote() << "Cannot rewrite" << m_path;
}

QStringList UploadJournal::olderThan(qint64 ageMs) const
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QStringList names;
    for (const Entry &entry : read()) {
        if (now - entry.since >= ageMs && !names.contains(entry.name))
            names << entry.name;
    }
    return names;
}

QList<UploadJournal::Entry> UploadJournal::read() const
{
    QList<Entry> entries;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        const qsizetype space = line.indexOf(' ');
        bool ok = false;
        const qint64 since = line.left(space).toLongLong(&ok);
        if (space <= 0 || !ok)
            continue;
        entries.append({since, QString::fromUtf8(line.mid(space + 1))});
    }
    return entries;
}

bool UploadJournal::write(const QList<Entry> &entries)
{
    // Replaced in one step, without waiting for the disk: this runs on the
    // window's thread, and a note lost to a power cut costs a leftover upload
    // on the account at worst.
    ReplacingFile file(m_path);
    if (!file.open())
        return false;
    QByteArray bytes;
    for (const Entry &entry : entries)
        bytes += QByteArray::number(entry.since) + ' ' + entry.name.toUtf8() + '\n';
    return file.write(bytes) == bytes.size() && file.commit();
}
