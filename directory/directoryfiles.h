#pragma once

// Whole-file questions the directory jobs ask of their local files: what a
// download ends with, how often a record occurs; and the one addition they
// make, a record at the end.

#include <QByteArray>
#include <QString>

namespace DirectoryFiles {

/// Whether the file ends with a line end; true for an empty or missing file.
bool endsWithLineEnd(const QString &path);

/// How often the record of address ("address" in quotes) occurs in the file.
qint64 countRecordsOf(const QString &path, const QString &address);

/// Writes to the bytes of from (nothing when from is empty) followed by
/// record, on a line of its own. False, with a reason in why, when it cannot.
bool writeWithRecord(const QString &from, const QString &to, const QByteArray &record, QString *why);

/// Adds record at the end of the file, on a line of its own, creating the
/// file when it does not exist.
bool appendRecord(const QString &path, const QByteArray &record, QString *why);

} // namespace DirectoryFiles
