#pragma once

#include "directory/directoryjob.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QString>

class ServerTraits;

/// The directory as one download saw it, and what the server listed for it.
struct DirectorySnapshot
{
    /// The local file that holds the download.
    QString path;
    /// The server had no directory file: the download is empty.
    bool absent = false;
    /// Length of the download.
    qint64 size = 0;
    /// The server's modification time of the file; invalid when it told none.
    QDateTime time;
    /// The earliest the server's clock read when the download began;
    /// invalid when unknown.
    QDateTime startedAtLeast;
    /// How long the download took: about what moving the file back costs.
    qint64 downloadMs = 0;
};

/// Reads the directory file from the server into a local file, checked.
///
///   SizingBefore      size and time of the file (SIZE, MDTM)
///   Downloading       the download, bounded by the largest size read
///   SizingAfter       size and time again
///   DownloadingAgain  only where the server tells no size: a second
///                     download, which must hold the same bytes
///   Redialling        after a failed try: disconnect,
///   Reconnecting      connect, and from the start, MaxAttempts tries in all
///
/// A download counts when its length is one of the two sizes (a server that
/// cuts a file short but says "226" is caught here), or, where the server
/// tells no size, when a second download holds the same bytes. For a
/// rewrite (Settled) it must be the file as the server lists it after the
/// download: size and time unchanged, and the length the size. A server
/// that says the file does not exist gives an empty, absent directory.
class ReadJob : public DirectoryJob
{
    Q_OBJECT

public:
    enum class State {
        Idle,
        SizingBefore,
        Downloading,
        SizingAfter,
        DownloadingAgain,
        Redialling,
        Reconnecting,
        Done,
    };
    Q_ENUM(State)

    /// What the download is for.
    enum class Check {
        /// Reading: whole, as the server listed it before or after.
        Whole,
        /// A rewrite is built on it: the file as it stands after the download.
        Settled,
    };

    /// Downloads before the job gives up.
    static constexpr int MaxAttempts = 3;

    ReadJob(FtpClient &ftp, ServerTraits &traits, QString remoteFile, QString localFile, qint64 maxSize, Check check,
            QObject *parent = nullptr);

    /// Tries before giving up (MaxAttempts unless set).
    void setAttempts(int attempts) { m_maxAttempts = attempts; }
    /// Whether a server that cannot be reached is tried again. A copy that
    /// is starting does not wait for redials; one that is leaving does.
    void setRetryUnreachable(bool retry) { m_retryUnreachable = retry; }

    void start() override;
    QString stateName() const override;

    /// What the download saw; valid once the job has ended well.
    const DirectorySnapshot &snapshot() const { return m_snapshot; }

protected:
    void ftpFinished(bool ok) override;

private:
    void enter(State state);
    void sized(bool ok);
    void downloaded(bool ok);
    void sizedAfter(bool ok);
    void downloadedAgain(bool ok);
    void fail(const QString &why, bool final);
    void succeed();
    QString againFile() const;

    ServerTraits &m_traits;
    QString m_remoteFile;
    QString m_localFile;
    qint64 m_maxSize;
    Check m_check;
    int m_maxAttempts = MaxAttempts;
    bool m_retryUnreachable = true;
    State m_state = State::Idle;
    int m_attempts = 0;

    bool m_absentBefore = false;
    qint64 m_sizeBefore = -1;
    QDateTime m_timeBefore;
    qint64 m_sizeAfter = -1;
    QDateTime m_timeAfter;
    DirectorySnapshot m_snapshot;
    QElapsedTimer m_downloadClock;
};
