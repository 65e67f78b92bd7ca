#pragma once

#include <QtPlugin>

class QWidget;

/// The scrolling progress strip as its host sees it: a widget and three calls.
/// Nothing comes back from the strip; it only shows that work is going on.
class AmbrelStrip
{
public:
    virtual ~AmbrelStrip() = default;

    /// The control itself, owned by the parent given to the factory.
    virtual QWidget *widget() = 0;

    /// Tick interval = 1000 - Smoothness ms (16-bit arithmetic), then step = Speed.
    /// Throws std::overflow_error when the subtraction leaves the 16-bit range and
    /// std::invalid_argument when the interval would be negative; the step is
    /// unchanged in both cases.
    virtual void SetSpeed(qint16 Speed, qint16 Smoothness) = 0;
    virtual void StartScroll() = 0;
    virtual void StopScroll() = 0;
};

/// The object the Ambrel library exports; the host finds it by the name below,
/// the one the strip control is registered under.
class AmbrelFactory
{
public:
    virtual ~AmbrelFactory() = default;

    /// A new strip as a child of parent.
    virtual AmbrelStrip *createStrip(QWidget *parent) = 0;
};

#define AmbrelFactory_iid "Ambrelbar.Ambrel"
Q_DECLARE_INTERFACE(AmbrelFactory, AmbrelFactory_iid)
