#include "directory/tamsin.h"
#include "app/windows/canvas.h"
#include "app/windows/form1.h"
#include "app/windows/frmdp.h"
#include "app/windows/frmsearch.h"
#include "app/windows/iconcontrol.h"
#include "app/windows/mdimain.h"
#include "app/windows/orvik.h"
#include "net/downloadclient.h"
#include "net/server.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void layoutFollowsTheFrame_data();
    void layoutFollowsTheFrame();
    void mouseMovePutsStatusBackLeft();
    void closeRequestMinimisesAndHides();
    void noTrayMinimisesAndTellsOnce();
    void iconDoubleClickRule();
    void tipNamesTheProgram_data();
    void tipNamesTheProgram();
    void statusTicks();
    void changedCountWhileMinimisedLeavesItBlack();
    void statusClickOpensBothWindows();
    void windowsExistOnce();
    void gradients();
    void menusByKeyboard();
    void childrenStayReachable();
    void errorsStayWhileTheirCauseLasts();
    void doubleClickShowsADownloadStarting();

private:
    QSize client() const { return m_main->area()->viewport()->size(); }
    bool reachable(const QWidget *child) const { return m_main->reachableArea().contains(child->geometry()); }
    // An event of the notification-area icon, as the desktop reports it.
    static void clickIcon(QSystemTrayIcon::ActivationReason reason = QSystemTrayIcon::DoubleClick)
    {
        emit Iconcontrol::trayIcon()->activated(reason);
    }

    QTemporaryDir m_folder;
    QTcpServer m_peer;
    PeerTable m_peers;
    std::unique_ptr<MDIMain> m_main;
};

void TestMainWindow::initTestCase()
{
    // Downloads go to a folder of the test's own, from a peer that takes the
    // connection on a port of its own.
    QVERIFY(QDir(m_folder.path()).mkdir(QStringLiteral("Downloads")));
    QVERIFY(m_peer.listen(QHostAddress::LocalHost, 0));
}

void TestMainWindow::init()
{
    m_peers = PeerTable();
    Iconcontrol::overrideTrayAvailable(true);
    ServerSettings settings;
    settings.localAddress = QStringLiteral("127.0.0.1");
    settings.programFolder = m_folder.path();
    settings.uploadPort = m_peer.serverPort();
    m_main = std::make_unique<MDIMain>(settings, m_peers);
    m_main->load();
    m_main->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_main.get()));
    m_main->orvik()->status()->stop(); // ticks are driven by hand
}

void TestMainWindow::cleanup()
{
    m_main.reset();
    Iconcontrol::RemoveTrayIcon();
    Iconcontrol::overrideTrayAvailable(std::nullopt);
}

void TestMainWindow::layoutFollowsTheFrame_data()
{
    QTest::addColumn<QSize>("frame");
    QTest::newRow("designed") << QSize();
    QTest::newRow("wide") << QSize(1013, 600);
    QTest::newRow("small") << QSize(417, 333);
}

void TestMainWindow::layoutFollowsTheFrame()
{
    QFETCH(QSize, frame);
    if (frame.isValid())
        m_main->resize(frame);
    QTRY_COMPARE(m_main->server()->height(), client().height());

    const QRect server = m_main->server()->geometry();
    QCOMPARE(server.width(), qRound(client().width() / 20.0));
    QCOMPARE(server.right() + 1, client().width());
    QCOMPARE(server.top(), 0);

    const QRect status = m_main->orvik()->geometry();
    QCOMPARE(status.left(), 0);
    QCOMPARE(status.width(), client().width());
    QCOMPARE(status.bottom() + 1, client().height());
    QCOMPARE(status.height(), m_main->orvik()->designHeight());
    // The two strips share the bottom-right corner.
    QVERIFY(server.intersects(status));
}

void TestMainWindow::mouseMovePutsStatusBackLeft()
{
    // Pixel 515, the message number of an icon's double click, is only a
    // move here: icon events come through the icon.
    m_main->resize(700, 400);
    Orvik *status = m_main->orvik();
    status->move(40, status->y());
    QTest::mouseMove(m_main->area()->viewport(), QPoint(515, 5));
    QTRY_COMPARE(status->x(), 0);
    QCOMPARE(m_main->windowState(), Qt::WindowNoState);
}

