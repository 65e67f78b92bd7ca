#pragma once

#include <QObject>

class QSocketNotifier;

/// Turns the end of a session into the exit command: SIGTERM, SIGINT and
/// SIGHUP (a kill, Ctrl+C, a closed terminal) and a request to quit the
/// event loop (what the desktop session manager sends once the session
/// really ends) all come out as endRequested(), once. A signal once the exit
/// command runs, however it was asked for (leaving()), comes out as
/// endNowRequested(): the user will not wait for the directory. If the
/// event loop does not take it within ForcedEndSeconds, the process ends
/// from the signal handler, uploads in progress reset first
/// (UploadsInProgress).
///
/// The session manager's request to save the session is not an end: it
/// comes for a save during the session as well as before a logout, and the
/// logout is followed by the quit.
///
/// The signal handler only writes a byte into a pipe (the one thing it may
/// safely do); the pipe's read end wakes the event loop.
class SessionEnd : public QObject
{
    Q_OBJECT

public:
    /// How long a second signal waits for the event loop before the handler
    /// ends the process itself.
    static constexpr unsigned ForcedEndSeconds = 2;

    /// Installs the handlers. One object per process.
    explicit SessionEnd(QObject *parent = nullptr);
    ~SessionEnd() override;

    /// The exit command runs: from now on a signal ends the process at once,
    /// and nothing more comes out as endRequested().
    void leaving();

signals:
    /// The session is ending: run the exit command. Emitted at most once.
    void endRequested();
    /// A signal while the exit command runs: end now, with this exit status.
    void endNowRequested(int status);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void readSignal();
    void request();

    QSocketNotifier *m_notifier = nullptr;
    bool m_requested = false;
    bool m_endedNow = false;
};
