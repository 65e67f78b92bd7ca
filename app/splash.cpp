#include "app/splash.h"

#include "Controls/ambrelinterface.h"
#include "app/shutdown.h"
#include "app/windows/buttonlabel.h"
#include "app/windows/look.h"
#include "app/windows/mdimain.h"
#include "app/windows/orvik.h"
#include "app/windows/twips.h"
#include "net/localaddress.h"
#include "net/server.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

constexpr char Caption[] = "Ferrin";
constexpr double TitlePoints = 72;
constexpr qint16 StripSpeed = 1;
constexpr qint16 StripSmoothness = 999;

constexpr char StatusConnecting[] = "Connecting...";
constexpr char StatusConnected[] = "Connected";
constexpr char StatusUploading[] = "Uploading IP Address...";
constexpr char StatusDisconnecting[] = "Disconnecting From Central Server";
constexpr char StatusLoading[] = "Loading Users:";
constexpr char StatusDone[] = "Done: Loading...";

ProgramSettings withAddress(ProgramSettings settings)
{
    // Taken once, here: the record registered, the listeners and the
    // records removed at exit all name the same address.
    if (settings.localAddress.isEmpty())
        settings.localAddress = LocalAddress::detect();
    return settings;
}

} // namespace

Splash::Splash(AmbrelFactory &strips, ProgramSettings settings, PeerTable &peers, QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowCloseButtonHint)
    , m_settings(withAddress(std::move(settings)))
    , m_peers(peers)
    , m_exchange(std::make_unique<DirectoryExchange>(m_settings.directory()))
    , m_endProcess([] {
        // Nothing after the exit command may run any more: no window's
        // close handler, no pending event.
        std::fflush(nullptr);
        std::_Exit(0);
    })
{
    setObjectName(QStringLiteral("Splash"));
    setWindowTitle(QString::fromLatin1(Caption));
    Look::paintGreenOnBlack(this);
    setFixedSize(Twips::toPixelsX(6705, this), Twips::toPixelsY(2430, this));
    setMouseTracking(true);

    m_Label1 = new QLabel(QString::fromLatin1(Caption), this);
    m_Label1->setObjectName(QStringLiteral("Label1"));
    m_Label1->setFont(Look::face(TitlePoints, true, true));
    m_Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_Label1->setGeometry(Twips::rect(0, 0, 6975, 1815, this));
    Look::paintGreenOnBlack(m_Label1);

    m_Ambrel1 = strips.createStrip(this);
    QWidget *strip = m_Ambrel1->widget();
    strip->setObjectName(QStringLiteral("Ambrel1"));
    strip->setGeometry(Twips::rect(-240, 2040, 6975, 375, this));

    m_Username = new QLineEdit(this);
    m_Username->setObjectName(QStringLiteral("Username"));
    m_Username->setAccessibleName(QStringLiteral("User name"));
    m_Username->setGeometry(Twips::rect(840, 1800, 1695, 285, this));
    Look::paintGreenOnBlack(m_Username);

    m_Picture1 = new QFrame(this);
    m_Picture1->setObjectName(QStringLiteral("Picture1"));
    m_Picture1->setFrameShape(QFrame::NoFrame);
    m_Picture1->setGeometry(Twips::rect(4920, 1680, 1455, 495, this));
    Look::paintGreenOnBlack(m_Picture1);

    // "Connect" looks like a label and works as a button: a click, Tab then
    // Enter or Space, Enter in the user name, or a screen reader's press.
    m_Label4 = new ButtonLabel(QStringLiteral("Connect"), m_Picture1);
    m_Label4->setObjectName(QStringLiteral("Label4"));
    m_Label4->setAccessibleName(QStringLiteral("Connect"));
    m_Label4->setFont(Look::face(8.25));
    m_Label4->setGeometry(Twips::rect(360, 120, 615, 255, this));
    Look::paintGreenOnBlack(m_Label4);

    // Only the title, the connect label and the window itself react to the
    // pointer; the others swallow its moves so that leaving "Connect" across
    // the panel's margin keeps the border.
    for (QWidget *w : {static_cast<QWidget *>(m_Label1), strip, static_cast<QWidget *>(m_Username),
                       static_cast<QWidget *>(m_Picture1), static_cast<QWidget *>(m_Label4)}) {
        w->setMouseTracking(true);
        w->installEventFilter(this);
    }

    setTabOrder(m_Label1, strip);
    setTabOrder(strip, m_Username);
    setTabOrder(m_Username, m_Picture1);
    setTabOrder(m_Picture1, m_Label4);
    connect(m_Label4, &ButtonLabel::clicked, this, &Splash::Label4_Click);
    connect(m_Username, &QLineEdit::returnPressed, this, &Splash::Label4_Click);

    connect(m_exchange.get(), &DirectoryExchange::stepReached, this, &Splash::exchange_Step);
    connect(m_exchange.get(), &DirectoryExchange::registered, this, &Splash::exchange_Registered);

    Form_Load();
}