void TestMainWindow::closeRequestMinimisesAndHides()
{
    // A frame on screen gives the hiding timer nothing to do.
    QTimer *hiding = m_main->form1()->Timer1();
    QVERIFY(!hiding->isActive());
    m_main->close();
    QVERIFY(m_main->isMinimized());
    QCOMPARE(hiding->interval(), 100);
    QTRY_VERIFY_WITH_TIMEOUT(!m_main->isVisible(), 2000);
    QVERIFY(m_main->isMinimized());
    // The icon it can be brought back with is still there.
    QVERIFY(Iconcontrol::trayIcon() && Iconcontrol::trayIcon()->isVisible());
    // In the notification area nothing ticks: neither the hiding nor the
    // user count, which is caught up once the frame is back.
    QVERIFY(!hiding->isActive());
    Orvik *status = m_main->orvik();
    QVERIFY(!status->status()->isActive());
    m_peers.PeerCount = 7;
    clickIcon();
    QVERIFY(status->status()->isActive());
    QCOMPARE(status->Label1()->text(), QStringLiteral("Users: 7"));
}

void TestMainWindow::noTrayMinimisesAndTellsOnce()
{
    Iconcontrol::overrideTrayAvailable(false);
    Orvik *status = m_main->orvik();
    m_main->close();
    QVERIFY(m_main->isMinimized());
    // With nowhere to hide it in, the frame stays on the task bar and the
    // hiding timer does not run; the strip says how to bring it back.
    QVERIFY(m_main->isVisible());
    QVERIFY(!m_main->form1()->Timer1()->isActive());
    QVERIFY(status->line().contains(QStringLiteral("task bar")));
    QVERIFY(!status->hasError());

    // An error replaces the notice; once it has gone, a second close says
    // nothing.
    status->showError(QStringLiteral("an error"));
    status->clearError(QStringLiteral("an error"));
    m_main->showNormal();
    m_main->close();
    QCOMPARE(status->line(), QString());
}

void TestMainWindow::iconDoubleClickRule()
{
    // Hidden and minimised, even after having been maximised: back to normal.
    m_main->showMaximized();
    m_main->setWindowState(Qt::WindowMinimized | Qt::WindowMaximized);
    QTRY_VERIFY(!m_main->isVisible());
    clickIcon();
    QVERIFY(m_main->isVisible());
    QCOMPARE(m_main->windowState(), Qt::WindowNoState);

    // Other icon events change nothing.
    for (auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick,
                        QSystemTrayIcon::Unknown}) {
        clickIcon(reason);
        QCOMPARE(m_main->windowState(), Qt::WindowNoState);
    }

    // Normal or maximised: minimised, then hidden by the timer.
    clickIcon();
    QVERIFY(m_main->isMinimized());
    QTRY_VERIFY(!m_main->isVisible());
    clickIcon();
    m_main->showMaximized();
    clickIcon();
    QVERIFY(m_main->isMinimized());

    // Where the desktop never reports a double click, the icon's menu brings
    // the hidden frame back.
    QTRY_VERIFY(!m_main->isVisible());
    QMenu *menu = Iconcontrol::trayIcon()->contextMenu();
    QVERIFY(menu);
    menu->actions().constFirst()->trigger();
    QVERIFY(m_main->isVisible());
    QCOMPARE(m_main->windowState(), Qt::WindowNoState);
}

void TestMainWindow::tipNamesTheProgram_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("tip");
    QTest::newRow("the program") << "Ferrin1" << "1.0.0" << "Ferrin1 1.0, Build 0";
    QTest::newRow("the third number is the build") << "Ferrin1" << "2.5.7" << "Ferrin1 2.5, Build 7";
    QTest::newRow("cut at 64") << QString(70, u'N') << "1.0.0" << QString(64, u'N');
}

void TestMainWindow::tipNamesTheProgram()
{
    QFETCH(QString, name);
    QFETCH(QString, version);
    QFETCH(QString, tip);
    const QString testName = QCoreApplication::applicationName();
    const QString testVersion = QCoreApplication::applicationVersion();
    QCoreApplication::setApplicationName(name);
    QCoreApplication::setApplicationVersion(version);
    Iconcontrol::RemoveTrayIcon();
    Iconcontrol::AddTrayIcon(m_main.get());
    QCoreApplication::setApplicationName(testName);
    QCoreApplication::setApplicationVersion(testVersion);
    QCOMPARE(Iconcontrol::trayIcon()->toolTip(), tip);
}

