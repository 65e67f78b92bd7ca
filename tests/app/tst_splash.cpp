#include "Controls/ambrelinterface.h"
#include "Controls/twips.h"
#include "app/session.h"
#include "app/splash.h"
#include "app/startup.h"
#include "directory/tamsin.h"
#include "app/windows/iconcontrol.h"
#include "app/windows/look.h"
#include "app/windows/mdimain.h"

#include <QAccessible>
#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class TestSplash : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void onlySplashAtStart();
    void hoverBorderFollowsPointer();
    void connectHandsOverOnce_data();
    void connectHandsOverOnce();
    void closingBeforeConnectEndsProgram();
    void missingLibraryEndsWithClearMessage();

private:
    std::unique_ptr<Splash> makeSplash(Session::EndProcess end = {});
    AmbrelFactory *m_strips = nullptr;
    PeerTable m_peers;
    QTemporaryDir m_folder;
    // The directory's port: bound, never listening, so nobody answers there.
    QTcpSocket m_noDirectory;
    std::unique_ptr<Session> m_session;
};

void TestSplash::initTestCase()
{
    Look::resolveComicFace();
    QString error;
    m_strips = Startup::loadAmbrel(QStringLiteral(AMBREL_FOLDER), &error);
    QVERIFY2(m_strips, qPrintable(error));
    QVERIFY(m_noDirectory.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress));
}

void TestSplash::cleanup()
{
    m_session.reset();
    Iconcontrol::RemoveTrayIcon();
}

std::unique_ptr<Splash> TestSplash::makeSplash(Session::EndProcess end)
{
    ProgramSettings settings;
    settings.programFolder = m_folder.path();
    settings.localAddress = QStringLiteral("127.0.0.1");
    settings.directoryHost = QStringLiteral("127.0.0.1:%1").arg(m_noDirectory.localPort());
    settings.searchPort = 0;
    settings.uploadPort = 0;
    if (!end)
        end = [](int status) { qFatal("The process end was reached, status %d", status); };
    m_session.reset();
    Iconcontrol::RemoveTrayIcon();
    m_session = std::make_unique<Session>(settings, m_peers, end);
    auto splash = std::make_unique<Splash>(*m_strips, *m_session);
    splash->show();
    return splash;
}

void TestSplash::onlySplashAtStart()
{
    auto splash = makeSplash();
    QVERIFY(QTest::qWaitForWindowExposed(splash.get()));

    // No other window and no icon until "Connect".
    QWidgetList visible;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible())
            visible << w;
    QCOMPARE(visible, QWidgetList{splash.get()});
    QVERIFY(!Iconcontrol::trayIcon());

    // The designed face resolves to a comic face on this machine.
    auto *title = splash->findChild<QLabel *>(QStringLiteral("Label1"));
    QVERIFY2(QFontInfo(title->font()).family().contains(QStringLiteral("Comic")),
             qPrintable(QFontInfo(title->font()).family()));
}

void TestSplash::hoverBorderFollowsPointer()
{
    auto splash = makeSplash();
    QVERIFY(QTest::qWaitForWindowExposed(splash.get()));
    auto *panel = splash->findChild<QFrame *>(QStringLiteral("Picture1"));
    auto *connect = splash->findChild<QLabel *>(QStringLiteral("Label4"));
    auto *title = splash->findChild<QLabel *>(QStringLiteral("Label1"));
    QCOMPARE(panel->frameShape(), QFrame::NoFrame);

    QTest::mouseMove(connect, connect->rect().center());
    QTRY_COMPARE(panel->frameShape(), QFrame::Box);
    // The panel's margin has no handler: the border stays. (The move is
    // delivered before mouseMove() returns.)
    QTest::mouseMove(panel, QPoint(2, 2));
    QCOMPARE(panel->frameShape(), QFrame::Box);
    QTest::mouseMove(title, QPoint(5, 5));
    QTRY_COMPARE(panel->frameShape(), QFrame::NoFrame);

    QTest::mouseMove(connect, connect->rect().center());
    QTRY_COMPARE(panel->frameShape(), QFrame::Box);
    // The window's own background: below the title, left of the user name.
    QTest::mouseMove(splash.get(), QPoint(3, Twips::toPixelsY(1930, *splash)));
    QTRY_COMPARE(panel->frameShape(), QFrame::NoFrame);
}

