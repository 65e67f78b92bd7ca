#include "app/windows/frmdp.h"

#include "Controls/twips.h"
#include "app/windows/canvas.h"
#include "app/windows/look.h"
#include "app/windows/progresslist.h"
#include "net/bytelinesmodel.h"

#include <QEvent>
#include <QPainter>
#include <QScopedValueRollback>
#include <QScreen>
#include <QScrollBar>

#include <algorithm>
#include <limits>

namespace {

constexpr double FontPoints = 14.25;

// The list as designed inside the panel, and the panel, in twips.
constexpr Twips::Rect DLBox{480, 360, 3375, 2055};
constexpr Twips::Rect Picture1Box{0, 0, 4455, 3015};
// Added to the list's extent when the window is sized to it.
constexpr double LoadMargin = 1;

// In the normal state the window is this part of the screen's height.
constexpr int ScreenHeightShare = 6;

constexpr Qt::WindowStates NotNormal = Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen;

bool isNormal(const QWidget *w)
{
    return !(w->windowState() & NotNormal);
}

} // namespace


frmDP::frmDP(QWidget *mainFrame, QWidget *parent)
    : QMdiSubWindow(parent)
    , m_mainFrame(mainFrame)
    , m_content(new QWidget(this))
    , m_Picture1(new Canvas(m_content))
    , m_DL(new ProgressList(m_Picture1))
    , m_lines(new ByteLinesModel(this))
{
    setObjectName(QStringLiteral("frmDP"));
    setWindowTitle(QStringLiteral("Downloads:"));
    setAttribute(Qt::WA_DeleteOnClose);
    setFont(Look::face(FontPoints, true, true));
    Look::paintGreenOnBlack(m_content);
    setWidget(m_content);

    m_Picture1->setObjectName(QStringLiteral("Picture1"));
    m_DL->setObjectName(QStringLiteral("DL"));
    m_DL->setAccessibleName(QStringLiteral("Download progress"));
    m_DL->setFont(font());
    Look::paintList(m_DL);
    Look::paintList(m_DL->viewport());
    Look::paintScrollBar(m_DL->verticalScrollBar());
    m_DL->setModel(m_lines);

    Form_Load();
}

QWidget *frmDP::mainFrame() const
{
    if (m_mainFrame)
        return m_mainFrame;
    // Without a frame given, the window that holds this one stands for it.
    QWidget *top = window();
    return top != this ? top : nullptr;
}

QSize frmDP::innerSize() const
{
    // The frame's own margins leave the inner area; read that rather than the
    // content widget, whose size follows only once the window is shown.
    return contentsRect().size().expandedTo(QSize(0, 0));
}

void frmDP::Form_Load()
{
    m_Picture1->setGeometry(Twips::toPixels(Picture1Box, *this));
    m_DL->setGeometry(Twips::toPixels(DLBox, *this));
    const double right = Twips::fromPixelsX(m_DL->x() + m_DL->width(), *this);
    const double bottom = Twips::fromPixelsY(m_DL->y() + m_DL->height(), *this);
    resize(Twips::toPixelsX(right + LoadMargin, *this), Twips::toPixelsY(bottom + LoadMargin, *this));
    Draw();
    m_loaded = true;
}

void frmDP::Form_Resize()
{
    // A window not on screen yet is laid out when it is first shown: a size
    // set while the toolkit delivers its first resize would never reach the
    // window's frame and inner area, and cut off the list's bottom.
    if (!m_loaded || m_inResize || !isVisible())
        return;
    // The height change below comes back here; once is enough.
    const QScopedValueRollback<bool> guard(m_inResize, true);
    raise();
    // From here on a step that cannot be done is skipped.
    QWidget *frame = mainFrame();
    const bool frameNormal = !frame || isNormal(frame);
    if (!isNormal(this) && !frameNormal)
        return;
    // A minimised or maximised window keeps the height it has.
    if (isNormal(this)) {
        if (const QScreen *s = screen())
            resize(width(), s->geometry().height() / ScreenHeightShare);
    }
    m_DL->setGeometry(QRect(QPoint(0, 0), innerSize()));
    Draw();
}

void frmDP::Draw()
{
    m_Picture1->setGeometry(QRect(QPoint(0, 0), innerSize()));
    const QWidget *frame = mainFrame();
    if (frame && frame->isMinimized())
        return;
    m_Picture1->Cls();
    m_Picture1->drawGreenBands();
}

void frmDP::resizeEvent(QResizeEvent *event)
{
    QMdiSubWindow::resizeEvent(event);
    Form_Resize();
}

void frmDP::changeEvent(QEvent *event)
{
    QMdiSubWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        Form_Resize();
}

void frmDP::showEvent(QShowEvent *event)
{
    QMdiSubWindow::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        Form_Resize();
    }
}

void frmDP::clearProgress()
{
    m_lines->clear();
}

void frmDP::addProgressLine(const QString &line)
{
    m_lines->addLine(line);
}

void frmDP::addProgressBytes(const QString &path, qint64 offset, qint64 count)
{
    m_lines->addBytes(path, offset, count);
}
