#pragma once

#include <QAbstractItemView>

/// A list of one-line rows of equal height that costs nothing per row: it
/// asks the model only for the rows it shows. The progress list of a large
/// download has a row for every byte, far more than a list that lays out each
/// row can carry.
///
/// While the last row is in view, rows added at the end scroll into view, as
/// a terminal follows its output; once the user scrolls up, the view stays
/// where it is until the user comes back to the end. A list that does not
/// follow (setFollowsAdded(false)) stays where it is. Assistive tools see a
/// list with one item per row, made only for the rows they ask for; a row's
/// name is its Qt::AccessibleTextRole, or its text when it has none.
class ProgressList : public QAbstractItemView
{
    Q_OBJECT

public:
    explicit ProgressList(QWidget *parent = nullptr);

    /// Height of every row, in pixels.
    int rowHeight() const { return m_rowHeight; }
    /// The first row shown.
    int topRow() const;
    /// Whether rows added at the end scroll into view while the last row is
    /// in view; on by default.
    void setFollowsAdded(bool follow) { m_followsAdded = follow; }

    QRect visualRect(const QModelIndex &index) const override;
    void scrollTo(const QModelIndex &index, ScrollHint hint = EnsureVisible) override;
    QModelIndex indexAt(const QPoint &point) const override;
    /// Does nothing: a search by typing would read every row.
    void keyboardSearch(const QString &search) override;

protected:
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    bool isIndexHidden(const QModelIndex &index) const override;
    void setSelection(const QRect &rect, QItemSelectionModel::SelectionFlags command) override;
    QRegion visualRegionForSelection(const QItemSelection &selection) const override;
    void updateGeometries() override;
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

protected slots:
    void rowsInserted(const QModelIndex &parent, int start, int end) override;
    void currentChanged(const QModelIndex &current, const QModelIndex &previous) override;

private:
    // Whether the last row is in view, so that added rows are followed.
    bool followsEnd() const;
    int rowCount() const;
    int visibleRows() const;
    void measureRows();

    int m_rowHeight = 1;
    bool m_followsAdded = true;
};
