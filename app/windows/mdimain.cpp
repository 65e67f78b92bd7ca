#include "app/windows/mdimain.h"

#include "Controls/twips.h"
#include "app/windows/form1.h"
#include "app/windows/frmdp.h"
#include "app/windows/frmsearch.h"
#include "app/windows/iconcontrol.h"
#include "app/windows/look.h"
#include "app/windows/orvik.h"
#include "directory/tamsin.h"
#include "net/downloadclient.h"
#include "net/searchclient.h"
#include "net/server.h"

#include <QCloseEvent>
#include <QMdiArea>
#include <QMenuBar>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

constexpr int HideInterval = 100;
constexpr Twips::Size ClientSize{7335, 5235};
// The client area behind the child windows.
const QColor AreaBackground(128, 128, 128);

constexpr char RestoreNotice[] = "Closing keeps Ferrin running, minimised: bring it back from the task bar. "
                                 "File > Exit ends it.";

} // namespace

MDIMain::MDIMain(ServerSettings settings, const PeerTable &peers, QWidget *parent)
    : QMainWindow(parent)
    , m_settings(std::move(settings))
    , m_peers(peers)
    , m_area(new QMdiArea(this))
{
    setObjectName(QStringLiteral("MDIMain"));
    setWindowTitle(QString::fromLatin1(Look::Caption));
    m_area->setObjectName(QStringLiteral("ClientArea"));
    m_area->setBackground(AreaBackground);
    setCentralWidget(m_area);
    buildMenus();
    m_area->viewport()->setMouseTracking(true);
    m_area->viewport()->installEventFilter(this);
    resize(Twips::toPixels(ClientSize, *this) + QSize(0, menuBar()->sizeHint().height()));
}

MDIMain::~MDIMain()
{
    delete m_Form1;
}

void MDIMain::buildMenus()
{
    // The captions read as designed; the ampersands only add Alt+letter keys.
    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("file"));
    QAction *update = file->addAction(QStringLiteral("Update"));
    update->setObjectName(QStringLiteral("update"));
    update->setEnabled(false);
    QAction *exit = file->addAction(QStringLiteral("&Exit"));
    exit->setObjectName(QStringLiteral("exit"));
    connect(exit, &QAction::triggered, this, &MDIMain::exitRequested);

    QMenu *window = menuBar()->addMenu(QStringLiteral("&Window"));
    window->setObjectName(QStringLiteral("window"));
    QAction *dp = window->addAction(QStringLiteral("&Download Progress"));
    dp->setObjectName(QStringLiteral("dp"));
    connect(dp, &QAction::triggered, this, &MDIMain::showProgressWindow);
    QAction *search = window->addAction(QStringLiteral("&Search"));
    search->setObjectName(QStringLiteral("search"));
    connect(search, &QAction::triggered, this, &MDIMain::showSearchWindow);
}

Server *MDIMain::server()
{
    if (!m_Server) {
        // A search asks the peers the table holds when it starts.
        m_Server = new Server(m_settings, [this] { return peerAddresses(); });
        addHidden(m_Server, Qt::FramelessWindowHint);
        connectServer();
    }
    return m_Server;
}

