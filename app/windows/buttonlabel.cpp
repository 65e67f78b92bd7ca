#include "app/windows/buttonlabel.h"

#include "app/windows/accessible.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

ButtonLabel::ButtonLabel(const QString &text, QWidget *parent)
    : QLabel(text, parent)
{
    Accessible::install();
    // Tab reaches it; a click does not leave a focus mark on it.
    setFocusPolicy(Qt::TabFocus);
}

void ButtonLabel::press()
{
    emit clicked();
}

void ButtonLabel::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        if (!event->isAutoRepeat())
            press();
        event->accept();
        return;
    default:
        QLabel::keyPressEvent(event);
    }
}

void ButtonLabel::mouseReleaseEvent(QMouseEvent *event)
{
    // Released outside the label, a press is taken back, as on a button.
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        event->accept();
        press();
        return;
    }
    QLabel::mouseReleaseEvent(event);
}

void ButtonLabel::paintEvent(QPaintEvent *event)
{
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    QPainter painter(this);
    painter.setPen(QPen(palette().color(QPalette::WindowText), 1, Qt::DotLine));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
