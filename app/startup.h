#pragma once

// How the program starts: the values it runs with, and the strip library it
// loads before its first window opens.

#include "directory/directoryexchange.h"
#include "net/serversettings.h"

#include <QString>

class AmbrelFactory;

/// The values a running copy works with. The program uses
/// Startup::defaultSettings(); tests give their own program folder, address,
/// ports and directory host.
struct ProgramSettings
{
    /// Folder that holds IP.txt, Shared/ and Downloads/.
    QString programFolder;
    /// This copy's IPv4 address, taken once at start-up: the record written
    /// at "Connect", the listeners and the records removed at "Exit" all use
    /// it, whatever happens to the machine's addresses meanwhile.
    QString localAddress;
    /// FTP host of the central directory, host or host:port.
    QString directoryHost;
    quint16 searchPort = SearchProtocol::SearchPort;
    quint16 uploadPort = TransferProtocol::UploadPort;

    ServerSettings server() const;
    DirectorySettings directory() const;
};

namespace Startup {

/// The fixed values of the program: its own folder, this machine's address
/// as main() took it, and the directory host it was built for.
ProgramSettings defaultSettings(const QString &directoryHost, const QString &localAddress);

/// Where the strip library is looked for: beside the program.
QString ambrelPath(const QString &programFolder);

/// Loads the strip library from the program folder. Returns nullptr and a
/// one-line reason in error when it cannot be loaded. The library stays
/// loaded for the life of the process.
AmbrelFactory *loadAmbrel(const QString &programFolder, QString *error);

} // namespace Startup
