#include "app/sessionend.h"

#include "net/uploadsinprogress.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int Signals[] = {SIGTERM, SIGINT, SIGHUP};
// A process ended by a signal ends with this status plus the signal's number.
constexpr int SignalStatusBase = 128;

int g_pipe[2] = {-1, -1};
// Set once the exit command has been asked for, in whatever way.
volatile std::sig_atomic_t g_leaving = 0;
// The last signal, and whether one came while leaving.
volatile std::sig_atomic_t g_signal = 0;
volatile std::sig_atomic_t g_again = 0;

extern "C" void onForcedEnd(int)
{
    // The system closes the process's connections in order: an upload cut
    // off by this end must not read as a whole file.
    UploadsInProgress::resetAll();
    _exit(SignalStatusBase + g_signal);
}

extern "C" void onSignal(int number)
{
    g_signal = number;
    if (g_leaving != 0) {
        // A second request: the event loop ends the process, or, if it
        // cannot in time, this handler's alarm does.
        g_again = 1;
        alarm(SessionEnd::ForcedEndSeconds);
    }
    g_leaving = 1;
    // write() may change errno under the code this signal interrupted.
    const int savedErrno = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t written = write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

void setHandler(int number, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(number, &action, nullptr);
}

} // namespace

SessionEnd::SessionEnd(QObject *parent)
    : QObject(parent)
{
    if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SessionEnd::readSignal);

    for (const int number : Signals)
        setHandler(number, onSignal);
    setHandler(SIGALRM, onForcedEnd);

    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        // Asked to save, the copy has nothing to save and nothing to be
        // restarted with at the next login; it goes on running.
        connect(app, &QGuiApplication::commitDataRequest, this,
                [](QSessionManager &manager) { manager.setRestartHint(QSessionManager::RestartNever); });
    }
    QCoreApplication::instance()->installEventFilter(this);
}

SessionEnd::~SessionEnd()
{
    alarm(0);
    for (const int number : Signals)
        setHandler(number, SIG_DFL);
    setHandler(SIGALRM, SIG_DFL);
    for (int &fd : g_pipe) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    g_leaving = 0;
    g_signal = 0;
    g_again = 0;
}

void SessionEnd::readSignal()
{
    char bytes[16];
    while (read(g_pipe[0], bytes, sizeof bytes) > 0) {
    }
    if (g_again != 0 && !m_endedNow) {
        // The event loop has it in time: the handler's own end is not needed.
        alarm(0);
        m_endedNow = true;
        emit endNowRequested(SignalStatusBase + g_signal);
        return;
    }
    request();
}

void SessionEnd::request()
{
    if (m_requested)
        return;
    leaving();
    emit endRequested();
}

void SessionEnd::leaving()
{
    m_requested = true;
    g_leaving = 1;
}

bool SessionEnd::eventFilter(QObject *watched, QEvent *event)
{
    // Quitting the event loop would end the program without leaving the
    // directory: the exit command ends it instead.
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance()) {
        request();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
