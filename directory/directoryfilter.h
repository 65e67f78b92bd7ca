#pragma once

#include "directory/directoryreader.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <utility>

class QIODevice;

/// The exit command's rewrite of the directory file: every record that
/// names this copy's address goes, whatever its port; every other one stays,
/// in its place. A registration is written in the one-line layout; a line
/// that does not read as one is written back byte for byte; blank lines go.
/// So does a line that holds only the start of this copy's own start-up
/// record: what an append of it cut off by the server leaves behind.
///
/// It streams from one device to another, a record at a time, so a file of
/// any size costs a line or two of memory, and it works in slices so that
/// the event loop can run between them.
class DirectoryFilter
{
public:
    DirectoryFilter(QIODevice *in, QIODevice *out, QString ownAddress);

    /// Filters for about budgetMs milliseconds (all of it when negative).
    /// True once the whole input has been read, or on failure.
    bool step(int budgetMs = -1);

    /// Hands every record read to sink as well, before it is filtered.
    void setRecordSink(std::function<void(const DirectoryRecord &)> sink) { m_sink = std::move(sink); }

    bool failed() const { return m_failed; }
    qint64 removed() const { return m_removed; }

private:
    bool take(const DirectoryRecord &record);
    bool isOwnFragment(const DirectoryRecord &record) const;
    bool flush();

    DirectoryReader m_reader;
    QIODevice *m_out;
    QString m_own;
    QByteArray m_ownRecord;
    std::function<void(const DirectoryRecord &)> m_sink;
    QByteArray m_chunk;
    qint64 m_removed = 0;
    bool m_failed = false;
    bool m_done = false;
};
