#include "app/shutdown.h"

#include "app/windows/iconcontrol.h"
#include "directory/directoryexchange.h"
#include "net/searchclient.h"
#include "net/server.h"

#include <utility>

Shutdown::Shutdown(DirectoryExchange &exchange, Server &server, std::function<void()> endProcess, QObject *parent)
    : QObject(parent)
    , m_exchange(exchange)
    , m_server(server)
    , m_endProcess(std::move(endProcess))
{
    connect(&m_exchange, &DirectoryExchange::unregistered, this, &Shutdown::exchange_Unregistered);
}

void Shutdown::exit_Click()
{
    if (m_running)
        return;
    m_running = true;
    m_server.searchClient().cancel();
    m_exchange.unregisterCopy();
}

void Shutdown::exchange_Unregistered(bool)
{
    if (!m_running)
        return;
    Iconcontrol::RemoveTrayIcon();
    m_endProcess();
}
