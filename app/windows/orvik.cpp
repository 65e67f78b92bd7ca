#include "app/windows/orvik.h"

#include "Controls/twips.h"
#include "app/windows/accessible.h"
#include "app/windows/look.h"
#include "app/windows/mdimain.h"
#include "directory/tamsin.h"

#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <utility>

namespace {

constexpr char StatusText[] = "Status: ";
constexpr char UsersText[] = "Users: ";
constexpr int StatusInterval = 1000;
constexpr double FontPoints = 14.25;
// The error or notice is smaller than the strip's face, so that two lines of
// it fit the strip's height beside the count.
constexpr double LinePoints = 8.25;
constexpr int LineGap = 6;

// Designed layout, in twips. The count's left edge follows "Status: ".
constexpr Twips::Size ClientSize{15360, 450};
constexpr Twips::Size Label1Size{1695, 495};

// text cut with an ellipsis until it fits size when wrapped at words.
QString fitted(const QString &text, const QFont &font, QSize size)
{
    const QFontMetrics metrics(font);
    const auto fits = [&](const QString &t) {
        return metrics.boundingRect(QRect(QPoint(0, 0), size), Qt::TextWordWrap, t).height() <= size.height();
    };
    if (size.isEmpty() || fits(text))
        return text;
    qsizetype keep = text.size();
    QString cut;
    do {
        --keep;
        cut = text.left(keep).trimmed() + QChar(0x2026);
    } while (keep > 0 && !fits(cut));
    return cut;
}

// Calls back whenever the watched window is shown, hidden, minimised or
// restored.
class ShownWatcher : public QObject
{
public:
    ShownWatcher(QObject *parent, std::function<void()> changed)
        : QObject(parent)
        , m_changed(std::move(changed))
    {
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        if (type == QEvent::WindowStateChange || type == QEvent::Show || type == QEvent::Hide)
            m_changed();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> m_changed;
};

} // namespace

StatusCanvas::StatusCanvas(QWidget *parent)
    : Canvas(parent)
{
    Accessible::install();
}

Orvik::Orvik(MDIMain *main, const PeerTable &peers)
    : m_main(main)
    , m_peers(peers)
    , m_canvas(new StatusCanvas(this))
    , m_Label1(new QLabel(m_canvas))
    , m_lineLabel(new QLabel(m_canvas))
    , m_status(new QTimer(this))
{
    setObjectName(QStringLiteral("Orvik"));
    setWindowTitle(QStringLiteral("Form2"));
    setWindowFlags(Qt::FramelessWindowHint);
    setWidget(m_canvas);
    m_canvas->setFont(Look::face(FontPoints, true, true));
    m_canvas->installEventFilter(this);
    m_canvas->setAccessibleName(QStringLiteral("Status"));
    m_canvas->setAccessibleDescription(QString::fromLatin1(StatusText));

    m_Label1->setObjectName(QStringLiteral("Label1"));
    m_Label1->setFont(m_canvas->font());
    Look::paintGreenOnBlack(m_Label1);
    m_Label1->installEventFilter(this);
    placeLabel();

    m_lineLabel->setObjectName(QStringLiteral("StatusLine"));
    m_lineLabel->setFont(Look::face(LinePoints, true, true));
    m_lineLabel->setWordWrap(true);
    m_lineLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Look::paintGreenOnBlack(m_lineLabel);
    // A click on the line is a click on the strip.
    m_lineLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_lineLabel->hide();

    resize(Twips::toPixelsX(ClientSize.width, *this), designHeight());

    m_status->setObjectName(QStringLiteral("status"));
    m_status->setInterval(StatusInterval);
    connect(m_status, &QTimer::timeout, this, &Orvik::status_Timer);
    // A sub-window takes its own filters off the frame as it sees fit; this
    // one is an object of its own.
    m_main->installEventFilter(new ShownWatcher(this, [this] { tickWhileSeen(); }));
    tickWhileSeen();

    Form_Load();
}

void Orvik::tickWhileSeen()
{
    const bool seen = m_main->isVisible() && !m_main->isMinimized();
    if (seen == m_status->isActive())
        return;
    if (!seen) {
        m_status->stop();
        return;
    }
    catchUp();
    m_status->start();
}

void Orvik::catchUp()
{
    // What the ticks missed while the frame was away would have left: the
    // count of now, and the strip repainted if it changed meanwhile (drawn
    // now that the frame is seen, rather than left cleared).
    const qint64 count = m_peers.count();
    if (count != m_LastCount) {
        m_canvas->Cls();
        Draw();
        printStatus();
    }
    m_Label1->setText(QString::fromLatin1(UsersText) + QString::number(count));
    m_LastCount = count;
}

int Orvik::designHeight() const
{
    return Twips::toPixelsY(ClientSize.height, *this);
}

void Orvik::placeLabel()
{
    // The count stands right of "Status: " rather than over it, so that both
    // stay readable.
    const int left = QFontMetrics(m_canvas->font()).horizontalAdvance(QString::fromLatin1(StatusText));
    m_Label1->setGeometry(QRect(QPoint(left, 0), Twips::toPixels(Label1Size, *this)));
}

void Orvik::placeLine()
{
    // Right of the count, up to the networking strip, on black so that it
    // reads over the bright end of the gradient, and only as wide as the text
    // needs, so that the gradient stays in sight. A line too long for the
    // room ends in an ellipsis; the strip's tip holds all of it.
    const int left = m_Label1->geometry().right() + 1 + LineGap;
    const int right = m_canvas->width() - m_canvas->width() / MDIMain::ServerWidthShare - LineGap;
    // The text wraps within the label less its margin on either side.
    const QSize room(std::max(0, right - left - 2 * LineGap), designHeight());
    const QString shown = fitted(m_line, m_lineLabel->font(), room);
    const QRect used = QFontMetrics(m_lineLabel->font())
                           .boundingRect(QRect(QPoint(0, 0), room), Qt::TextWordWrap, shown);
    m_lineLabel->setText(shown);
    m_lineLabel->setIndent(LineGap);
    m_lineLabel->setGeometry(left, 0, used.width() + 2 * LineGap, room.height());
}

void Orvik::showLine()
{
    const QString text = m_errors.isEmpty() ? m_notice : m_errors.last();
    m_line = text;
    m_canvas->setToolTip(text);
    m_lineLabel->setAccessibleName(text);
    placeLine();
    m_lineLabel->setVisible(!text.isEmpty());
    m_canvas->setAccessibleDescription(text.isEmpty() ? QString::fromLatin1(StatusText) : text);
}

void Orvik::printStatus()
{
    m_canvas->setTextPosition(QPoint(0, 0));
    m_canvas->Print(QString::fromLatin1(StatusText));
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
    printStatus();
    m_loaded = true;
}

void Orvik::Form_Resize()
{
    Draw();
    printStatus();
    placeLine();
}

void Orvik::resizeEvent(QResizeEvent *event)
{
    QMdiSubWindow::resizeEvent(event);
    if (m_loaded)
        Form_Resize();
}

void Orvik::showError(const QString &text)
{
    if (text.isEmpty())
        return;
    m_errors.removeAll(text);
    m_errors.append(text);
    // A notice is about a moment; an error replaces it for good.
    m_notice.clear();
    showLine();
}

bool Orvik::showNotice(const QString &text)
{
    if (hasError())
        return false;
    m_notice = text;
    showLine();
    return true;
}

void Orvik::clearError(const QString &text)
{
    if (m_errors.removeAll(text) > 0)
        showLine();
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
        // "Status: " comes back with the gradient; the error or notice is a
        // control of its own and stays as it is.
        printStatus();
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