void TestMainWindow::statusTicks()
{
    Orvik *status = m_main->orvik();
    QLabel *label = status->Label1();
    status->status_Timer();
    QCOMPARE(label->text(), QStringLiteral("Users: 0"));

    // A count that changes at every tick keeps the old caption.
    m_peers.PeerCount = 1;
    status->status_Timer();
    QCOMPARE(label->text(), QStringLiteral("Users: 0"));
    m_peers.PeerCount = 2;
    status->status_Timer();
    QCOMPARE(label->text(), QStringLiteral("Users: 0"));
    // The first quiet tick shows the final count.
    status->status_Timer();
    QCOMPARE(label->text(), QStringLiteral("Users: 2"));

    // No overflow past 16 bits.
    m_peers.PeerCount = 40000;
    status->status_Timer();
    status->status_Timer();
    QCOMPARE(label->text(), QStringLiteral("Users: 40000"));
}

void TestMainWindow::changedCountWhileMinimisedLeavesItBlack()
{
    Orvik *status = m_main->orvik();
    Iconcontrol::overrideTrayAvailable(false);
    m_main->showMinimized();
    QTRY_VERIFY(m_main->isMinimized());
    m_peers.PeerCount = 3;
    status->status_Timer();
    const QImage image = status->canvas()->image();
    QCOMPARE(image.pixelColor(status->canvas()->width() - 3, status->canvas()->height() / 2), QColor(0, 0, 0));
}

void TestMainWindow::statusClickOpensBothWindows()
{
    Orvik *status = m_main->orvik();
    QTest::mouseClick(status->Label1(), Qt::LeftButton);
    QVERIFY(!m_main->searchWindow()->isVisible());
    QVERIFY(!m_main->progressWindow()->isVisible());

    Canvas *surface = status->canvas();
    QTest::mouseClick(surface, Qt::LeftButton, {}, QPoint(surface->width() / 2, surface->height() / 2));
    QTRY_VERIFY(m_main->searchWindow()->isVisible());
    QVERIFY(m_main->progressWindow()->isVisible());
    QCOMPARE(m_main->area()->activeSubWindow(), m_main->searchWindow());
    const auto order = m_main->area()->subWindowList(QMdiArea::StackingOrder);
    QVERIFY(order.indexOf(m_main->searchWindow()) > order.indexOf(m_main->progressWindow()));
}

void TestMainWindow::windowsExistOnce()
{
    m_main->showSearchWindow();
    frmsearch *first = m_main->searchWindow();
    m_main->showSearchWindow();
    QCOMPARE(m_main->searchWindow(), first);
    QCOMPARE(m_main->findChildren<frmsearch *>().size(), 1);

    // Closed by the user: discarded, and made anew on next use.
    first->close();
    QTRY_COMPARE(m_main->findChildren<frmsearch *>().size(), 0);
    m_main->showSearchWindow();
    QCOMPARE(m_main->findChildren<frmsearch *>().size(), 1);

    m_main->showProgressWindow();
    m_main->showProgressWindow();
    QCOMPARE(m_main->findChildren<frmDP *>().size(), 1);
}

void TestMainWindow::gradients()
{
    m_main->resize(900, 600);
    QTRY_COMPARE(m_main->server()->height(), client().height());

    // Status strip: black at the left, green growing to the right.
    const QImage status = m_main->orvik()->canvas()->image();
    const int y = status.height() - 2;
    const int w = m_main->orvik()->canvas()->width();
    QCOMPARE(status.pixelColor(0, y), QColor(0, 0, 0));
    QCOMPARE(status.pixelColor(w - 1, y), QColor(0, 254, 0));
    for (int x = 1; x < w; ++x)
        QVERIFY(status.pixelColor(x, y).green() >= status.pixelColor(x - 1, y).green());

    // Networking strip: black at the top, green growing downwards.
    const QImage server = m_main->server()->gradientImage();
    QCOMPARE(server.pixelColor(0, 0), QColor(0, 0, 0));
    QCOMPARE(server.pixelColor(0, server.height() - 1), QColor(0, 254, 0));
    for (int row = 1; row < server.height(); ++row)
        QVERIFY(server.pixelColor(0, row).green() >= server.pixelColor(0, row - 1).green());

    // Maximised, the networking strip paints nothing new.
    const QSize before = server.size();
    m_main->server()->showMaximized();
    QTRY_VERIFY(m_main->server()->isMaximized());
    QTRY_VERIFY(m_main->server()->widget()->size() != before);
    QCOMPARE(m_main->server()->gradientImage().size(), before);
}

