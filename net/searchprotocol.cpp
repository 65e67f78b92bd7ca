#include "net/searchprotocol.h"

#include "net/transferprotocol.h"
#include "net/windows1252.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

bool SearchProtocol::matches(const QString &name, const QString &query)
{
    return name.contains(query, Qt::CaseSensitive);
}

QStringList SearchProtocol::sharedNames(const QString &folder)
{
    // Without QDir::Hidden and QDir::System the listing leaves out dot files,
    // broken links, devices, pipes and sockets: nothing a download could read.
    QStringList names = QDir(folder).entryList(QDir::Files, QDir::Unsorted);
    // A name that could never be asked for again is not offered, nor a link
    // that leads out of the folder: the download side would refuse both.
    const QString inside = QDir(folder).canonicalPath() + u'/';
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&](const QString &name) {
                                   if (!TransferProtocol::isSafeName(name))
                                       return true;
                                   const QFileInfo info(QDir(folder).filePath(name));
                                   return info.isSymLink() && !info.canonicalFilePath().startsWith(inside);
                               }),
                names.end());
    // Sorted here rather than by QDir, so that the order never follows the locale.
    std::sort(names.begin(), names.end());
    return names;
}

QStringList SearchProtocol::answer(const QString &folder, const QString &query)
{
    QStringList found;
    for (const QString &name : sharedNames(folder)) {
        if (matches(name, query))
            found.append(name);
    }
    return found;
}

QString SearchProtocol::resultEntry(const QString &address, const QString &text)
{
    return address + TransferProtocol::Separator + text;
}
