#include "app/windows/orvik.h"

#include "directory/tamsin.h"
#include "app/windows/canvas.h"
#include "app/windows/look.h"
#include "app/windows/mdimain.h"
#include "app/windows/twips.h"

#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QTimer>

namespace {

constexpr char StatusText[] = "Status: ";
constexpr char UsersText[] = "Users: ";
constexpr int StatusInterval = 1000;
constexpr double FontPoints = 14.25;

} // namespace

Orvik::Orvik(MDIMain *main, const PeerTable &peers)
    : m_main(main)
    , m_peers(peers)
    , m_canvas(new Canvas(this))
    , m_Label1(new QLabel(m_canvas))
    , m_status(new QTimer(this))
{
    setObjectName(QStringLiteral("Orvik"));
    setWindowTitle(QStringLiteral("Form2"));
    setWindowFlags(Qt::FramelessWindowHint);
    setWidget(m_canvas);
    m_canvas->setFont(Look::face(FontPoints, true, true));
    m_canvas->installEventFilter(this);

    m_Label1->setObjectName(QStringLiteral("Label1"));
    m_Label1->setFont(m_canvas->font());
    Look::paintGreenOnBlack(m_Label1);
    m_Label1->installEventFilter(this);
    placeLabel();

    resize(Twips::toPixelsX(15360, this), designHeight());

    m_status->setObjectName(QStringLiteral("status"));
    m_status->setInterval(StatusInterval);
    connect(m_status, &QTimer::timeout, this, &Orvik::status_Timer);
    m_status->start();

    Form_Load();
}

int Orvik::designHeight() const
{
    return Twips::toPixelsY(450, this);
}

void Orvik::placeLabel()
{
    // The count stands right of "Status: " rather than over it, so that both
    // stay readable.
    const int left = QFontMetrics(m_canvas->font()).horizontalAdvance(QString::fromLatin1(StatusText));
    m_Label1->setGeometry(left, 0, Twips::toPixelsX(1695, this), Twips::toPixelsY(495, this));
}

void Orvik::Draw()
{
    if (m_main->isMinimized())
        return;
    m_canvas->Cls();
    m_canvas->drawGreenBands();
}

void Orvik::Form_Load()
{
    Draw();
    m_canvas->setBackColor(Look::Background);
    m_canvas->setForeColor(Look::Text);
    m_canvas->setTextPosition(QPoint(0, 0));
    m_canvas->Print(QString::fromLatin1(StatusText));
    m_loaded = true;
}

void Orvik::Form_Resize()
{
    Draw();
    m_canvas->setTextPosition(QPoint(0, 0));
    m_canvas->Print(QString::fromLatin1(StatusText));
}

void Orvik::resizeEvent(QResizeEvent *event)
{
    QMdiSubWindow::resizeEvent(event);
    if (m_loaded)
        Form_Resize();
}

void Orvik::showError(const QString &text)
{
    m_canvas->Cls();
    m_canvas->Print(text);
}

void Orvik::Form_Click()
{
    m_main->showProgressWindow();
    m_main->showSearchWindow();
}

void Orvik::status_Timer()
{
    const qint64 count = m_peers.count();
    if (m_LastCount == count) {
        m_Label1->setText(QString::fromLatin1(UsersText) + QString::number(count));
    } else {
        m_canvas->Cls();
        Draw();
    }
    m_LastCount = count;
}

bool Orvik::eventFilter(QObject *watched, QEvent *event)
{
    const bool click = event->type() == QEvent::MouseButtonRelease;
    const bool press = event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick;
    if (watched == m_Label1 && (click || press))
        return true; // a click on the count does nothing
    if (watched == m_canvas && click && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        Form_Click();
        return true;
    }
    if (watched == m_canvas && press)
        return true;
    return QMdiSubWindow::eventFilter(watched, event);
}
