#pragma once

#include "net/serversettings.h"

#include <QMainWindow>
#include <QPointer>
#include <QStringList>

class Form1;
class Orvik;
class QMdiArea;
class QMdiSubWindow;
class Server;
class frmDP;
class frmsearch;
struct PeerTable;

/// The main window: a frame that holds the networking strip on the right, the
/// status strip at the bottom, and the search and progress windows. It cannot
/// be closed; the only way out is File > Exit.
class MDIMain : public QMainWindow
{
    Q_OBJECT

public:
    /// The networking strip is the client area's width divided by this, at
    /// its right edge.
    static constexpr int ServerWidthShare = 20;

    MDIMain(ServerSettings settings, const PeerTable &peers, QWidget *parent = nullptr);
    ~MDIMain() override;

    /// Runs the load handler the first time the frame is used; later calls do
    /// nothing.
    void load();
    bool isLoaded() const { return m_loaded; }

    /// The child windows, each created on first use. The search and progress
    /// windows are created hidden; a closed one is created anew.
    Server *server();
    Orvik *orvik();
    frmsearch *searchWindow();
    frmDP *progressWindow();
    Form1 *form1() const { return m_Form1; }

    /// Makes the window visible and brings it to the front.
    void showSearchWindow();
    void showProgressWindow();

    /// The client area that holds the child windows.
    QMdiArea *area() const { return m_area; }

    /// The part of the client area where a child window can be seen and
    /// reached: all of it above the status strip and left of the networking
    /// strip.
    QRect reachableArea() const;

signals:
    /// File > Exit.
    void exitRequested();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void MDIForm_Load();
    void MDIForm_Resize();
    void MDIForm_MouseMove();
    void buildMenus();
    void connectServer();
    void showSearchProgress();
    void connectDownloadFeedback();
    void downloadAnswered();
    // The addresses of the peer table, entries 1 to PeerCount.
    QStringList peerAddresses() const;
    void addHidden(QMdiSubWindow *child, Qt::WindowFlags flags = {});
    void showChild(QMdiSubWindow *child);
    // Moves child, when it lies partly outside the reachable area, back
    // inside it (its top-left corner first, when it is larger).
    void keepInside(QMdiSubWindow *child);
    void keepChildrenInside();

    ServerSettings m_settings;
    const PeerTable &m_peers;
    QMdiArea *m_area;
    Server *m_Server = nullptr;
    Orvik *m_Orvik = nullptr;
    QPointer<frmsearch> m_frmsearch;
    QPointer<frmDP> m_frmDP;
    Form1 *m_Form1 = nullptr;
    bool m_loaded = false;
    // What the search window's list says about the running or last search.
    QString m_searchProgress;
    QStringList m_cutOff;
    // Refusals of a download asked for while another one ran, on the status
    // strip until that one ends.
    QStringList m_refusals;
    // Whether the status strip has said how to bring back a frame closed on a
    // desktop without a notification area.
    bool m_toldHowToRestore = false;
};
