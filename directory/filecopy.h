#pragma once

#include <QFile>
#include <QString>

/// Copies a file into another (created or emptied first) a piece at a time,
/// so that a directory of any size costs a piece of memory and the event
/// loop runs between the slices.
class FileCopy
{
public:
    FileCopy(const QString &from, const QString &to);

    /// Copies for about budgetMs milliseconds (all of it when negative).
    /// True once the whole file is copied, or on failure.
    bool step(int budgetMs = -1);
    bool failed() const { return !m_error.isEmpty(); }
    /// Why the copy failed; empty when it did not.
    QString errorString() const { return m_error; }

private:
    void fail(const QFile &file);

    QFile m_from;
    QFile m_to;
    QString m_error;
    bool m_done = false;
};
