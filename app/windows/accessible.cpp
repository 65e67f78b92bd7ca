#include "app/windows/accessible.h"

#include "app/windows/buttonlabel.h"
#include "app/windows/progresslist.h"

#include <QAccessibleWidget>
#include <QHash>
#include <QItemSelectionModel>
#include <QPointer>

#include <deque>

namespace {

// One row of a progress list or of the search results. It holds no text: the
// row's line is read from the model whenever a tool asks for it.
class ProgressRowAccessible : public QAccessibleInterface
{
public:
    ProgressRowAccessible(ProgressList *list, int row)
        : m_list(list)
        , m_row(row)
    {
    }

    ProgressList *list() const { return m_list; }
    int row() const { return m_row; }

    bool isValid() const override { return index().isValid(); }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override
    {
        return m_list ? m_list->window()->windowHandle() : nullptr;
    }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessibleInterface *parent() const override
    {
        return m_list ? QAccessible::queryAccessibleInterface(m_list.data()) : nullptr;
    }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }

    QString text(QAccessible::Text t) const override
    {
        const QModelIndex i = index();
        if (t != QAccessible::Name || !i.isValid())
            return QString();
        // A search result shows the beginning of a long entry; a tool reads
        // the whole of it.
        const QVariant whole = i.data(Qt::AccessibleTextRole);
        return whole.isValid() ? whole.toString() : i.data(Qt::DisplayRole).toString();
    }
    void setText(QAccessible::Text, const QString &) override {}

    QRect rect() const override
    {
        const QModelIndex i = index();
        if (!i.isValid() || !m_list->isVisible())
            return QRect();
        const QRect r = m_list->visualRect(i);
        if (r.isEmpty())
            return QRect();
        return QRect(m_list->viewport()->mapToGlobal(r.topLeft()), r.size());
    }

    QAccessible::Role role() const override { return QAccessible::ListItem; }

    QAccessible::State state() const override
    {
        QAccessible::State s;
        const QModelIndex i = index();
        if (!i.isValid()) {
            s.invalid = true;
            return s;
        }
        s.selectable = true;
        s.focusable = true;
        if (rect().isEmpty()) {
            s.invisible = true;
            s.offscreen = true;
        }
        if (m_list->selectionModel() && m_list->selectionModel()->isSelected(i))
            s.selected = true;
        if (m_list->hasFocus() && m_list->currentIndex() == i)
            s.focused = true;
        return s;
    }

private:
    QModelIndex index() const
    {
        if (!m_list || !m_list->model() || m_row < 0)
            return QModelIndex();
        const QAbstractItemModel *model = m_list->model();
        if (m_row >= model->rowCount(m_list->rootIndex()))
            return QModelIndex();
        return model->index(m_row, 0, m_list->rootIndex());
    }

    QPointer<ProgressList> m_list;
    int m_row;
};

// The progress list: one child per row. Rows are made when a tool asks for
// them, and only the last few asked for are kept, so a list of a billion
// rows costs no more than one of ten.
class ProgressListAccessible : public QAccessibleWidget
{
public:
    // Row interfaces kept at most; older ones are let go.
    static constexpr std::size_t KeptRows = 256;

    explicit ProgressListAccessible(ProgressList *list)
        : QAccessibleWidget(list, QAccessible::List)
    {
    }

    ~ProgressListAccessible() override
    {
        for (const QAccessible::Id id : std::as_const(m_rows))
            QAccessible::deleteAccessibleInterface(id);
    }

    int childCount() const override
    {
        const ProgressList *l = list();
        return l->model() ? l->model()->rowCount(l->rootIndex()) : 0;
    }

    QAccessibleInterface *child(int index) const override
    {
        if (index < 0 || index >= childCount())
            return nullptr;
        if (const auto found = m_rows.constFind(index); found != m_rows.constEnd()) {
            if (QAccessibleInterface *row = QAccessible::accessibleInterface(*found))
                return row;
            m_rows.erase(found);
        }
        auto *row = new ProgressRowAccessible(list(), index);
        m_rows.insert(index, QAccessible::registerAccessibleInterface(row));
        m_order.push_back(index);
        while (m_order.size() > KeptRows) {
            const int oldest = m_order.front();
            m_order.pop_front();
            if (const auto old = m_rows.constFind(oldest); old != m_rows.constEnd()) {
                QAccessible::deleteAccessibleInterface(*old);
                m_rows.erase(old);
            }
        }
        return row;
    }

    int indexOfChild(const QAccessibleInterface *child) const override
    {
        const auto *row = dynamic_cast<const ProgressRowAccessible *>(child);
        if (!row || row->list() != list() || !row->isValid())
            return -1;
        return row->row();
    }

    QAccessibleInterface *childAt(int x, int y) const override
    {
        ProgressList *l = list();
        const QPoint local = l->viewport()->mapFromGlobal(QPoint(x, y));
        if (!l->viewport()->rect().contains(local))
            return nullptr;
        const QModelIndex index = l->indexAt(local);
        return index.isValid() ? child(index.row()) : nullptr;
    }

    QAccessibleInterface *focusChild() const override
    {
        const ProgressList *l = list();
        if (!l->hasFocus() || !l->currentIndex().isValid())
            return nullptr;
        return child(l->currentIndex().row());
    }

private:
    ProgressList *list() const { return static_cast<ProgressList *>(widget()); }

    // Row number to the id of its interface, and the order they were made in.
    mutable QHash<int, QAccessible::Id> m_rows;
    mutable std::deque<int> m_order;
};

// The "Connect" label: a push button with a press action.
class ButtonLabelAccessible : public QAccessibleWidget
{
public:
    explicit ButtonLabelAccessible(ButtonLabel *label)
        : QAccessibleWidget(label, QAccessible::Button)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        QString text = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && text.isEmpty())
            text = static_cast<ButtonLabel *>(widget())->text();
        return text;
    }

    QStringList actionNames() const override
    {
        return QStringList(pressAction()) + QAccessibleWidget::actionNames();
    }

    void doAction(const QString &actionName) override
    {
        if (actionName == pressAction() && widget()->isEnabled())
            static_cast<ButtonLabel *>(widget())->press();
        else
            QAccessibleWidget::doAction(actionName);
    }
};

QAccessibleInterface *factory(const QString &className, QObject *object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    if (className == QLatin1String("ProgressList"))
        return new ProgressListAccessible(static_cast<ProgressList *>(object));
    if (className == QLatin1String("ButtonLabel"))
        return new ButtonLabelAccessible(static_cast<ButtonLabel *>(object));
    if (className == QLatin1String("StatusCanvas"))
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::StatusBar);
    // The start-up window's moving strip, from the strip library: a busy
    // progress bar.
    if (className == QLatin1String("Ambrel"))
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::ProgressBar);
    return nullptr;
}

} // namespace

void Accessible::install()
{
    static const bool installed = [] {
        QAccessible::installFactory(&factory);
        return true;
    }();
    (void)installed;
}
