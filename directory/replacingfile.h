#pragma once

#include <QTemporaryFile>

/// A file that takes the place of another in one step: it is written under a
/// temporary name beside its target and renamed over it by commit(), so a
/// reader sees either the old file or the whole new one. Dropped without a
/// commit, it leaves the target as it was.
///
/// Unlike QSaveFile it does not wait for the disk before the rename: the
/// files it writes (the local copy of the directory) are caches that are
/// fetched again, and that wait alone would hold the event loop for tens of
/// milliseconds on a large directory.
class ReplacingFile : public QTemporaryFile
{
public:
    explicit ReplacingFile(const QString &target);

    /// Opens the temporary file for writing.
    bool open();
    /// Closes it and renames it over the target; false, with errorString(),
    /// when it cannot.
    bool commit();

private:
    QString m_target;
};
