#include "app/windows/frmdp.h"

#include "app/windows/canvas.h"
#include "app/windows/look.h"
#include "app/windows/twips.h"
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
constexpr double ListLeft = 480;
constexpr double ListTop = 360;
constexpr double ListWidth = 3375;
constexpr double ListHeight = 2055;
constexpr double PanelWidth = 4455;
constexpr double PanelHeight = 3015;
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

// --- ProgressList ---------------------------------------------------------

ProgressList::ProgressList(QWidget *parent)
    : QAbstractItemView(parent)
{
    setSelectionMode(QAbstractItemView::SingleSelection);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextElideMode(Qt::ElideRight);
    measureRows();
}

int ProgressList::rowCount() const
{
    return model() ? model()->rowCount(rootIndex()) : 0;
}

int ProgressList::topRow() const
{
    return verticalScrollBar()->value();
}

int ProgressList::visibleRows() const
{
    return std::max(1, viewport()->height() / m_rowHeight);
}

void ProgressList::measureRows()
{
    // Every row is as high as one line of text; the first row stands for all.
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    int height = option.fontMetrics.height();
    if (model() && rowCount() > 0) {
        const QModelIndex first = model()->index(0, 0, rootIndex());
        height = itemDelegateForIndex(first)->sizeHint(option, first).height();
    }
    m_rowHeight = std::max(1, height);
}

void ProgressList::updateGeometries()
{
    measureRows();
    QScrollBar *bar = verticalScrollBar();
    bar->setSingleStep(1);
    bar->setPageStep(visibleRows());
    bar->setRange(0, std::max(0, rowCount() - visibleRows()));
    QAbstractItemView::updateGeometries();
}

void ProgressList::rowsInserted(const QModelIndex &parent, int start, int end)
{
    QAbstractItemView::rowsInserted(parent, start, end);
    if (parent != rootIndex())
        return;
    updateGeometries();
    if (start <= topRow() + visibleRows())
        viewport()->update();
}

void ProgressList::changeEvent(QEvent *event)
{
    QAbstractItemView::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        updateGeometries();
}

QRect ProgressList::visualRect(const QModelIndex &index) const
{
    if (!index.isValid() || index.parent() != rootIndex() || index.column() != 0)
        return QRect();
    // Rows far above or below the view would overflow the pixel range.
    const qint64 y = static_cast<qint64>(index.row() - topRow()) * m_rowHeight;
    if (y < -m_rowHeight || y > viewport()->height())
        return QRect();
    return QRect(0, static_cast<int>(y), viewport()->width(), m_rowHeight);
}

void ProgressList::scrollTo(const QModelIndex &index, ScrollHint hint)
{
    if (!index.isValid() || index.parent() != rootIndex())
        return;
    const int row = index.row();
    const int shown = visibleRows();
    int top = topRow();
    switch (hint) {
    case EnsureVisible:
        if (row < top)
            top = row;
        else if (row >= top + shown)
            top = row - shown + 1;
        break;
    case PositionAtTop:
        top = row;
        break;
    case PositionAtBottom:
        top = row - shown + 1;
        break;
    case PositionAtCenter:
        top = row - shown / 2;
        break;
    }
    verticalScrollBar()->setValue(top);
}

QModelIndex ProgressList::indexAt(const QPoint &point) const
{
    if (!model() || point.y() < 0)
        return QModelIndex();
    const qint64 row = static_cast<qint64>(topRow()) + point.y() / m_rowHeight;
    if (row >= rowCount())
        return QModelIndex();
    return model()->index(static_cast<int>(row), 0, rootIndex());
}

void ProgressList::keyboardSearch(const QString &)
{
}

QModelIndex ProgressList::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers)
{
    const int rows = rowCount();
    if (rows == 0)
        return QModelIndex();
    const QModelIndex current = currentIndex();
    qint64 row = current.isValid() ? current.row() : 0;
    switch (cursorAction) {
    case MoveUp:
    case MovePrevious:
        --row;
        break;
    case MoveDown:
    case MoveNext:
        ++row;
        break;
    case MovePageUp:
        row -= visibleRows();
        break;
    case MovePageDown:
        row += visibleRows();
        break;
    case MoveHome:
        row = 0;
        break;
    case MoveEnd:
        row = rows - 1;
        break;
    case MoveLeft:
    case MoveRight:
        break;
    }
    row = std::clamp<qint64>(row, 0, rows - 1);
    return model()->index(static_cast<int>(row), 0, rootIndex());
}

