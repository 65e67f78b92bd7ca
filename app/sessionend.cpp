#include "app/sessionend.h"

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

int g_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_received = 0;

extern "C" void onSignal(int number)
{
    // A second signal while the exit command runs: end now.
    if (g_received != 0)
        _exit(128 + number);
    g_received = number;
    // write() may change errno under the code this signal interrupted.
    const int savedErrno = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t written = write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

SessionEnd::SessionEnd(QObject *parent)
    : QObject(parent)
{
    if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SessionEnd::readSignal);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : Signals)
        sigaction(number, &action, nullptr);

    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        // The session manager asks first; what it does next (quitting the
        // event loop, or a SIGTERM) finds the exit command running.
        connect(app, &QGuiApplication::commitDataRequest, this, [this](QSessionManager &manager) {
            manager.setRestartHint(QSessionManager::RestartNever);
            request();
        });
    }
    QCoreApplication::instance()->installEventFilter(this);
}

SessionEnd::~SessionEnd()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int number : Signals)
        sigaction(number, &action, nullptr);
    for (int &fd : g_pipe) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    g_received = 0;
}

void SessionEnd::readSignal()
{
    char bytes[16];
    while (read(g_pipe[0], bytes, sizeof bytes) > 0) {
    }
    request();
}

void SessionEnd::request()
{
    if (m_requested)
        return;
    m_requested = true;
    emit endRequested();
}

bool SessionEnd::eventFilter(QObject *watched, QEvent *event)
{
    // Quitting the event loop would end the program without leaving the
    // directory; once there is something to leave, the exit command ends it.
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance() && m_holdQuit) {
        request();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
