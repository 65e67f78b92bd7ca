#pragma once

#include "ambrelinterface.h"

#include <QSizeF>
#include <QWidget>

class QLabel;
class QTimer;

/// Busy indicator: a block of five shaded bars that slides across a black
/// strip, one step per tick of its timer, for as long as the timer runs.
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

private:
    void UserControl_Initialize();
    void UserControl_Resize();
    void paintBlock();
    void applyTimerState();

    QWidget *m_picture2 = nullptr;
    QLabel *m_picture1 = nullptr;
    QTimer *m_scroll = nullptr;

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
