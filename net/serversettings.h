#pragma once

#include "net/searchprotocol.h"
#include "net/transferprotocol.h"

#include <QString>

/// What the networking window works with. The program passes its own folder
/// and this machine's address; tests pass a sandbox folder and a loopback
/// address of their own.
struct ServerSettings
{
    /// Folder that holds IP.txt, Shared/ and Downloads/.
    QString programFolder;
    /// This copy's IPv4 address, taken once when the program starts.
    QString localAddress;
    quint16 searchPort = SearchProtocol::SearchPort;
    quint16 uploadPort = TransferProtocol::UploadPort;
};
