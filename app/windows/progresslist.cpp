#include "app/windows/progresslist.h"

#include "app/windows/accessible.h"

#include <QAccessible>
#include <QEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <limits>

ProgressList::ProgressList(QWidget *parent)
    : QAbstractItemView(parent)
{
    Accessible::install();
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

bool ProgressList::followsEnd() const
{
    const QScrollBar *bar = verticalScrollBar();
    return bar->value() >= bar->maximum();
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
    // Read before the range grows: at the end then means "follow".
    const bool follow = m_followsAdded && followsEnd();
    updateGeometries();
    if (follow)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    if (start <= topRow() + visibleRows())
        viewport()->update();
}

void ProgressList::currentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    QAbstractItemView::currentChanged(current, previous);
    if (QAccessible::isActive() && current.isValid() && hasFocus()) {
        QAccessibleEvent event(this, QAccessible::Focus);
        event.setChild(current.row());
        QAccessible::updateAccessibility(&event);
    }
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
    // Without a current row, a move lands on the first (the view asks for
    // one this way when the list takes the focus), or on the last for End.
    if (!current.isValid())
        return model()->index(cursorAction == MoveEnd ? rows - 1 : 0, 0, rootIndex());
    qint64 row = current.row();
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
