#include "app/windows/searchresultsmodel.h"

SearchResultsModel::SearchResultsModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

void SearchResultsModel::append(const QStringList &entries)
{
    if (entries.isEmpty())
        return;
    const int first = static_cast<int>(m_entries.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(entries.size()) - 1);
    m_entries.append(entries);
    endInsertRows();
}

void SearchResultsModel::clear()
{
    if (m_entries.isEmpty())
        return;
    beginResetModel();
    m_entries.clear();
    endResetModel();
}

QString SearchResultsModel::entry(int row) const
{
    return m_entries.value(row);
}

int SearchResultsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_entries.size());
}

QVariant SearchResultsModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.parent().isValid() || index.row() >= m_entries.size())
        return QVariant();
    const QString &entry = m_entries.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        // A tooltip shows what the row has to elide; it is cut too, or a
        // long entry would make it wider than the screen.
        return entry.size() > ShownLength ? QVariant(entry.first(ShownLength)) : QVariant(entry);
    case Qt::AccessibleTextRole:
        return entry;
    default:
        return QVariant();
    }
}
