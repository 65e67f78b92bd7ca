#pragma once

#include <QObject>

#include <functional>

class DirectoryExchange;
class Server;

/// File > Exit: takes this copy out of the central directory, removes the
/// notification-area icon and ends the process.
///
/// A running search stops first. The directory exchange then fetches the
/// directory, drops every record with this machine's address and puts the
/// rest back; when it cannot, the directory stays as it was. Either way the
/// program ends when the exchange is over, within its bounds.
class Shutdown : public QObject
{
    Q_OBJECT

public:
    Shutdown(DirectoryExchange &exchange, Server &server, std::function<void()> endProcess,
             QObject *parent = nullptr);

    /// Runs the exit command; a second request while it runs is ignored.
    void exit_Click();

    bool isRunning() const { return m_running; }

private:
    void exchange_Unregistered(bool ok);

    DirectoryExchange &m_exchange;
    Server &m_server;
    std::function<void()> m_endProcess;
    bool m_running = false;
};
