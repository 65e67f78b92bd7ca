#pragma once

#include <QAbstractListModel>
#include <QStringList>

/// The result entries of a search, as the search window's list shows them.
///
/// An entry may be tens of thousands of characters long, and a search may
/// bring a hundred thousand of them: a view shows a row by its beginning only
/// (ShownLength characters, far more than a row can hold), so that painting
/// it never lays out more text than fits. Assistive tools and the download
/// get the whole entry.
class SearchResultsModel : public QAbstractListModel
{
    Q_OBJECT

public:
    /// Characters of an entry a row shows at most; the rest is elided anyway.
    static constexpr qsizetype ShownLength = 512;

    explicit SearchResultsModel(QObject *parent = nullptr);

    /// Adds entries at the end, in one step.
    void append(const QStringList &entries);
    /// No entries.
    void clear();

    /// The whole entry of row; empty for a row that is not there.
    QString entry(int row) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    QStringList m_entries;
};
