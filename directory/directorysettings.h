#pragma once

#include <QString>

/// What the exchange with the central directory works with. The program
/// passes its own folder, this machine's address (taken once, at start-up)
/// and the directory host it was built for; tests pass their own.
struct DirectorySettings
{
    /// FTP host of the central directory, host or host:port.
    QString host;
    /// Folder that holds the local copy of the directory.
    QString programFolder;
    /// This copy's address: the record registered and the records removed.
    QString ownAddress;
    /// The account every copy logs in to; the program never changes it.
    QString userName = QStringLiteral("Ferrin_1");
    QString password = QStringLiteral("Vantor");
    /// The directory file, on the account and in the program folder.
    QString remoteFile = QStringLiteral("IP.txt");
    /// The largest directory file that is downloaded; a larger one is refused.
    qint64 maxFileSize = 256 * 1024 * 1024;

    /// The local copy of the directory, in the program folder.
    QString localCopy() const;
    /// A scratch file beside the local copy: the local copy's name and suffix.
    QString scratch(const char *suffix) const;
};