void MDIMain::connectServer()
{
    // What the networking side has to show goes to the windows here; a
    // progress or result line for a window that is closed creates it hidden.
    DownloadClient &download = m_Server->downloads();
    connect(&download, &DownloadClient::progressCleared, this, [this] { progressWindow()->clearProgress(); });
    connect(&download, &DownloadClient::progressLine, this,
            [this](const QString &line) { progressWindow()->addProgressLine(line); });
    connect(&download, &DownloadClient::bytesReceived, this,
            [this](const QString &path, qint64 offset, qint64 count) {
                progressWindow()->addProgressBytes(path, offset, count);
            });
    // A download refused because another one runs is told until that one ends.
    connect(&download, &DownloadClient::refused, this, [this](const QString &message) {
        orvik()->showError(message);
        m_refusals << message;
    });
    connect(&download, &DownloadClient::finished, this, [this] {
        for (const QString &message : std::exchange(m_refusals, {}))
            orvik()->clearError(message);
    });
    SearchClient &search = m_Server->searchClient();
    connect(&search, &SearchClient::resultEntries, this,
            [this](const QStringList &entries) { searchWindow()->addResults(entries); });
    connect(&search, &SearchClient::searchStarted, this, [this] {
        if (m_frmsearch)
            m_frmsearch->setSearching(true);
    });
    connect(&search, &SearchClient::searchFinished, this, [this] {
        if (m_frmsearch)
            m_frmsearch->setSearching(false);
    });
    // How far the search has come, for whoever reads the list rather than
    // watches it; an answer cut off at a bound is named there too.
    connect(&search, &SearchClient::searchStarted, this, [this] { m_cutOff.clear(); });
    connect(&search, &SearchClient::progress, this, [this](int done, int total) {
        m_searchProgress = tr("%1 of %2 peers asked").arg(done).arg(total);
        showSearchProgress();
    });
    connect(&search, &SearchClient::peerCutOff, this, [this](const QString &address, const QString &why) {
        m_cutOff << tr("the answer of %1 was cut off: it %2").arg(address, why);
        showSearchProgress();
    });
    connect(m_Server, &Server::listenerError, this, [this](const QString &text) { orvik()->showError(text); });
    connect(m_Server, &Server::listenerErrorCleared, this, [this](const QString &text) { orvik()->clearError(text); });
    connectDownloadFeedback();
}

void MDIMain::connectDownloadFeedback()
{
    // A double click on a result shows the busy pointer on the search window
    // until the peer has answered or the download could not start; the
    // progress window, when the user has it open, then comes to the front with
    // the answer in it. A progress window nobody opened stays hidden.
    DownloadClient &download = m_Server->downloads();
    connect(&download, &DownloadClient::progressCleared, this, [this] {
        downloadAnswered();
        if (m_frmDP && m_frmDP->isVisible())
            m_frmDP->raise();
    });
    connect(&download, &DownloadClient::finished, this, &MDIMain::downloadAnswered);
    connect(&download, &DownloadClient::refused, this, &MDIMain::downloadAnswered);
}

void MDIMain::downloadAnswered()
{
    if (m_frmsearch)
        m_frmsearch->setDownloadWaiting(false);
}

QStringList MDIMain::peerAddresses() const
{
    QStringList addresses;
    const qint64 bound = m_peers.readerBound();
    addresses.reserve(static_cast<qsizetype>(bound));
    for (qint64 i = 1; i <= bound; ++i)
        addresses.append(m_peers.PeerAddress[static_cast<std::size_t>(i)]);
    return addresses;
}

void MDIMain::showSearchProgress()
{
    if (!m_frmsearch)
        return;
    QStringList parts{m_searchProgress};
    parts << m_cutOff;
    m_frmsearch->setSearchProgress(parts.join(QStringLiteral("; ")));
}

Orvik *MDIMain::orvik()
{
    if (!m_Orvik) {
        m_Orvik = new Orvik(this, m_peers);
        addHidden(m_Orvik, Qt::FramelessWindowHint);
    }
    return m_Orvik;
}

frmsearch *MDIMain::searchWindow()
{
    if (!m_frmsearch) {
        m_frmsearch = new frmsearch(this);
        addHidden(m_frmsearch);
        SearchClient &client = server()->searchClient();
        m_frmsearch->setSearching(client.isSearching());
        connect(m_frmsearch, &frmsearch::searchRequested, m_Server, &Server::search);
        connect(m_frmsearch, &frmsearch::downloadRequested, m_Server, &Server::startdownload);
        if (!m_searchProgress.isEmpty())
            showSearchProgress();
    }
    return m_frmsearch;
}

frmDP *MDIMain::progressWindow()
{
    if (!m_frmDP) {
        m_frmDP = new frmDP(this);
        addHidden(m_frmDP);
    }
    return m_frmDP;
}

void MDIMain::addHidden(QMdiSubWindow *child, Qt::WindowFlags flags)
{
    // Made on first use, a child window shows only when asked to.
    m_area->addSubWindow(child, flags);
    child->hide();
}

