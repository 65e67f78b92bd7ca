#include "directory/replacingfile.h"

#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

ReplacingFile::ReplacingFile(const QString &target)
    : QTemporaryFile(QFileInfo(target).absolutePath() + QStringLiteral("/.") + QFileInfo(target).fileName()
                     + QStringLiteral(".XXXXXX"))
    , m_target(target)
{
}

bool ReplacingFile::open()
{
    return QTemporaryFile::open();
}

bool ReplacingFile::commit()
{
    if (!isOpen())
        return false;
    flush();
    const QString temporary = fileName();
    close();
    if (error() != QFileDevice::NoError)
        return false;
    if (std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(m_target).constData()) != 0) {
        setErrorString(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // Renamed away: nothing left to remove.
    setAutoRemove(false);
    return true;
}
