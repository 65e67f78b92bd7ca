#pragma once

// The central directory: the file format of IP.txt and the loads that fill the
// peer table from it. The exchange with the FTP account that carries the file
// is driven by the start-up window and the exit command.

#include "app/directoryreader.h"
#include "app/tamsin.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace Directory {

/// Name of the directory file, on the FTP account and in the program folder.
inline constexpr char FileName[] = "IP.txt";
inline constexpr char UserName[] = "Ferrin_1";
inline constexpr char Password[] = "Vantor";

/// The two-line record a copy appends when it registers.
QByteArray startupRecord(const QString &address, qint16 port);

/// The one-line record the exit command writes for each entry it keeps.
QByteArray shutdownRecord(const QString &address, qint16 port);

/// Reads every record of data into table, counting on from its PeerCount.
/// afterRecord runs after each complete record (the start-up load lets
/// pending events run there).
void load(PeerTable &table, const QByteArray &data, const std::function<void()> &afterRecord = {});

/// The file the exit command writes back: every entry from 1 to PeerCount
/// whose address is not empty and is not ownAddress, one line each.
QByteArray withoutAddress(const PeerTable &table, const QString &ownAddress);

} // namespace Directory
