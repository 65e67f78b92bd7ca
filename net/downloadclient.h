#pragma once

#include "net/eventsocket.h"

#include <QFile>
#include <QObject>
#include <QString>

class QTimer;

/// Fetches one file at a time from another peer's upload port and writes it
/// into the Downloads folder beside the program, under the name of the whole
/// result entry ("10.0.0.5§song.mp3"). The course of the download leaves as
/// progress lines: cleared, "Connected!", one line per byte (delivered as
/// blocks of the target file), then "Done!" or a line that says why it ended.
///
/// A new target file is created, empty, when the download starts. A download
/// that ends before any byte came leaves no file behind that it created; one
/// that breaks off once bytes have come keeps them in the target file.
///
/// An earlier file of that name (a download of the same entry before) stays
/// as it is until the new one has come whole: the bytes go into a file of
/// their own beside it, which takes its name in one step at the peer's
/// orderly close. A download that breaks off, or an answer without a single
/// byte, leaves the earlier file alone, and the progress list says so; the
/// bytes that did come are not kept.
class DownloadClient : public QObject
{
    Q_OBJECT

public:
    enum class State { Idle, Connecting, Receiving };
    Q_ENUM(State)

    /// How long the peer may take to accept the connection.
    static constexpr int ConnectTimeoutMs = 15000;
    /// How long the peer may fall silent once the request is sent.
    static constexpr int StallTimeoutMs = 60000;
    /// Bytes taken from the socket and written to the file at once.
    static constexpr qint64 ReadBlockSize = 64 * 1024;

    /// programFolder holds Downloads/; localAddress is this copy's address;
    /// uploadPort is the port dialled on every peer.
    DownloadClient(QString programFolder, const QString &localAddress, quint16 uploadPort, QObject *parent = nullptr);

    /// Starts fetching the file named by a result entry. False, with a
    /// progress line that says why, when the entry cannot be saved or its
    /// peer has no address; false with refused() when a download is running.
    bool startdownload(const QString &file);

    /// The connection to the serving peer, reused for every download.
    EventSocket &download() { return m_download; }
    /// The entry of the current or last download.
    const QString &DownloadRequest() const { return m_DownloadRequest; }
    /// The file the bytes go into (the target, or the file beside an earlier
    /// one); open while they do.
    const QFile &DownloadFile() const { return m_DownloadFile; }

    /// Ends a running download as one that broke off, for a copy that is
    /// about to end: it keeps what such a download keeps, and leaves nothing
    /// beside an earlier file of the entry.
    void stop();

    State state() const { return m_state; }
    /// Where the file named by entry is saved.
    QString targetPath(const QString &entry) const;

    void setConnectTimeout(int ms) { m_connectTimeoutMs = ms; }
    void setStallTimeout(int ms) { m_stallTimeoutMs = ms; }

signals:
    /// The progress list is to be emptied.
    void progressCleared();
    /// One text line for the progress list.
    void progressLine(const QString &line);
    /// count bytes were written at offset into the file at path; each is one
    /// line of the progress list. Where an earlier file of the entry is kept
    /// meanwhile, path is the file beside it that takes the target's name
    /// when the download is whole, or is removed when it breaks off: a reader
    /// that keeps the file open reads on across both.
    void bytesReceived(const QString &path, qint64 offset, qint64 count);
    /// A download was asked for while another one runs; nothing was started
    /// and the running one goes on.
    void refused(const QString &message);
    /// The download has ended: complete when the peer closed in order, which
    /// is the protocol's only end mark, and the target holds what it sent.
    void finished(bool complete);

private:
    void download_Connect();
    void download_DataArrival();
    void download_Close();
    void download_Error(int number, const QString &description);
    void connectTimedOut();
    void stalled();

    bool refuse(const QString &line);
    // Opens the file the bytes go into beside an earlier file of the entry;
    // why not, when that fails.
    QString openPart();
    // Puts the whole new file in the place of the earlier one; why not, when
    // that fails.
    QString replaceTarget();
    void endBeforeConnected(const QString &line);
    // The download stops before it is whole; reason leads the last line.
    void endReceiving(const QString &reason);

    QString m_programFolder;
    quint16 m_uploadPort;
    EventSocket m_download;
    QString m_DownloadRequest;
    QFile m_DownloadFile;
    QString m_target;
    // The file the bytes go into beside an earlier file of the entry, while
    // there is one.
    QString m_part;
    State m_state = State::Idle;
    QString m_peer;
    bool m_createdTarget = false;
    qint64 m_received = 0;
    QTimer *m_connectTimer;
    QTimer *m_stallTimer;
    int m_connectTimeoutMs = ConnectTimeoutMs;
    int m_stallTimeoutMs = StallTimeoutMs;
};
