#pragma once

#include "directory/ftpclient.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

struct PeerTable;
class DirectoryFilter;
class DirectoryReader;
class ReplacingFile;

/// What the exchange with the central directory works with. The program
/// passes its own folder, this machine's address (taken once, at start-up)
/// and the directory host it was built for; tests pass their own.
struct DirectorySettings
{
    /// FTP host of the central directory, host or host:port.
    QString host;
    /// Folder that holds the local copy of the directory.
    QString programFolder;
    /// This copy's address: the record registered and the records removed.
    QString ownAddress;
    QString userName = QStringLiteral("Ferrin_1");
    QString password = QStringLiteral("Vantor");
    QString remoteFile = QStringLiteral("IP.txt");
    /// The largest directory file that is downloaded; a larger one is refused.
    qint64 maxFileSize = 256 * 1024 * 1024;
};

/// Registering this copy in the central directory at "Connect" and taking it
/// out again at "Exit", over one FTP session, without widgets.
///
/// Both are sequences of asynchronous steps, one state each; the states
/// below read in the order the steps run. Where the sequence lets the rest
/// of the program go on between two steps, the next step is queued behind
/// the events that are waiting, so windows repaint, timers tick and sockets
/// are served. The table is loaded and the directory filtered in slices of
/// a few milliseconds for the same reason.
///
/// Registering ("Connect"):
///   Connecting     log in
///   Connected      reports Step::Connected
///   Uploading      reports Step::Uploading
///   Fetching       download the directory (see Fetching below)
///   Appending      append this copy's two-line record to the server's file
///   Verifying      download it again: the record must be there, or it is
///                  appended again, MaxAppendAttempts in all
///   Keeping        that download becomes the local copy
///   Disconnecting  reports Step::Disconnecting (the session stays open)
///   Loading        reports Step::Loading, then loads the peer table from
///                  the local copy, a slice at a time
///   Done           reports Step::Done, then registered()
///
/// Unregistering ("Exit"):
///   LeaveFetching  download the directory; it counts only when it is the
///                  file as the server lists it after the download
///   Filtering      write the local copy without this copy's records; with
///                  none in it, the directory is left as it is (Closing)
///   Sending        upload it under a name of its own on the account
///   CheckingCopy   the upload must have arrived whole
///   CheckingFile   the directory must be as it was downloaded; if another
///                  copy changed it meanwhile, start over, MaxReplaceAttempts
///                  in all
///   Replacing      rename the upload over the directory in one step
///   Closing        say goodbye, then unregistered()
/// The whole of "Exit" ends within ExitDeadlineMs. Asked for while an append
/// of "Connect" is on its way, "Exit" starts once the append has ended.
///
/// Fetching (all three): on failure Redialling (disconnect), Reconnecting
/// (connect) and the download again, MaxFetchAttempts in all. Each try is
/// the size of the directory, its download into a scratch
/// file beside the local copy, and its size again. The download counts only
/// when its length is one of the two sizes (a server that cuts a file short
/// but reports success is caught here) and the file is within
/// Directory::MaxFileSize. A server that says the file does not exist gives
/// an empty directory.
///
/// Nothing is uploaded that was not just downloaded whole: when "Connect"
/// cannot fetch the directory it leaves it alone and the copy opens
/// unregistered, with the peers of its local copy; when "Exit" cannot, it
/// leaves the directory as it was.
class DirectoryExchange : public QObject
{
    Q_OBJECT

public:
    /// The points of "Connect" that the start-up window shows a text for.
    enum class Step { Connected, Uploading, Disconnecting, Loading, Done };
    Q_ENUM(Step)

    enum class State {
        Idle,
        // registering
        Connecting,
        Connected,
        Uploading,
        Fetching,
        Appending,
        Verifying,
        Keeping,
        Disconnecting,
        Loading,
        Done,
        // unregistering
        LeaveFetching,
        // between two downloads of either
        Redialling,
        Reconnecting,
        Filtering,
        Sending,
        CheckingCopy,
        CheckingFile,
        Replacing,
        Discarding,
        Closing,
    };
    Q_ENUM(State)

