#include "app/windows/look.h"

#include <QFontDatabase>
#include <QPalette>

QFont Look::face(double points, bool bold, bool italic)
{
    QFont font(QString::fromLatin1(FaceName));
    font.setPointSizeF(points);
    font.setBold(bold);
    font.setItalic(italic);
    return font;
}

void Look::paintGreenOnBlack(QWidget *w)
{
    QPalette p = w->palette();
    for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button})
        p.setColor(role, Background);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(role, Text);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

void Look::paintList(QWidget *w)
{
    QPalette p = w->palette();
    p.setColor(QPalette::Base, ListBackground);
    p.setColor(QPalette::Window, ListBackground);
    p.setColor(QPalette::Text, Text);
    p.setColor(QPalette::WindowText, Text);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

void Look::resolveComicFace()
{
    const QStringList families = QFontDatabase::families();
    if (families.contains(QString::fromLatin1(FaceName)))
        return;
    // Comic-like faces that Debian packages; the first one present wins.
    for (const char *candidate : {"Comic Neue", "Comic Relief", "Comic Shanns"}) {
        if (families.contains(QString::fromLatin1(candidate))) {
            QFont::insertSubstitution(QString::fromLatin1(FaceName), QString::fromLatin1(candidate));
            return;
        }
    }
}
