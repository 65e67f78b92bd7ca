#pragma once

// The search protocol, TCP port 1050. One connection per request:
//
//   exchange = request *name close
//   request  = query         ; sent once by the asker as soon as it is connected
//   name     = file-name     ; one matching file of the shared folder, a send of its own
//   close    = the responder closes; this is the end-of-answer mark
//
// All text is Windows-1252, one byte per character, with no length prefix, no
// terminator and nothing between names. The responder takes whatever arrived
// at its first data arrival as the whole query. The asker makes one result
// entry of each data arrival: the responder's address, the separator and the
// text received.

#include <QString>
#include <QStringList>

namespace SearchProtocol {

/// The port every copy listens on for searches and every search connects to.
inline constexpr quint16 SearchPort = 1050;

/// Whether query occurs in name as one contiguous, case-sensitive run. Every
/// name contains the empty query.
bool matches(const QString &name, const QString &query);

/// The names a copy offers from folder, sorted by name (code-unit order): its
/// files, links to files included, but no subfolders, no hidden files, no
/// devices, pipes or sockets, and no name that Windows-1252 cannot write. A
/// missing folder offers nothing.
QStringList sharedNames(const QString &folder);

/// The names of folder that match query, in listing order: the whole answer.
QStringList answer(const QString &folder, const QString &query);

/// address, the separator of an entry (TransferProtocol::Separator) and text,
/// with nothing between or around them.
QString resultEntry(const QString &address, const QString &text);

} // namespace SearchProtocol
