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

void Look::paintScrollBar(QWidget *bar)
{
    // The toolkit's own scroll bar draws its track and its handle in the one
    // button colour; a style of its own tells them apart on black.
    bar->setStyleSheet(QStringLiteral(
        "QScrollBar:vertical { background: #000000; width: 14px; margin: 14px 0 14px 0; }"
        "QScrollBar::handle:vertical { background: #00a000; border: 1px solid #00ff00; border-radius: 3px;"
        "  min-height: 16px; margin: 1px; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"
        "QScrollBar::sub-line:vertical { background: #000000; border: 1px solid #006000; height: 12px;"
        "  subcontrol-position: top; subcontrol-origin: margin; }"
        "QScrollBar::add-line:vertical { background: #000000; border: 1px solid #006000; height: 12px;"
        "  subcontrol-position: bottom; subcontrol-origin: margin; }"
        "QScrollBar::up-arrow:vertical { image: url(:/icons/arrow-up.png); width: 8px; height: 5px; }"
        "QScrollBar::down-arrow:vertical { image: url(:/icons/arrow-down.png); width: 8px; height: 5px; }"));
}

QIcon Look::programIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128})
        icon.addFile(QStringLiteral(":/icons/ferrin1-%1.png").arg(size), QSize(size, size));
    return icon;
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
