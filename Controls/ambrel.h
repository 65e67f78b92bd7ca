#pragma once

#include "ambrelinterface.h"

#include <QPointer>
#include <QSizeF>
#include <QWidget>

class QLabel;
class QTimer;

/// Busy indicator: a block of five shaded bars that slides across a black
/// strip, one step per tick of its timer, for as long as the timer runs.
/// The timer runs only while the strip is on screen: hidden, or in a
/// minimised window, a started strip waits without ticking and goes on from
/// where it stood when it is seen again.
class Ambrel : public QWidget, public AmbrelStrip
{
    Q_OBJECT

public:
    explicit Ambrel(QWidget *parent = nullptr);
    ~Ambrel() override;

    QWidget *widget() override;
    void SetSpeed(qint16 Speed, qint16 Smoothness) override;

    /// Next left edge of the block, in track units (200 across the strip).
    qint16 position() const;
    qint16 step() const;
    /// Whether the block holds its bars for its present size.
    bool isPainted() const;
    int tickInterval() const;
    /// Whether the timer runs: started, with a tick interval, and on screen.
    bool isTicking() const;

    /// Strips alive in this library; it may only be unloaded when none is.
    static int instanceCount();

public slots:
    void StartScroll() override;
    void StopScroll() override;
    /// One tick of the timer; callable directly to step the strip by hand.
    void scroll_Timer();

protected:
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void UserControl_Initialize();
    void UserControl_Resize();
    void paintBlock();
    void applyTimerState();

    QWidget *m_Picture2 = nullptr;
    QLabel *m_Picture1 = nullptr;
    QTimer *m_scroll = nullptr;
    // The window the strip is shown in, watched for being minimised.
    QPointer<QWidget> m_window;

    // Pixels per unit of the track's and the block's own scales.
    double m_trackScaleX = 1.0;
    QSizeF m_blockScale{1.0, 1.0};

    qint16 m_position = 0;
    qint16 m_step = 0;
    bool m_painted = false;
    // Like a timer's enabled flag: an interval of 0 keeps the timer from
    // ticking without forgetting that it was started.
    bool m_enabled = true;

    static int s_instances;
};
