#pragma once

// What the directory jobs add to their local files: a record at the end,
// on a line of its own. Passes over a whole file run in slices instead
// (RecordCount, FileCopy, FileComparison).

#include <QByteArray>
#include <QString>

namespace DirectoryFiles {

/// record as it goes after the bytes of the file: on a line of its own, so
/// after a line end when the file does not end with one.
QByteArray recordAfter(const QString &path, const QByteArray &record);

/// Adds record at the end of the file, on a line of its own, creating the
/// file when it does not exist.
bool appendRecord(const QString &path, const QByteArray &record, QString *why);

} // namespace DirectoryFiles
