#pragma once

#include "directory/directorysettings.h"
#include "directory/ftpclient.h"
#include "directory/servertraits.h"
#include "directory/uploadjournal.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

struct PeerTable;
class JoinJob;
class LeaveJob;

/// Registering this copy in the central directory at "Connect" and taking it
/// out again at "Exit", over one FTP session, without widgets: the start-up
/// window and the exit command start these here, and the jobs do the work
/// (JoinJob, LeaveJob, each built of ReadJob, ReplaceJob and SweepJob).
///
/// What one job learns of the server (a refused APPE, a refused rename over
/// an existing file, its clock) holds for the rest of the session.
///
/// The whole of "Exit" ends within the exit deadline (ExitDeadlineMs),
/// whatever the server does, the wait for a "Connect" write still on its way
/// included: a little before the deadline (CleanupShare) the running job
/// gives up and deletes its temporary upload; at the deadline everything is
/// dropped. The one exception is an upload straight over the directory (on
/// a server that refuses a rename over a file) that has begun: the server
/// has emptied the directory, and dropped half-way it would stay cut short
/// for every copy, so it is let end, its repair included, and "Exit" ends
/// with it.
class DirectoryExchange : public QObject
{
    Q_OBJECT

public:
    /// The points of "Connect" that the start-up window shows a text for.
    enum class Step { Connected, Uploading, Disconnecting, Loading, Done };
    Q_ENUM(Step)

    /// "Exit" ends within this, whatever the server does: the program is
    /// waiting to end.
    static constexpr int ExitDeadlineMs = 60000;
    /// The running job gives up 1/CleanupShare of the deadline before it
    /// (5 s of 60), to delete its temporary upload in the time left.
    static constexpr int CleanupShare = 12;

    explicit DirectoryExchange(DirectorySettings settings, QObject *parent = nullptr);
    ~DirectoryExchange() override;

    /// The FTP session; tests shorten its bounds.
    FtpClient &ftp() { return m_ftp; }
    /// The local copy of the directory, in the program folder.
    QString localCopy() const { return m_settings.localCopy(); }
    /// Shortens the exit deadline (tests).
    void setExitDeadlineMs(int deadlineMs) { m_exitDeadlineMs = deadlineMs; }

    /// Starts "Connect": ends with registered(); steps along the way with
    /// stepReached(). peers must outlive the exchange; "Exit" refills it.
    /// False when an exchange runs already.
    bool registerCopy(PeerTable &peers);
    /// Starts "Exit": ends with unregistered(). A registration on its way
    /// is dropped first, or, while it writes to the directory, let finish.
    /// False when leaving runs already.
    bool unregisterCopy();

    /// Why the last exchange did not reach its goal; empty when it did.
    QString errorString() const { return m_errorString; }
    /// The job and step running, for logs and benchmarks ("Idle" when none).
    QString stateName() const;

signals:
    void stepReached(DirectoryExchange::Step step);
    /// "Connect" is over; ok when this copy's record is in the directory.
    void registered(bool ok);
    /// "Exit" is over; ok when the directory holds no record of this copy.
    void unregistered(bool ok);

private:
    bool isRunning() const;
    void joinFinished(bool ok);
    void startLeaving();
    void leaveFinished(bool ok);
    void exitDeadlinePassed();
    void dropAllPassed();
    void endLeaving(bool ok, const QString &error);
    void dropJobs();
    void removeLocalLeftovers();
    QString deadlineText() const;

    DirectorySettings m_settings;
    FtpClient m_ftp;
    ServerTraits m_traits;
    UploadJournal m_journal;
    PeerTable *m_peers = nullptr;
    std::unique_ptr<JoinJob> m_join;
    std::unique_ptr<LeaveJob> m_leave;
    bool m_leaving = false;
    bool m_deadlinePassed = false;
    QString m_errorString;
    int m_exitDeadlineMs = ExitDeadlineMs;
    QDeadlineTimer m_giveUpAt;
    QTimer m_giveUp;
    QTimer m_dropAll;
};
