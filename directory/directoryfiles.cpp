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
