#include "app/windows/canvas.h"

#include "app/windows/look.h"
#include "net/greenbands.h"

#include <QPainter>

Canvas::Canvas(QWidget *parent)
    : QWidget(parent)
    , m_foreColor(Look::Text)
    , m_backColor(Look::Background)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    ensureSize();
    m_image.fill(m_backColor);
}

void Canvas::ensureSize()
{
    // The kept image only grows, like a window's own backing bitmap: shrinking
    // and growing again shows the part drawn before.
    const QSize wanted = m_image.size().expandedTo(size()).expandedTo(QSize(1, 1));
    if (wanted == m_image.size())
        return;
    QPixmap grown(wanted);
    grown.fill(m_backColor);
    if (!m_image.isNull()) {
        QPainter p(&grown);
        p.drawPixmap(0, 0, m_image);
    }
    m_image = grown;
}

void Canvas::Cls()
{
    m_image.fill(m_backColor);
    m_textPosition = QPoint(0, 0);
    update();
}

void Canvas::setBackColor(const QColor &color)
{
    m_backColor = color;
    Cls();
}

void Canvas::drawGreenBands()
{
    ensureSize();
    QPainter p(&m_image);
    for (const GreenBands::Band &band : GreenBands::over(width()))
        p.fillRect(band.from, 0, band.to - band.from, height(), QColor(0, band.green, 0));
    update();
}

void Canvas::Print(const QString &text)
{
    ensureSize();
    QPainter p(&m_image);
    p.setFont(font());
    p.setPen(m_foreColor);
    const QFontMetrics metrics(font());
    p.drawText(m_textPosition.x(), m_textPosition.y() + metrics.ascent(), text);
    m_textPosition = QPoint(0, m_textPosition.y() + metrics.height());
    update();
}

void Canvas::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.drawPixmap(0, 0, m_image);
}

void Canvas::resizeEvent(QResizeEvent *event)
{
    ensureSize();
    QWidget::resizeEvent(event);
}
