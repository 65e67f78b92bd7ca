#include "app/windows/frmdp.h"

#include "app/windows/look.h"
#include "app/windows/twips.h"

frmDP::frmDP(QWidget *parent)
    : QMdiSubWindow(parent)
{
    setObjectName(QStringLiteral("frmDP"));
    setWindowTitle(QStringLiteral("Downloads:"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto *content = new QWidget(this);
    Look::paintGreenOnBlack(content);
    setWidget(content);
    resize(Twips::toPixelsX(3856, this), Twips::toPixelsY(2416, this));
}
