#pragma once

// Whole files in one call, for tests and benchmarks.

#include <QByteArray>
#include <QFile>
#include <QString>

/// The file's bytes, or "<missing>" when it cannot be read: a missing file
/// never passes for an empty one.
inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

/// Replaces the file's bytes; false when that fails.
inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size() && f.flush();
}