void TestMainWindow::menusByKeyboard()
{
    QMenuBar *bar = m_main->menuBar();
    QAccessibleInterface *menus = QAccessible::queryAccessibleInterface(bar);
    QCOMPARE(menus->role(), QAccessible::MenuBar);
    QStringList titles;
    for (int i = 0; i < menus->childCount(); ++i)
        titles << menus->child(i)->text(QAccessible::Name);
    QCOMPARE(titles, QStringList({"File", "Window"}));

    m_main->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_main.get()));
    auto *file = m_main->findChild<QMenu *>(QStringLiteral("file"));
    auto *window = m_main->findChild<QMenu *>(QStringLiteral("window"));
    QTest::keyClick(m_main.get(), Qt::Key_F, Qt::AltModifier);
    QTRY_VERIFY(file->isVisible());
    QTest::keyClick(file, Qt::Key_Escape);
    QTRY_VERIFY(!file->isVisible());

    QTest::keyClick(m_main.get(), Qt::Key_W, Qt::AltModifier);
    QTRY_VERIFY(window->isVisible());
    QTest::keyClick(window, Qt::Key_D);
    QTRY_VERIFY(m_main->progressWindow()->isVisible());
    QTest::keyClick(m_main.get(), Qt::Key_W, Qt::AltModifier);
    QTRY_VERIFY(window->isVisible());
    QTest::keyClick(window, Qt::Key_S);
    QTRY_VERIFY(m_main->searchWindow()->isVisible());
    QTRY_VERIFY(m_main->searchWindow()->searchtext()->hasFocus());
}

void TestMainWindow::childrenStayReachable()
{
    // Opened in a small frame, one below the other as the area cascades
    // them: both lie in the area, above the status strip.
    m_main->resize(560, 420);
    QTRY_COMPARE(m_main->server()->height(), client().height());
    m_main->showProgressWindow();
    m_main->showSearchWindow();
    frmDP *progress = m_main->progressWindow();
    frmsearch *search = m_main->searchWindow();
    QVERIFY(reachable(progress));
    QVERIFY(reachable(search));
    QVERIFY(!search->geometry().intersects(m_main->orvik()->geometry()));

    // A child left outside comes back when the frame changes size, when the
    // frame is un-maximised, and when the menu shows it; one inside stays.
    progress->move(3000, 3000);
    m_main->resize(540, 400);
    QTRY_VERIFY(reachable(progress));
    search->move(10, 10);
    m_main->resize(700, 500);
    QTRY_VERIFY(reachable(progress));
    QCOMPARE(search->pos(), QPoint(10, 10));

    m_main->showMaximized();
    QTRY_VERIFY(m_main->isMaximized());
    QTRY_VERIFY(client().width() > 700);
    progress->move(m_main->reachableArea().bottomRight() - QPoint(progress->width(), progress->height()));
    m_main->showNormal();
    QTRY_VERIFY(!m_main->isMaximized());
    QTRY_VERIFY(reachable(progress));

    m_main->showMinimized();
    QTRY_VERIFY(m_main->isMinimized());
    progress->move(3000, 3000);
    m_main->showNormal();
    QTRY_VERIFY(reachable(progress));

    progress->move(-500, 2000);
    m_main->showProgressWindow();
    QVERIFY(reachable(progress));
}

