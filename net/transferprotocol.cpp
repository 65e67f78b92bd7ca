#include "net/transferprotocol.h"

#include "net/windows1252.h"

#include <QDir>

QString TransferProtocol::BeforeLast(const QString &text)
{
    // Scanning starts at the second character, so a leading separator is
    // part of the address.
    const qsizetype at = text.indexOf(Separator, 1);
    return at < 0 ? text : text.left(at);
}

QString TransferProtocol::AfterLastx(const QString &text)
{
    return text.mid(text.indexOf(Separator) + 1);
}

QString TransferProtocol::sharedFolder(const QString &programFolder)
{
    return QDir(programFolder).filePath(QLatin1String(SharedFolder));
}

QString TransferProtocol::downloadsFolder(const QString &programFolder)
{
    return QDir(programFolder).filePath(QLatin1String(DownloadsFolder));
}

bool TransferProtocol::isSafeName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    // Qt reads a path that starts with ':' as a resource, not as a file.
    if (name.startsWith(u':'))
        return false;
    for (const QChar c : name) {
        if (c == u'/' || c == u'\\' || c.category() == QChar::Other_Control)
            return false;
    }
    return Windows1252::canEncode(name);
}
