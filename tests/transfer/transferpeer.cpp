#include "transferpeer.h"

#include <QFileInfo>

int openHandles(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        if (QFileInfo(fds.filePath(fd)).symLinkTarget() == target)
            ++count;
    }
    return count;
}

Peer::Peer(const QString &peerAddress, quint16 port)
    : address(peerAddress)
{
    QDir(dir.path()).mkdir(QStringLiteral("Shared"));
    QDir(dir.path()).mkdir(QStringLiteral("Downloads"));
    responder = std::make_unique<UploadResponder>(dir.path(), address, port);
    client = std::make_unique<DownloadClient>(dir.path(), address, port);
    QObject::connect(client.get(), &DownloadClient::progressCleared, &DL, &ByteLinesModel::clear);
    QObject::connect(client.get(), &DownloadClient::progressLine, &DL, &ByteLinesModel::addLine);
    QObject::connect(client.get(), &DownloadClient::bytesReceived, &DL, &ByteLinesModel::addBytes);
}
