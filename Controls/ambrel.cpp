#include "ambrel.h"

#include "twips.h"

#include <QEvent>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QTimer>

#include <limits>
#include <stdexcept>

namespace {

// Geometry at creation, in twips: the control, its track Picture2 and the
// block Picture1 on it. The host resizes the control; the track then follows
// it, while the block keeps its width and follows only in height.
constexpr Twips::Size ControlSize{4620, 3000};
constexpr Twips::Rect Picture2Box{-120, 0, 4815, 1095};
constexpr Twips::Rect Picture1Box{0, 0, 1215, 135};

// The block's left edge is kept in these units so that the motion looks the
// same at every width of the strip.
constexpr int TrackUnitsAcross = 200;
// Past the visible end of the track the block starts over at the left.
constexpr int WrapPosition = 210;

// The bars are drawn in the block's own scale, so their shape does not
// depend on its size in pixels.
constexpr float BlockUnitsAcross = 60.0f;
constexpr float BlockUnitsDown = 510.0f;
constexpr float BarPitch = 12.5f;
constexpr float BarWidth = 10.0f;
constexpr int ShadeRows = 256;

constexpr int InitialIntervalMs = 10;
// SetSpeed's Smoothness counts down from this many milliseconds per tick.
constexpr int SlowestIntervalMs = 1000;

void paintBlack(QWidget *widget)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, Qt::black);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

} // namespace

int Ambrel::s_instances = 0;

Ambrel::Ambrel(QWidget *parent)
    : QWidget(parent)
    , m_Picture2(new QWidget(this))
    , m_Picture1(new QLabel(m_Picture2))
    , m_scroll(new QTimer(this))
{
    ++s_instances;

    // The window that hosts the strip is black; the strip blends into it.
    paintBlack(this);

    m_Picture2->setObjectName(QStringLiteral("Picture2"));
    paintBlack(m_Picture2);
    m_Picture2->setGeometry(Twips::toPixels(Picture2Box, *this));

    m_Picture1->setObjectName(QStringLiteral("Picture1"));
    paintBlack(m_Picture1);
    // A stale image stays anchored where it was painted until the next tick.
    m_Picture1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_Picture1->setGeometry(Twips::toPixels(Picture1Box, *this));

    m_scroll->setObjectName(QStringLiteral("scroll"));
    // Intervals down to 1 ms are asked for; a coarse timer would merge them.
    m_scroll->setTimerType(Qt::PreciseTimer);
    m_scroll->setInterval(InitialIntervalMs);
    connect(m_scroll, &QTimer::timeout, this, &Ambrel::scroll_Timer);

    resize(Twips::toPixels(ControlSize, *this));
    UserControl_Initialize();
    applyTimerState();
}

Ambrel::~Ambrel()
{
    --s_instances;
}

QWidget *Ambrel::widget()
{
    return this;
}

void Ambrel::SetSpeed(qint16 Speed, qint16 Smoothness)
{
    // Callers pass 16-bit values and expect 16-bit arithmetic; check the
    // result before anything changes rather than let it wrap.
    const int interval = SlowestIntervalMs - int(Smoothness);
    if (interval > std::numeric_limits<qint16>::max())
        throw std::overflow_error("Ambrel::SetSpeed: tick interval out of 16-bit range");
    if (interval < 0)
        throw std::invalid_argument("Ambrel::SetSpeed: negative tick interval");

    m_scroll->setInterval(interval);
    applyTimerState();
    m_step = Speed;
}

qint16 Ambrel::position() const
{
    return m_position;
}

qint16 Ambrel::step() const
{
    return m_step;
}

bool Ambrel::isPainted() const
{
    return m_painted;
}

int Ambrel::tickInterval() const
{
    return m_scroll->interval();
}

bool Ambrel::isTicking() const
{
    return m_scroll->isActive();
}

int Ambrel::instanceCount()
{
    return s_instances;
}

void Ambrel::StartScroll()
{
    m_enabled = true;
    applyTimerState();
}

void Ambrel::StopScroll()
{
    m_enabled = false;
    applyTimerState();
}

void Ambrel::scroll_Timer()
{
    if (!m_painted) {
        paintBlock();
        m_painted = true;
    }
    m_Picture1->move(qRound(m_position * m_trackScaleX), m_Picture1->y());

    // Wider than 16 bits, so that no speed can make the position overflow;
    // a block moving left re-enters from the right end.
    int next = int(m_position) + int(m_step);
    if (next >= WrapPosition) {
        next = 0;
    } else if (next < 0) {
        next %= WrapPosition;
        if (next < 0)
            next += WrapPosition;
    }
    m_position = qint16(next);
}

void Ambrel::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    UserControl_Resize();
}

void Ambrel::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    QWidget *shownIn = window();
    if (shownIn != m_window) {
        if (m_window)
            m_window->removeEventFilter(this);
        m_window = shownIn;
        if (shownIn != this)
            shownIn->installEventFilter(this);
    }
    applyTimerState();
}

void Ambrel::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    applyTimerState();
}

bool Ambrel::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window && event->type() == QEvent::WindowStateChange)
        applyTimerState();
    return QWidget::eventFilter(watched, event);
}

void Ambrel::UserControl_Initialize()
{
    const int trackHeight = m_Picture2->contentsRect().height();
    m_Picture1->resize(m_Picture1->width(), trackHeight);

    const QRect block = m_Picture1->contentsRect();
    m_blockScale = QSizeF(block.width() / double(BlockUnitsAcross),
                          block.height() / double(BlockUnitsDown));
    m_trackScaleX = m_Picture2->contentsRect().width() / double(TrackUnitsAcross);
}

void Ambrel::UserControl_Resize()
{
    m_Picture2->setGeometry(Twips::toPixelsX(Picture2Box.left, *this), 0, width(), height());
    UserControl_Initialize();
    m_painted = false;
}

void Ambrel::paintBlock()
{
    const QSize size = m_Picture1->size();
    if (size.isEmpty()) {
        m_Picture1->setPixmap(QPixmap());
        return;
    }

    const qreal ratio = m_Picture1->devicePixelRatioF();
    QImage image(size * ratio, QImage::Format_RGB32);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::black);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.scale(m_blockScale.width(), m_blockScale.height());
    // Each bar shades from green at its top and bottom edges to white at its
    // middle row; the lower half is drawn upwards from the bottom edge.
    for (float x = 0.0f; x <= BlockUnitsAcross; x += BarPitch) {
        for (int i = 0; i < ShadeRows; ++i) {
            painter.setPen(QPen(QColor(i, 255, i), 0));
            painter.drawLine(QLineF(x, i, x + BarWidth, i));
        }
        for (int j = 0; j < ShadeRows; ++j) {
            painter.setPen(QPen(QColor(j, 255, j), 0));
            painter.drawLine(QLineF(x, BlockUnitsDown - j, x + BarWidth, BlockUnitsDown - j));
        }
    }
    painter.end();

    m_Picture1->setPixmap(QPixmap::fromImage(image));
}

void Ambrel::applyTimerState()
{
    // Nothing ticks for a strip nobody can see: a window that is hidden or
    // minimised for good must not keep the program awake.
    const bool seen = isVisible() && !window()->isMinimized();
    const bool ticks = m_enabled && m_scroll->interval() > 0 && seen;
    if (!ticks)
        m_scroll->stop();
    else if (!m_scroll->isActive())
        m_scroll->start();
}
