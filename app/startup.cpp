#include "app/startup.h"

#include "Controls/ambrelinterface.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QPluginLoader>

ServerSettings ProgramSettings::server() const
{
    ServerSettings s;
    s.programFolder = programFolder;
    s.localAddress = localAddress;
    s.searchPort = searchPort;
    s.uploadPort = uploadPort;
    return s;
}

DirectorySettings ProgramSettings::directory() const
{
    DirectorySettings s;
    s.host = directoryHost;
    s.programFolder = programFolder;
    s.ownAddress = localAddress;
    return s;
}

ProgramSettings Startup::defaultSettings(const QString &directoryHost, const QString &localAddress)
{
    ProgramSettings s;
    s.programFolder = QCoreApplication::applicationDirPath();
    s.localAddress = localAddress;
    s.directoryHost = directoryHost;
    return s;
}

QString Startup::ambrelPath(const QString &programFolder)
{
    return QDir(programFolder).filePath(QStringLiteral("libAmbrel.so"));
}

AmbrelFactory *Startup::loadAmbrel(const QString &programFolder, QString *error)
{
    const QString path = ambrelPath(programFolder);
    if (!QFileInfo::exists(path)) {
        *error = QStringLiteral("cannot find the progress strip library %1").arg(path);
        return nullptr;
    }
    // Owned for the life of the process: the strip lives as long as Splash.
    auto *loader = new QPluginLoader(path, QCoreApplication::instance());
    const QString iid = loader->metaData().value(QStringLiteral("IID")).toString();
    if (iid != QLatin1String(AmbrelFactory_iid)) {
        *error = QStringLiteral("%1 is not the progress strip library (%2)")
                     .arg(path, iid.isEmpty() ? loader->errorString() : iid);
        return nullptr;
    }
    auto *factory = qobject_cast<AmbrelFactory *>(loader->instance());
    if (!factory) {
        *error = QStringLiteral("cannot load the progress strip library %1: %2").arg(path, loader->errorString());
        return nullptr;
    }
    return factory;
}
