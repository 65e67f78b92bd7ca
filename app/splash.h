#pragma once

#include "app/startup.h"
#include "directory/directoryexchange.h"

#include <QWidget>

#include <functional>
#include <memory>

class AmbrelFactory;
class AmbrelStrip;
class ButtonLabel;
class MDIMain;
class QFrame;
class QLabel;
class QLineEdit;
class Shutdown;
struct PeerTable;

/// The start-up window: the product name, a user-name box nobody reads, the
/// scrolling strip and the "Connect" label that starts the program proper.
class Splash : public QWidget
{
    Q_OBJECT

public:
    Splash(AmbrelFactory &strips, ProgramSettings settings, PeerTable &peers, QWidget *parent = nullptr);
    ~Splash() override;

    /// Starts registering this copy in the central directory and loading the
    /// peer table; at the end the main window takes over (connectFinished()).
    void MainConnect();

    /// What ends the process after the exit command; tests watch it instead.
    void setEndProcess(std::function<void()> endProcess);

    /// The main window, once the start-up sequence has created it.
    MDIMain *mainWindow() const { return m_main.get(); }
    AmbrelStrip *strip() const { return m_Ambrel1; }
    /// The exchange with the central directory, at "Connect" and at "Exit".
    DirectoryExchange &exchange() { return *m_exchange; }
    /// The exit command, once the start-up sequence has made it.
    Shutdown *shutdown() const { return m_shutdown.get(); }

    bool isConnecting() const { return m_connecting; }

    /// The session ends (a signal, a logout): runs the exit command when
    /// there is a registration to take back, or ends the program at once.
    void endSession();

signals:
    /// A status text of the exchange has been put in the title label.
    void statusShown(const QString &text);
    /// "Connect" has started: from here on the exit command ends the program.
    void connectStarted();
    /// The start-up sequence is over: the main window is shown and listens.
    void connectFinished();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void Form_Load();
    void Label4_Click();
    void setStatus(const QString &text);
    void exchange_Step(DirectoryExchange::Step step);
    void exchange_Registered(bool ok);

    ProgramSettings m_settings;
    PeerTable &m_peers;
    QLabel *m_Label1 = nullptr;
    AmbrelStrip *m_Ambrel1 = nullptr;
    QLineEdit *m_Username = nullptr;
    QFrame *m_Picture1 = nullptr;
    ButtonLabel *m_Label4 = nullptr;
    std::unique_ptr<DirectoryExchange> m_exchange;
    std::unique_ptr<MDIMain> m_main;
    std::unique_ptr<Shutdown> m_shutdown;
    std::function<void()> m_endProcess;
    bool m_connecting = false;
    bool m_connected = false;
};
