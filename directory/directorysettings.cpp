#include "directory/directorysettings.h"

#include <QDir>

QString DirectorySettings::localCopy() const
{
    return QDir(programFolder).filePath(remoteFile);
}

QString DirectorySettings::scratch(const char *suffix) const
{
    return localCopy() + u'.' + QLatin1StringView(suffix);
}