void TestSplash::connectHandsOverOnce_data()
{
    QTest::addColumn<QString>("way");
    QTest::newRow("click") << QStringLiteral("click");
    QTest::newRow("Tab, Enter") << QStringLiteral("enter");
    QTest::newRow("Tab, Space") << QStringLiteral("space");
    QTest::newRow("Enter in the user name") << QStringLiteral("username");
    QTest::newRow("press action") << QStringLiteral("press");
}

void TestSplash::connectHandsOverOnce()
{
    QFETCH(QString, way);
    auto splash = makeSplash();
    splash->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(splash.get()));
    auto *name = splash->findChild<QLineEdit *>(QStringLiteral("Username"));
    auto *connect = splash->findChild<QLabel *>(QStringLiteral("Label4"));
    auto *scroll = splash->findChild<QTimer *>(QStringLiteral("scroll"));
    QVERIFY(scroll && !scroll->isActive());

    QAccessibleInterface *nameBox = QAccessible::queryAccessibleInterface(name);
    QCOMPARE(nameBox->role(), QAccessible::EditableText);
    QCOMPARE(nameBox->text(QAccessible::Name), QStringLiteral("User name"));
    QAccessibleInterface *button = QAccessible::queryAccessibleInterface(connect);
    QCOMPARE(button->role(), QAccessible::Button);
    QCOMPARE(button->text(QAccessible::Name), QStringLiteral("Connect"));
    QVERIFY(button->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()));
    QAccessibleInterface *strip = QAccessible::queryAccessibleInterface(splash->findChild<QWidget *>(QStringLiteral("Ambrel1")));
    QCOMPARE(strip->role(), QAccessible::ProgressBar);
    QCOMPARE(strip->text(QAccessible::Name), QStringLiteral("Progress"));

    // The user name comes first; Tab goes on to "Connect".
    QTRY_VERIFY(name->hasFocus());
    if (way == QLatin1String("click")) {
        QTest::mouseClick(connect, Qt::LeftButton);
    } else if (way == QLatin1String("username")) {
        QTest::keyClicks(name, QStringLiteral("me"));
        QTest::keyClick(name, Qt::Key_Return);
    } else if (way == QLatin1String("press")) {
        button->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    } else {
        QTest::keyClick(name, Qt::Key_Tab);
        QTRY_VERIFY(connect->hasFocus());
        QTest::keyClick(connect, way == QLatin1String("enter") ? Qt::Key_Return : Qt::Key_Space);
    }
    QVERIFY(scroll->isActive());
    QTRY_VERIFY(m_session->mainWindow() && m_session->mainWindow()->isVisible());
    QVERIFY(!splash->isVisible());
    // Gone with its window: nothing ticks for it any more.
    QVERIFY(!scroll->isActive());
    MDIMain *first = m_session->mainWindow();
    QTest::mouseClick(connect, Qt::LeftButton);
    QCOMPARE(m_session->mainWindow(), first);
}

void TestSplash::closingBeforeConnectEndsProgram()
{
    auto splash = makeSplash([](int status) { QCoreApplication::exit(status); });
    QVERIFY(QTest::qWaitForWindowExposed(splash.get()));
    QTimer::singleShot(0, splash.get(), [&] { splash->close(); });
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    guard.start(10000);
    QCOMPARE(QApplication::exec(), 0);
}

void TestSplash::missingLibraryEndsWithClearMessage()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString program = folder.filePath(QStringLiteral("Ferrin1"));
    QVERIFY(QFile::copy(QStringLiteral(FERRIN1_PATH), program));

    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    run.setProcessEnvironment(env);
    QSignalSpy finished(&run, &QProcess::finished);
    run.start(program, {});
    QVERIFY(finished.wait(30000));
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 1);
    const QString err = QString::fromLocal8Bit(run.readAllStandardError());
    QVERIFY2(err.contains(Startup::ambrelPath(folder.path())), qPrintable(err));
    const QStringList ours = err.split(QLatin1Char('\n')).filter(QStringLiteral("Ferrin1:"));
    QCOMPARE(ours.size(), 1);
}

QTEST_MAIN(TestSplash)
#include "tst_splash.moc"
