#pragma once

#include <QMdiSubWindow>

/// The download progress window: one line per step of the running download.
class frmDP : public QMdiSubWindow
{
    Q_OBJECT

public:
    explicit frmDP(QWidget *parent = nullptr);
};
