#include "app/session.h"

#include "app/sessionend.h"
#include "app/windows/iconcontrol.h"
#include "app/windows/mdimain.h"
#include "app/windows/orvik.h"
#include "directory/directorylog.h"
#include "net/downloadclient.h"
#include "net/searchclient.h"
#include "net/server.h"
#include "net/uploadresponder.h"

#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <utility>

Session::Session(ProgramSettings settings, PeerTable &peers, EndProcess endProcess, QObject *parent)
    : QObject(parent)
    , m_settings(std::move(settings))
    , m_peers(peers)
    , m_endProcess(std::move(endProcess))
    , m_exchange(std::make_unique<DirectoryExchange>(m_settings.directory()))
    , m_sessionEnd(new SessionEnd(this))
{
    connect(m_exchange.get(), &DirectoryExchange::stepReached, this, &Session::exchange_Step);
    connect(m_exchange.get(), &DirectoryExchange::registered, this, &Session::exchange_Registered);
    connect(m_exchange.get(), &DirectoryExchange::unregistered, this, &Session::exchange_Unregistered);
    connect(m_sessionEnd, &SessionEnd::endRequested, this, &Session::exit_Click);
    connect(m_sessionEnd, &SessionEnd::endNowRequested, this, &Session::endNow);
}

Session::~Session() = default;

void Session::endProcessNow(int status)
{
    // Nothing after the exit command may run any more: no window's close
    // handler, no pending event.
    std::fflush(nullptr);
    std::_Exit(status);
}

void Session::connectCopy()
{
    if (m_state != State::Waiting)
        return;
    m_state = State::Registering;
    m_main = std::make_unique<MDIMain>(m_settings.server(), m_peers);
    connect(m_main.get(), &MDIMain::exitRequested, this, &Session::exit_Click);
    // The networking window is first used here, hidden until the end.
    m_main->server()->hide();
    if (!m_exchange->registerCopy(m_peers)) {
        qCWarning(lcDirectory) << "\"Connect\" could not start the exchange with the central directory";
        // The copy opens all the same, with the peers it knew, and says so.
        QTimer::singleShot(0, this, [this] { exchange_Registered(false); });
    }
}

void Session::exchange_Step(DirectoryExchange::Step step)
{
    // The main window is loaded, hidden; from here on its timers may tick.
    if (step == DirectoryExchange::Step::Uploading && m_main)
        m_main->load();
}

void Session::exchange_Registered(bool ok)
{
    if (m_state != State::Registering)
        return;
    m_state = State::Running;
    emit handingOver();
    m_main->load();
    m_main->show();
    Server *server = m_main->server();
    server->show();
    // Listeners last, so that an error of theirs is what the strip shows.
    if (!ok) {
        const QString why = m_exchange->errorString();
        m_main->orvik()->showError(tr("Not registered in the central directory: %1")
                                       .arg(why.isEmpty() ? tr("the exchange did not start") : why));
    }
    server->Init();
    emit running();
}

void Session::exit_Click()
{
    switch (m_state) {
    case State::Waiting:
        // Nothing registered anywhere yet: nothing to take back.
        end(0);
        return;
    case State::Leaving:
    case State::Ended:
        return;
    case State::Registering:
    case State::Running:
        break;
    }
    m_state = State::Leaving;
    // A signal from now on is the user's second request, whatever the first.
    m_sessionEnd->leaving();
    m_main->server()->searchClient().cancel();
    // A registration on its way is dropped by the exchange first.
    if (!m_exchange->unregisterCopy()) {
        qCWarning(lcDirectory) << "\"Exit\" could not start the exchange with the central directory;"
                               << "this copy's record stays in it";
        end(0);
    }
}

void Session::exchange_Unregistered(bool)
{
    if (m_state == State::Leaving)
        end(0);
}

void Session::endNow(int status)
{
    if (m_state != State::Ended)
        end(status);
}

void Session::end(int status)
{
    m_state = State::Ended;
    if (m_main) {
        // A close is the only end mark a download has: an upload this copy
        // cannot finish must end with a reset, before the process ends and
        // the system closes its connection in order.
        m_main->server()->uploads().stop();
        // Nothing unfinished is left beside an earlier download of an entry.
        m_main->server()->downloads().stop();
        Iconcontrol::RemoveTrayIcon();
    }
    m_endProcess(status);
}