void MDIMain::showChild(QMdiSubWindow *child)
{
    child->show();
    child->raise();
    m_area->setActiveSubWindow(child);
    // Shown for the first time, the window is placed and sized by now.
    keepInside(child);
}

QRect MDIMain::reachableArea() const
{
    // The two docked strips may come to lie over a child: the status strip
    // when the child is raised less recently, the networking strip whenever
    // the area activates it.
    QRect area = m_area->viewport()->rect();
    if (m_Orvik && m_Orvik->isVisible())
        area.setBottom(std::min(area.bottom(), m_Orvik->geometry().top() - 1));
    if (m_Server && m_Server->isVisible())
        area.setRight(std::min(area.right(), m_Server->geometry().left() - 1));
    return area;
}

void MDIMain::keepInside(QMdiSubWindow *child)
{
    // The docked strips have their own places; a minimised or maximised child
    // is placed by the area itself.
    if (!child || !child->isVisible() || child == m_Server || child == m_Orvik)
        return;
    if (child->windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen))
        return;
    const QRect area = reachableArea();
    if (area.isEmpty())
        return;
    const QRect g = child->geometry();
    const int x = std::max(area.left(), std::min(g.left(), area.right() + 1 - g.width()));
    const int y = std::max(area.top(), std::min(g.top(), area.bottom() + 1 - g.height()));
    if (QPoint(x, y) != g.topLeft())
        child->move(x, y);
}

void MDIMain::keepChildrenInside()
{
    if (isMinimized())
        return;
    for (QMdiSubWindow *child : m_area->subWindowList())
        keepInside(child);
}

void MDIMain::showSearchWindow()
{
    showChild(searchWindow());
}

void MDIMain::showProgressWindow()
{
    showChild(progressWindow());
}

void MDIMain::load()
{
    if (m_loaded)
        return;
    m_loaded = true;
    MDIForm_Load();
}

void MDIMain::MDIForm_Load()
{
    server()->show();
    Orvik *status = orvik();
    const QSize client = m_area->viewport()->size();
    status->setGeometry(0, client.height() - status->designHeight(), client.width(), status->designHeight());
    status->show();
    Iconcontrol::AddTrayIcon(this);
    m_Form1 = new Form1(this);
    m_Form1->enableTimer(HideInterval);
    MDIForm_Resize();
}

void MDIMain::MDIForm_Resize()
{
    if (!m_loaded)
        return;
    const QSize client = m_area->viewport()->size();
    Server *net = server();
    const int width = static_cast<int>(std::lround(client.width() / double(ServerWidthShare)));
    net->setGeometry(client.width() - width, 0, width, client.height());

    Orvik *status = orvik();
    status->setGeometry(status->x(), client.height() - status->designHeight(), client.width(),
                        status->designHeight());
    status->show();
}

void MDIMain::MDIForm_MouseMove()
{
    // Icon events come through the icon's own signal, so a genuine move over
    // the client area is never read as one.
    if (m_Orvik)
        m_Orvik->move(0, m_Orvik->y());
}

void MDIMain::closeEvent(QCloseEvent *event)
{
    // The frame stays; closing it only sends it to the notification area.
    // Without one it stays on the task bar, and the strip says so once, for
    // when the user comes back.
    event->ignore();
    setWindowState(windowState() | Qt::WindowMinimized);
    if (!m_toldHowToRestore && m_loaded && !Iconcontrol::trayAvailable())
        m_toldHowToRestore = orvik()->showNotice(QString::fromLatin1(RestoreNotice));
}

void MDIMain::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    // Restored or un-maximised: children left outside come back in.
    if (event->type() == QEvent::WindowStateChange)
        keepChildrenInside();
}

bool MDIMain::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_area->viewport()) {
        if (event->type() == QEvent::Resize) {
            MDIForm_Resize();
            keepChildrenInside();
        } else if (event->type() == QEvent::MouseMove) {
            MDIForm_MouseMove();
        }
    }
    return QMainWindow::eventFilter(watched, event);
}
