#pragma once

#include <QObject>

#include <functional>

class Server;
struct PeerTable;

/// File > Exit: takes this copy out of the central directory, removes the
/// notification-area icon and ends the process.
///
/// The directory is fetched again, every entry with this machine's address is
/// dropped, and the rest is written back one record per line and put on the
/// FTP account. A failed fetch is retried on a fresh connection a few times;
/// when it keeps failing, or the fetched copy cannot be read, nothing is put
/// back, so that a local fault never wipes the directory for everybody.
class Shutdown : public QObject
{
    Q_OBJECT

public:
    /// Fetch attempts before the program ends without touching the directory.
    static constexpr int MaxDownloadAttempts = 3;

    Shutdown(Server &server, PeerTable &peers, std::function<void()> endProcess, QObject *parent = nullptr);

    /// Runs the exit command; a second request while it runs is ignored.
    void exit_Click();

    bool isRunning() const { return m_running; }

private:
    bool fetchDirectory();
    bool writeBack();

    Server &m_server;
    PeerTable &m_peers;
    std::function<void()> m_endProcess;
    bool m_running = false;
};