void TestMainWindow::errorsStayWhileTheirCauseLasts()
{
    Orvik *status = m_main->orvik();
    const QString error = QStringLiteral("Cannot listen on port 1100: The bound address is already in use");
    status->showError(error);
    QAccessibleInterface *strip = QAccessible::queryAccessibleInterface(status->canvas());
    QCOMPARE(strip->role(), QAccessible::StatusBar);
    QCOMPARE(strip->text(QAccessible::Name), QStringLiteral("Status"));

    // Count ticks, quiet and changed, and a resize repaint the strip; the
    // error, "Status: " and the count all stay.
    m_peers.PeerCount = 4;
    status->status_Timer();
    status->status_Timer();
    m_main->resize(m_main->width() + 40, m_main->height());
    QTRY_COMPARE(status->width(), client().width());
    m_peers.PeerCount = 5;
    status->status_Timer();
    QCOMPARE(status->Label1()->text(), QStringLiteral("Users: 4"));
    QVERIFY(status->lineLabel()->isVisible());
    QVERIFY(status->lineLabel()->text().startsWith(QStringLiteral("Cannot listen")));
    QVERIFY(status->lineLabel()->geometry().left() > status->Label1()->geometry().right());
    // Too long for the strip, it is cut to the lines that fit.
    const QString tooLong = QStringLiteral("Not registered in the central directory: Cannot download the central "
                                           "directory: Cannot reach the FTP server: Failed to connect to 127.0.0.1 "
                                           "port 2121: Connection refused");
    status->showError(tooLong);
    QLabel *line = status->lineLabel();
    QVERIFY(line->text().endsWith(QChar(0x2026)));
    QVERIFY(line->heightForWidth(line->width()) <= status->designHeight());
    QVERIFY(line->geometry().right() < m_main->server()->geometry().left());
    status->showError(error);
    QCOMPARE(strip->text(QAccessible::Description), error);
    // "Status: " is printed again in full green, left of the count.
    const QImage image = status->canvas()->image();
    bool printed = false;
    for (int x = 0; x < status->Label1()->x() && !printed; ++x)
        for (int y = 0; y < status->designHeight() && !printed; ++y)
            printed = image.pixelColor(x, y).green() > 200;
    QVERIFY(printed);

    // One taken back shows the one it had covered, if that still stands.
    status->showError(QStringLiteral("a later error"));
    status->clearError(QStringLiteral("a later error"));
    QCOMPARE(status->line(), error);
    status->clearError(QStringLiteral("an error that has gone before"));
    QCOMPARE(status->line(), error);

    // A notice does not hide an error; with every error gone, the plain
    // status is left.
    QVERIFY(!status->showNotice(QStringLiteral("a notice")));
    QCOMPARE(status->line(), error);
    status->clearError(error);
    QCOMPARE(status->line(), tooLong);
    status->clearError(tooLong);
    QVERIFY(!status->lineLabel()->isVisible());
    QCOMPARE(strip->text(QAccessible::Description), QStringLiteral("Status: "));
}

void TestMainWindow::doubleClickShowsADownloadStarting()
{
    const QString entry = QStringLiteral("127.0.0.1\u00a7a.txt");
    frmsearch *search = m_main->searchWindow();
    m_main->showProgressWindow();
    m_main->showSearchWindow();
    search->addResults({entry});
    QAbstractItemView *list = search->Searchresults();
    const QPoint first = list->visualRect(list->model()->index(0, 0)).center();
    const auto busy = [search] { return search->cursor().shape() == Qt::BusyCursor; };
    const auto stackIndex = [this](QMdiSubWindow *w) {
        return m_main->area()->subWindowList(QMdiArea::StackingOrder).indexOf(w);
    };

    // The progress window is open: it comes to the front once the peer has
    // taken the connection; until then the pointer is busy.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, first);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, first);
    QVERIFY(busy());
    QTRY_VERIFY(!busy());
    frmDP *progress = m_main->progressWindow();
    QVERIFY(stackIndex(progress) > stackIndex(search));
    QTRY_VERIFY(m_peer.hasPendingConnections());
    std::unique_ptr<QTcpSocket> connection(m_peer.nextPendingConnection());
    // A second one is refused while it runs, and the strip says so until
    // the running one ends.
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, first);
    QVERIFY2(m_main->orvik()->line().contains(QStringLiteral("is still running")),
             qPrintable(m_main->orvik()->line()));
    QSignalSpy done(&m_main->server()->downloads(), &DownloadClient::finished);
    connection->close();
    QVERIFY(done.wait());
    QCOMPARE(m_main->orvik()->line(), QString());

    // Closed by the user, the progress window is made again hidden, and the
    // busy pointer is all there is to see until the peer answers.
    progress->close();
    QTRY_VERIFY(!m_main->findChild<frmDP *>());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, first);
    QVERIFY(busy());
    QTRY_VERIFY(!busy());
    QVERIFY(!m_main->progressWindow()->isVisible());
    QTRY_VERIFY(m_peer.hasPendingConnections());
    delete m_peer.nextPendingConnection();
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
