#pragma once

// The central directory: the file IP.txt on an FTP account, listing the
// address of every running copy. The format is read by DirectoryReader; the
// two writers and the loads that fill the peer table are here.

#include "directory/directoryreader.h"
#include "directory/tamsin.h"

#include <QByteArray>
#include <QString>

namespace Directory {

/// The two-line record a copy appends when it registers.
QByteArray startupRecord(const QString &address, qint16 port);

/// Appends to out the one-line record the exit command writes for each
/// entry it keeps.
void appendShutdownRecord(QByteArray &out, const QString &address, qint16 port);

/// Stores one record into the table by the table's store rules; a record
/// without a port field leaves the entry's port as it was. Records that name
/// no address are not stored. Returns whether the record counted.
bool store(PeerTable &table, const DirectoryRecord &record);

/// Loads records from reader into the table, counting on from its
/// PeerCount, up to PeerTable::PeerLimit entries, for about budgetMs
/// milliseconds (no bound when negative). True once done: the data ended or
/// the table is full.
bool load(PeerTable &table, DirectoryReader &reader, int budgetMs = -1);
/// The same for all the records of data.
void load(PeerTable &table, const QByteArray &data);

/// What the exit command writes back from data: see DirectoryFilter.
QByteArray withoutAddress(const QByteArray &data, const QString &ownAddress);

} // namespace Directory
