#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

/// Counts the records of an address ("address" in quotes) that start a line
/// of a file, a piece at a time, so that a directory of any size costs a
/// piece of memory and the event loop runs between the slices. A record
/// glued behind other bytes on its line is not counted: the directory's
/// readers take that line for something else. A file that cannot be read
/// counts what was read of it.
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
    // Whether the byte before m_buffer ends a line (or the file starts there).
    bool m_lineStartBefore = true;
    qint64 m_count = 0;
    bool m_done = false;
};
