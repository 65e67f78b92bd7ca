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
/// A new target file is created, empty, when the download starts. An earlier
/// file of that name (a download of the same entry before) stays as it is
/// until the first bytes of the new one have come: they are written beside
/// it and the new file replaces it in one step. An answer without a single
/// byte leaves it alone, and the progress list says so. A download that ends
/// before any byte came leaves no file behind that it created. A download
/// that breaks off once bytes have come keeps them in the target file: the
/// progress lines are read back from it.
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
    /// The target file; open while bytes go into it.
    const QFile &DownloadFile() const { return m_DownloadFile; }

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
    /// count bytes were written at offset into the target file at path; each
    /// is one line of the progress list.
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
    // Puts the new file, holding first, in the place of the earlier one and
    // opens it for the rest; why not, when that fails.
    QString replaceTarget(const QByteArray &first);
    void endBeforeConnected(const QString &line);
    void endReceiving(const QString &line);

    QString m_programFolder;
    quint16 m_uploadPort;
    EventSocket m_download;
    QString m_DownloadRequest;
    QFile m_DownloadFile;
    QString m_target;
    State m_state = State::Idle;
    QString m_peer;
    bool m_createdTarget = false;
    qint64 m_received = 0;
    QTimer *m_connectTimer;
    QTimer *m_stallTimer;
    int m_connectTimeoutMs = ConnectTimeoutMs;
    int m_stallTimeoutMs = StallTimeoutMs;
};
