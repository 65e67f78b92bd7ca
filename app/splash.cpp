#include "app/splash.h"

#include "Controls/ambrelinterface.h"
#include "Controls/twips.h"
#include "app/session.h"
#include "app/windows/buttonlabel.h"
#include "app/windows/look.h"

#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>

namespace {

constexpr double TitlePoints = 72;
constexpr double ConnectPoints = 8.25;
constexpr qint16 StripSpeed = 1;
constexpr qint16 StripSmoothness = 999;

constexpr char StatusConnecting[] = "Connecting...";
constexpr char StatusConnected[] = "Connected";
constexpr char StatusUploading[] = "Uploading IP Address...";
constexpr char StatusDisconnecting[] = "Disconnecting From Central Server";
constexpr char StatusLoading[] = "Loading Users:";
constexpr char StatusDone[] = "Done: Loading...";

const char *statusText(DirectoryExchange::Step step)
{
    switch (step) {
    case DirectoryExchange::Step::Connected:
        return StatusConnected;
    case DirectoryExchange::Step::Uploading:
        return StatusUploading;
    case DirectoryExchange::Step::Disconnecting:
        return StatusDisconnecting;
    case DirectoryExchange::Step::Loading:
        return StatusLoading;
    case DirectoryExchange::Step::Done:
        return StatusDone;
    }
    return "";
}

// Designed layout, in twips. The strip starts left of the window's edge and
// reaches past its right edge; "Connect" lies inside its panel.
constexpr Twips::Size ClientSize{6705, 2430};
constexpr Twips::Rect Label1Box{0, 0, 6975, 1815};
constexpr Twips::Rect Ambrel1Box{-240, 2040, 6975, 375};
constexpr Twips::Rect UsernameBox{840, 1800, 1695, 285};
constexpr Twips::Rect Picture1Box{4920, 1680, 1455, 495};
constexpr Twips::Rect Label4Box{360, 120, 615, 255};

} // namespace

Splash::Splash(AmbrelFactory &strips, Session &session, QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowCloseButtonHint)
    , m_session(session)
{
    setObjectName(QStringLiteral("Splash"));
    setWindowTitle(QString::fromLatin1(Look::Caption));
    Look::paintGreenOnBlack(this);
    setFixedSize(Twips::toPixels(ClientSize, *this));
    setMouseTracking(true);

    m_Label1 = new QLabel(QString::fromLatin1(Look::Caption), this);
    m_Label1->setObjectName(QStringLiteral("Label1"));
    m_Label1->setFont(Look::face(TitlePoints, true, true));
    m_Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_Label1->setGeometry(Twips::toPixels(Label1Box, *this));
    Look::paintGreenOnBlack(m_Label1);

    m_Ambrel1 = strips.createStrip(this);
    QWidget *strip = m_Ambrel1->widget();
    strip->setObjectName(QStringLiteral("Ambrel1"));
    strip->setAccessibleName(QStringLiteral("Progress"));
    strip->setGeometry(Twips::toPixels(Ambrel1Box, *this));

    m_Username = new QLineEdit(this);
    m_Username->setObjectName(QStringLiteral("Username"));
    m_Username->setAccessibleName(QStringLiteral("User name"));
    m_Username->setGeometry(Twips::toPixels(UsernameBox, *this));
    Look::paintGreenOnBlack(m_Username);

    m_Picture1 = new QFrame(this);
    m_Picture1->setObjectName(QStringLiteral("Picture1"));
    m_Picture1->setFrameShape(QFrame::NoFrame);
    m_Picture1->setGeometry(Twips::toPixels(Picture1Box, *this));
    Look::paintGreenOnBlack(m_Picture1);

    // "Connect" looks like a label and works as a button: a click, Tab then
    // Enter or Space, Enter in the user name, or a screen reader's press.
    m_Label4 = new ButtonLabel(QStringLiteral("Connect"), m_Picture1);
    m_Label4->setObjectName(QStringLiteral("Label4"));
    m_Label4->setAccessibleName(QStringLiteral("Connect"));
    m_Label4->setFont(Look::face(ConnectPoints));
    m_Label4->setGeometry(Twips::toPixels(Label4Box, *this));
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

    connect(&m_session.exchange(), &DirectoryExchange::stepReached, this, &Splash::exchange_Step);
    connect(&m_session, &Session::handingOver, this, &Splash::session_HandingOver);
    connect(&m_session, &Session::running, this, &Splash::connectFinished);

    Form_Load();
}

Splash::~Splash() = default;

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
    // the program. After it the window stays until the exchange hands over
    // to the main window, whose File > Exit is the way out.
    if (m_session.state() != Session::State::Waiting) {
        event->ignore();
        return;
    }
    event->accept();
    m_session.exit_Click();
}

void Splash::Label4_Click()
{
    // A second click while the exchange runs would start it twice.
    if (m_session.state() != Session::State::Waiting)
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
    QFont font = m_Label1->font();
    font.setPointSizeF(font.pointSizeF() / 2);
    m_Label1->setFont(font);
    setStatus(QString::fromLatin1(StatusConnecting));
    m_session.connectCopy();
}

void Splash::exchange_Step(DirectoryExchange::Step step)
{
    setStatus(QString::fromLatin1(statusText(step)));
}

void Splash::session_HandingOver()
{
    // The strip is not stopped: it stops by itself once nobody sees it.
    hide();
    raise();
}
