#pragma once

#include <QMdiSubWindow>

/// The search window: a search text, the Search button and the result list.
class frmsearch : public QMdiSubWindow
{
    Q_OBJECT

public:
    explicit frmsearch(QWidget *parent = nullptr);
};
