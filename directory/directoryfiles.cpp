#include "directory/directoryfiles.h"

#include <QFile>

namespace {

// True for an empty or missing file.
bool endsWithLineEnd(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return true;
    file.seek(file.size() - 1);
    char last = 0;
    file.getChar(&last);
    return last == '\n' || last == '\r';
}

} // namespace

QByteArray DirectoryFiles::recordAfter(const QString &path, const QByteArray &record)
{
    return endsWithLineEnd(path) ? record : "\r\n" + record;
}

qint64 DirectoryFiles::countRecordsOf(const QString &path, const QString &address)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return 0;
    const QByteArray needle = '"' + address.toLatin1() + '"';
    uchar *mapped = file.map(0, file.size());
    if (!mapped)
        return QByteArrayView(file.readAll()).count(needle);
    const QByteArrayView view(reinterpret_cast<const char *>(mapped), file.size());
    const qint64 count = view.count(needle);
    file.unmap(mapped);
    return count;
}

bool DirectoryFiles::writeWithRecord(const QString &from, const QString &to, const QByteArray &record, QString *why)
{
    QFile::remove(to);
    if (!from.isEmpty() && QFile::exists(from) && !QFile::copy(from, to)) {
        *why = QFile::tr("Cannot copy %1 to %2").arg(from, to);
        return false;
    }
    return appendRecord(to, record, why);
}

bool DirectoryFiles::appendRecord(const QString &path, const QByteArray &record, QString *why)
{
    const QByteArray bytes = recordAfter(path, record);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(bytes) != bytes.size() || !file.flush()) {
        *why = file.errorString();
        return false;
    }
    return true;
}
