#pragma once

#include <QDateTime>
#include <QElapsedTimer>

/// What one session has learnt about the directory's FTP server: commands
/// it refuses, and how late its clock reads at least. Shared by the jobs of
/// one exchange, so that "Exit" does not try again what "Connect" found
/// refused.
class ServerTraits
{
public:
    /// The server answers APPE with a refusal: copies join by replacing.
    bool appendRefused() const { return m_appendRefused; }
    void setAppendRefused() { m_appendRefused = true; }

    /// Refusals of a rename over the directory in a row that make the
    /// session replace it by direct uploads. One alone may pass: a 4xx of a
    /// busy server, or a server that does not replace a file another copy
    /// is reading.
    static constexpr int RenameRefusalsInARow = 2;

    /// The server refuses to rename a file over one that exists: the
    /// directory is replaced by a direct upload.
    bool renameOverRefused() const { return m_renameOverRefused; }
    /// Notes a refused rename over the directory; true when refusals have
    /// come RenameRefusalsInARow times in a row, and renameOverRefused()
    /// holds from then on.
    bool noteRenameOverRefused();
    /// Notes a rename over the directory that went through: the refusals
    /// before it were passing.
    void noteRenameOverWorked() { m_renameRefusals = 0; }

    /// Notes the modification time of a file this copy has just written:
    /// the server's clock read at least that then.
    void noteServerTime(const QDateTime &time);
    /// The earliest the server's clock can read now; invalid before any
    /// time was noted.
    QDateTime serverTimeAtLeast() const;

private:
    bool m_appendRefused = false;
    bool m_renameOverRefused = false;
    int m_renameRefusals = 0;
    QDateTime m_seen;
    QElapsedTimer m_since;
};
