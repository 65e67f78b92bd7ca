#pragma once

#include <QObject>

class QSocketNotifier;

/// Turns the end of a session into the exit command: SIGTERM, SIGINT and
/// SIGHUP (a kill, Ctrl+C, a closed terminal, a logout), the desktop
/// session manager's "save your data", and a request to quit the event loop
/// all come out as endRequested(), once; the program then leaves the
/// directory within the exit command's bounds. A second signal while that
/// runs ends the process at once.
///
/// The signal handler only writes a byte into a pipe (the one thing it may
/// safely do); the pipe's read end wakes the event loop.
class SessionEnd : public QObject
{
    Q_OBJECT

public:
    /// Installs the handlers. One object per process.
    explicit SessionEnd(QObject *parent = nullptr);
    ~SessionEnd() override;

    /// Whether the handlers are in place.
    bool isInstalled() const { return m_notifier != nullptr; }

    /// Whether a quit of the event loop is held back for the exit command.
    /// While false (before "Connect"), quitting quits.
    void setHoldQuit(bool hold) { m_holdQuit = hold; }

signals:
    /// The session is ending: run the exit command. Emitted once.
    void endRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void readSignal();
    void request();

    QSocketNotifier *m_notifier = nullptr;
    bool m_holdQuit = false;
    bool m_requested = false;
};
