#pragma once

#include <QColor>
#include <QPixmap>
#include <QPoint>
#include <QWidget>

/// A surface that keeps what is drawn on it: covering and uncovering it, or
/// moving it, repaints from the kept image. Text printed on it goes line by
/// line from the top-left corner.
class Canvas : public QWidget
{
    Q_OBJECT

public:
    explicit Canvas(QWidget *parent = nullptr);

    /// Erases everything drawn and printed; text starts again at the top left.
    void Cls();

    /// The green bands (greenbands.h) across the width, black at the left.
    void drawGreenBands();

    /// Prints one line of text at the text position, then moves it to the
    /// start of the next line.
    void Print(const QString &text);

    void setTextPosition(QPoint position) { m_textPosition = position; }
    QPoint textPosition() const { return m_textPosition; }
    void setForeColor(const QColor &color) { m_foreColor = color; }
    void setBackColor(const QColor &color);

    /// What the surface holds now.
    QImage image() const { return m_image.toImage(); }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void ensureSize();

    QPixmap m_image;
    QPoint m_textPosition;
    QColor m_foreColor;
    QColor m_backColor;
};
