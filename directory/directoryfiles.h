#pragma once

// Whole-file questions the directory jobs ask of their local files (how
// often a record occurs, what goes after their last byte) and the one
// addition they make to them, a record at the end.

#include <QByteArray>
#include <QString>

namespace DirectoryFiles {

/// record as it goes after the bytes of the file: on a line of its own, so
/// after a line end when the file does not end with one.
QByteArray recordAfter(const QString &path, const QByteArray &record);

/// How often the record of address ("address" in quotes) occurs in the file.
qint64 countRecordsOf(const QString &path, const QString &address);

/// Writes to the bytes of from (nothing when from is empty) followed by
/// record, on a line of its own. False, with a reason in why, when it cannot.
bool writeWithRecord(const QString &from, const QString &to, const QByteArray &record, QString *why);

/// Adds record at the end of the file, on a line of its own, creating the
/// file when it does not exist.
bool appendRecord(const QString &path, const QByteArray &record, QString *why);

} // namespace DirectoryFiles