    /// Downloads before a step gives up.
    static constexpr int MaxFetchAttempts = 3;
    /// Appends of this copy's record at "Connect" before it gives up.
    static constexpr int MaxAppendAttempts = 3;
    /// Rewrites at "Exit" that other copies may spoil before it gives up.
    static constexpr int MaxReplaceAttempts = 5;
    /// Wait after appending before reading the record back: longer than
    /// another copy's check-then-rename at "Exit" takes, so a rename that
    /// overwrote the record is seen.
    static constexpr int VerifyDelayMs = 100;
    /// Longest time one slice of loading or filtering may hold the event loop.
    static constexpr int SliceMs = 4;
    /// "Exit" ends within this, whatever the server does: the program is
    /// waiting to end.
    static constexpr int ExitDeadlineMs = 60000;

    explicit DirectoryExchange(DirectorySettings settings, QObject *parent = nullptr);
    ~DirectoryExchange() override;

    const DirectorySettings &settings() const { return m_settings; }
    /// The FTP session; tests shorten its bounds.
    FtpClient &ftp() { return m_ftp; }
    /// The local copy of the directory, in the program folder.
    QString localCopy() const;

    /// Starts "Connect": ends with registered(); steps along the way with
    /// stepReached(). peers must outlive the exchange. False when an
    /// exchange runs already.
    bool registerCopy(PeerTable &peers);
    /// Starts "Exit": ends with unregistered(). A running registration is
    /// dropped first. False when leaving runs already.
    bool unregisterCopy();
    /// Drops whatever runs, without a signal.
    void cancel();

    State state() const { return m_state; }
    bool isRunning() const { return m_state != State::Idle; }
    /// Why the last exchange did not reach its goal; empty when it did.
    QString errorString() const { return m_errorString; }

signals:
    void stepReached(DirectoryExchange::Step step);
    /// "Connect" is over; ok when this copy's record is in the directory.
    void registered(bool ok);
    /// "Exit" is over; ok when the directory without this copy went up.
    void unregistered(bool ok);

private:
    enum class FetchPhase { SizeBefore, Download, SizeAfter };

    void enter(State state);
    void queue(State state);
    void onFtpFinished(bool ok);
    void startFetch();
    void fetchFinished(bool ok);
    void fetchFailed(const QString &why, bool final);
    void fetched();
    void appendRecord();
    void startLoading();
    void loadSlice();
    void leaveAfterFetch();
    void beginLeaving();
    void exitDeadlinePassed();
    void removeLeftovers();
    void filterSlice();
    void endRegistering(const QString &error);
    void endUnregistering(const QString &error);
    void warn(const QString &what);
    bool keepLocalCopy();
    QString scratchFile() const;

    DirectorySettings m_settings;
    FtpClient m_ftp;
    State m_state = State::Idle;
    State m_queued = State::Idle;
    QTimer m_stepTimer;
    QTimer m_sliceTimer;
    PeerTable *m_peers = nullptr;
    QString m_errorString;

    // Fetching
    FetchPhase m_fetchPhase = FetchPhase::SizeBefore;
    int m_fetchAttempts = 0;
    State m_fetchReturn = State::Idle;
    bool m_redialled = false;
    bool m_fetchedNothing = false;
    bool m_absentBefore = false;
    qint64 m_sizeBefore = -1;
    QDateTime m_timeBefore;
    qint64 m_fetchedSize = -1;
    qint64 m_sizeAfter = -1;
    QDateTime m_timeAfter;
    // The directory as last fetched: ends with a line end, own records in it.
    bool m_fetchedEndsWithLineEnd = true;
    qint64 m_ownBefore = 0;

    // Registering
    bool m_connectFailed = false;
    int m_appendAttempts = 0;
    bool m_registered = false;
    std::unique_ptr<QFile> m_loadFile;
    std::unique_ptr<DirectoryReader> m_reader;

    // Unregistering
    bool m_leaving = false;
    bool m_leaveAfterAppend = false;
    QTimer m_exitDeadline;
    bool m_leftOk = false;
    bool m_restartAfterDiscard = false;
    int m_replaceAttempts = 0;
    QString m_remoteScratch;
    std::unique_ptr<QFile> m_filterIn;
    std::unique_ptr<ReplacingFile> m_filterOut;
    std::unique_ptr<DirectoryFilter> m_filter;
    qint64 m_filteredSize = 0;
};