int ProgressList::horizontalOffset() const
{
    return 0;
}

int ProgressList::verticalOffset() const
{
    // Only a mouse drag reads this; far down a long list it stays at the
    // largest offset an int holds.
    return static_cast<int>(std::min<qint64>(qint64(topRow()) * m_rowHeight, std::numeric_limits<int>::max()));
}

bool ProgressList::isIndexHidden(const QModelIndex &) const
{
    return false;
}

void ProgressList::setSelection(const QRect &rect, QItemSelectionModel::SelectionFlags command)
{
    if (!model() || rowCount() == 0)
        return;
    const QRect r = rect.normalized();
    const qint64 last = static_cast<qint64>(rowCount()) - 1;
    const qint64 first = std::clamp<qint64>(topRow() + r.top() / m_rowHeight, 0, last);
    const qint64 end = std::clamp<qint64>(topRow() + r.bottom() / m_rowHeight, first, last);
    const QItemSelection selection(model()->index(static_cast<int>(first), 0, rootIndex()),
                                   model()->index(static_cast<int>(end), 0, rootIndex()));
    selectionModel()->select(selection, command);
}

QRegion ProgressList::visualRegionForSelection(const QItemSelection &selection) const
{
    QRegion region;
    const int top = topRow();
    const int bottom = top + visibleRows();
    for (const QItemSelectionRange &range : selection) {
        if (range.parent() != rootIndex())
            continue;
        const int first = std::max(range.top(), top);
        const int last = std::min(range.bottom(), bottom);
        if (first > last)
            continue;
        region += QRect(0, (first - top) * m_rowHeight, viewport()->width(), (last - first + 1) * m_rowHeight);
    }
    return region;
}

void ProgressList::paintEvent(QPaintEvent *)
{
    if (!model())
        return;
    QPainter painter(viewport());
    QStyleOptionViewItem base;
    initViewItemOption(&base);
    const int rows = rowCount();
    const int width = viewport()->width();
    const int height = viewport()->height();
    const QModelIndex current = currentIndex();
    for (int row = topRow(), y = 0; row < rows && y < height; ++row, y += m_rowHeight) {
        const QModelIndex index = model()->index(row, 0, rootIndex());
        QStyleOptionViewItem option = base;
        option.rect = QRect(0, y, width, m_rowHeight);
        if (selectionModel() && selectionModel()->isSelected(index))
            option.state |= QStyle::State_Selected;
        if (index == current && hasFocus())
            option.state |= QStyle::State_HasFocus;
        itemDelegateForIndex(index)->paint(&painter, option, index);
    }
}

// --- frmDP ----------------------------------------------------------------

frmDP::frmDP(QWidget *mainFrame, QWidget *parent)
    : QMdiSubWindow(parent)
    , m_mainFrame(mainFrame)
    , m_content(new QWidget(this))
    , m_Picture1(new Canvas(m_content))
    , m_DL(new ProgressList(m_Picture1))
    , m_model(new ByteLinesModel(this))
{
    setObjectName(QStringLiteral("frmDP"));
    setWindowTitle(QStringLiteral("Downloads:"));
    setAttribute(Qt::WA_DeleteOnClose);
    setFont(Look::face(FontPoints, true, true));
    Look::paintGreenOnBlack(m_content);
    setWidget(m_content);

    m_Picture1->setObjectName(QStringLiteral("Picture1"));
    m_DL->setObjectName(QStringLiteral("DL"));
    m_DL->setFont(font());
    Look::paintList(m_DL);
    Look::paintList(m_DL->viewport());
    m_DL->setModel(m_model);

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
    m_Picture1->setGeometry(Twips::rect(0, 0, PanelWidth, PanelHeight, this));
    m_DL->setGeometry(Twips::rect(ListLeft, ListTop, ListWidth, ListHeight, this));
    const double right = Twips::fromPixelsX(m_DL->x() + m_DL->width(), this);
    const double bottom = Twips::fromPixelsY(m_DL->y() + m_DL->height(), this);
    resize(Twips::toPixelsX(right + LoadMargin, this), Twips::toPixelsY(bottom + LoadMargin, this));
    Draw();
    m_loaded = true;
}

void frmDP::Form_Resize()
{
    if (!m_loaded || m_inResize)
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
    m_model->clear();
}

void frmDP::addProgressLine(const QString &line)
{
    m_model->addLine(line);
}

void frmDP::addProgressBytes(const QString &path, qint64 offset, qint64 count)
{
    m_model->addBytes(path, offset, count);
}
