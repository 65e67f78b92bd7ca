#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

/// Counts how often the record of an address ("address" in quotes) occurs in
/// a file, a piece at a time, so that a directory of any size costs a piece
/// of memory and the event loop runs between the slices. A file that cannot
/// be read counts what was read of it.
class RecordCount
{
public:
    RecordCount(const QString &path, const QString &address);

    /// Counts for about budgetMs milliseconds (all of it when negative).
    /// True once the whole file has been read.
    bool step(int budgetMs = -1);
    qint64 count() const { return m_count; }

private:
    QFile m_file;
    QByteArray m_needle;
    // The piece being searched, after the bytes of the one before that may
    // begin an occurrence.
    QByteArray m_buffer;
    qint64 m_count = 0;
    bool m_done = false;
};
