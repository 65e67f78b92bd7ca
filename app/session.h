#pragma once

#include "app/startup.h"
#include "directory/directoryexchange.h"

#include <QObject>

#include <functional>
#include <memory>

class MDIMain;
class SessionEnd;
struct PeerTable;

/// The life of a running copy, from "Connect" to the end of the process, and
/// the one way out of it.
///
/// It owns the exchange with the central directory, the main window (and
/// with it the networking window and its listeners) and the end of the
/// process. The start-up window only shows the start: it asks for "Connect"
/// and hands over when the main window is shown.
///
/// Every way out comes to exit_Click(): File > Exit, a signal (SIGTERM,
/// SIGINT, SIGHUP), the quit that ends a desktop session, and closing the
/// start-up window before "Connect". In order:
///   Waiting      nothing is registered yet: the process ends at once;
///   Registering  "Connect" is on its way: it is dropped, and then as
///   Running      File > Exit: the running search stops, the exchange takes
///                this copy out of the directory (within its bounds), and
///   Leaving      once it has, the uploads still going out end with a reset,
///                a download still running stops, the notification-area
///                icon goes and the process ends.
/// A signal while that runs (a second one, or one after File > Exit) ends
/// the process at once, uploads reset first. A kill -9 ends it without any
/// of this.
class Session : public QObject
{
    Q_OBJECT

public:
    enum class State { Waiting, Registering, Running, Leaving, Ended };
    Q_ENUM(State)

    /// Ends the process with the given status and does not return. The
    /// program passes endProcessNow; a test passes its own.
    using EndProcess = std::function<void(int status)>;

    /// settings holds this machine's address, taken once when the program
    /// starts; peers must outlive the session. The signals and the end of the
    /// desktop session lead to exit_Click() as long as the session lives.
    Session(ProgramSettings settings, PeerTable &peers, EndProcess endProcess, QObject *parent = nullptr);
    ~Session() override;

    /// "Connect": the main window is made, hidden, and the exchange
    /// registers this copy and loads the peer table; at the end the main
    /// window shows and listens (running()). Only while waiting.
    void connectCopy();

    /// The one way out (see the class comment). A second call while the
    /// copy leaves changes nothing.
    void exit_Click();

    State state() const { return m_state; }
    DirectoryExchange &exchange() { return *m_exchange; }
    /// The main window, once "Connect" has made it.
    MDIMain *mainWindow() const { return m_main.get(); }

    /// What the program ends its process with: standard streams flushed, no
    /// destructor and no handler of any window run.
    static void endProcessNow(int status);

signals:
    /// The exchange of "Connect" is over: the start-up window goes, the main
    /// window comes.
    void handingOver();
    /// The main window is shown and its listeners are open.
    void running();

private:
    void exchange_Step(DirectoryExchange::Step step);
    void exchange_Registered(bool ok);
    void exchange_Unregistered(bool ok);
    // Ends the process now, without leaving the directory: uploads in
    // progress are reset first.
    void endNow(int status);
    void end(int status);

    ProgramSettings m_settings;
    PeerTable &m_peers;
    EndProcess m_endProcess;
    std::unique_ptr<DirectoryExchange> m_exchange;
    std::unique_ptr<MDIMain> m_main;
    SessionEnd *m_sessionEnd;
    State m_state = State::Waiting;
};
