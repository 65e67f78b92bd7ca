#pragma once

#include <QLabel>

/// A label that works as a push button while it keeps a label's look: a
/// click, Enter or Space while it has the focus, and the press action of
/// assistive tools all fire clicked(). Tab reaches it; a dotted line around
/// it shows the focus.
class ButtonLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ButtonLabel(const QString &text, QWidget *parent = nullptr);

    /// Fires clicked(), as a click would.
    void press();

signals:
    void clicked();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
};
