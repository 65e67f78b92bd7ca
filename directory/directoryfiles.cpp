#include "directory/directoryfiles.h"

#include <QFile>

namespace {

// Files are compared a piece at a time, so a directory of any size costs
// this much memory.
constexpr qint64 ComparePiece = 1 << 20;

} // namespace

bool DirectoryFiles::endsWithLineEnd(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return true;
    file.seek(file.size() - 1);
    char last = 0;
    file.getChar(&last);
    return last == '\n' || last == '\r';
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

bool DirectoryFiles::startsWith(const QString &path, const QString &prefixPath)
{
    QFile file(path);
    QFile prefix(prefixPath);
    if (!file.open(QIODevice::ReadOnly) || !prefix.open(QIODevice::ReadOnly) || file.size() < prefix.size())
        return false;
    while (!prefix.atEnd()) {
        const QByteArray want = prefix.read(ComparePiece);
        if (want.isEmpty() && prefix.error() != QFileDevice::NoError)
            return false;
        if (file.read(want.size()) != want)
            return false;
    }
    return true;
}

bool DirectoryFiles::sameContent(const QString &a, const QString &b)
{
    QFile first(a);
    QFile second(b);
    if (!first.exists() || !second.exists() || first.size() != second.size())
        return false;
    return startsWith(a, b);
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
    QByteArray bytes = record;
    // A record always starts on a line of its own.
    if (!endsWithLineEnd(path))
        bytes.prepend("\r\n");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(bytes) != bytes.size() || !file.flush()) {
        *why = file.errorString();
        return false;
    }
    return true;
}
