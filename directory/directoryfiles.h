#pragma once

// Whole-file questions the directory jobs ask of their local files: what a
// download ends with, how often a record occurs, whether two downloads hold
// the same bytes.

#include <QByteArray>
#include <QString>

namespace DirectoryFiles {

/// Whether the file ends with a line end; true for an empty or missing file.
bool endsWithLineEnd(const QString &path);

/// How often the record of address ("address" in quotes) occurs in the file.
qint64 countRecordsOf(const QString &path, const QString &address);

/// Whether the file's bytes begin with all the bytes of prefixPath. False
/// when either cannot be read.
bool startsWith(const QString &path, const QString &prefixPath);

/// Whether both files hold the same bytes.
bool sameContent(const QString &a, const QString &b);

/// Writes to the bytes of from (nothing when from is empty) followed by
/// record, on a line of its own. False, with a reason in why, when it cannot.
bool writeWithRecord(const QString &from, const QString &to, const QByteArray &record, QString *why);

/// Adds record at the end of the file, on a line of its own, creating the
/// file when it does not exist.
bool appendRecord(const QString &path, const QByteArray &record, QString *why);

} // namespace DirectoryFiles
