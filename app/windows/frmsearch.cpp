#include "app/windows/frmsearch.h"

#include "app/windows/look.h"
#include "app/windows/twips.h"

frmsearch::frmsearch(QWidget *parent)
    : QMdiSubWindow(parent)
{
    setObjectName(QStringLiteral("frmsearch"));
    setWindowTitle(QStringLiteral("Search"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto *content = new QWidget(this);
    Look::paintGreenOnBlack(content);
    setWidget(content);
    resize(Twips::toPixelsX(5602, this), Twips::toPixelsY(3630, this));
}