Splash::~Splash()
{
    // The exit command and the windows go before the exchange they use.
    m_shutdown.reset();
    m_main.reset();
}

void Splash::setEndProcess(std::function<void()> endProcess)
{
    m_endProcess = std::move(endProcess);
}

void Splash::Form_Load()
{
    m_Ambrel1->SetSpeed(StripSpeed, StripSmoothness);
    m_Ambrel1->StopScroll();
}

bool Splash::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseMove) {
        if (watched == m_Label4)
            m_Picture1->setFrameShape(QFrame::Box);
        else if (watched == m_Label1)
            m_Picture1->setFrameShape(QFrame::NoFrame);
        // A move with a button held belongs to the control (text selection).
        return static_cast<QMouseEvent *>(event)->buttons() == Qt::NoButton;
    }
    return QWidget::eventFilter(watched, event);
}

void Splash::mouseMoveEvent(QMouseEvent *event)
{
    m_Picture1->setFrameShape(QFrame::NoFrame);
    QWidget::mouseMoveEvent(event);
}

void Splash::closeEvent(QCloseEvent *event)
{
    // Before "Connect" the start-up window is all there is: closing it ends
    // the program. During the exchange the close waits for it to finish.
    if (m_connecting) {
        event->ignore();
        return;
    }
    event->accept();
    if (!m_connected)
        QCoreApplication::quit();
}

void Splash::Label4_Click()
{
    // A second click while the exchange runs would start it twice.
    if (m_connecting || m_connected)
        return;
    m_Ambrel1->StartScroll();
    MainConnect();
}

void Splash::setStatus(const QString &text)
{
    m_Label1->setText(text);
    emit statusShown(text);
}

void Splash::MainConnect()
{
    // The exchange always ends in the main window: a copy that cannot reach
    // the directory still opens, with the peers it knew before, and says so.
    m_connecting = true;

    QFont font = m_Label1->font();
    font.setPointSizeF(font.pointSizeF() / 2);
    m_Label1->setFont(font);
    setStatus(QString::fromLatin1(StatusConnecting));

    if (!m_main) {
        m_main = std::make_unique<MDIMain>(m_settings.server(), m_peers);
        m_shutdown = std::make_unique<Shutdown>(*m_exchange, *m_main->server(), [this] { m_endProcess(); });
        connect(m_main.get(), &MDIMain::exitRequested, m_shutdown.get(), &Shutdown::exit_Click);
    }
    // The networking window is first used here, hidden until the end.
    m_main->server()->hide();
    emit connectStarted();
    m_exchange->registerCopy(m_peers);
}

void Splash::endSession()
{
    if (m_shutdown) {
        m_shutdown->exit_Click();
        return;
    }
    // Not registered anywhere yet: nothing to take back.
    m_endProcess();
}

void Splash::exchange_Step(DirectoryExchange::Step step)
{
    switch (step) {
    case DirectoryExchange::Step::Connected:
        setStatus(QString::fromLatin1(StatusConnected));
        break;
    case DirectoryExchange::Step::Uploading:
        setStatus(QString::fromLatin1(StatusUploading));
        // The main window is made and loaded, hidden; from here on its
        // timers tick.
        m_main->load();
        break;
    case DirectoryExchange::Step::Disconnecting:
        setStatus(QString::fromLatin1(StatusDisconnecting));
        break;
    case DirectoryExchange::Step::Loading:
        setStatus(QString::fromLatin1(StatusLoading));
        break;
    case DirectoryExchange::Step::Done:
        setStatus(QString::fromLatin1(StatusDone));
        break;
    }
}

void Splash::exchange_Registered(bool ok)
{
    hide();
    m_main->show();
    Server *server = m_main->server();
    server->show();
    m_connecting = false;
    m_connected = true;
    // Listeners last, so that an error of theirs is what the strip shows.
    if (!ok)
        m_main->orvik()->showError(tr("Not registered in the central directory: %1").arg(m_exchange->errorString()));
    server->Init();
    raise();
    emit connectFinished();
}
