#pragma once

#include <QAbstractItemView>
#include <QMdiSubWindow>
#include <QPointer>

class ByteLinesModel;
class Canvas;

/// A list of one-line rows of equal height that costs nothing per row: it
/// asks the model only for the rows it shows. The progress list of a large
/// download has a row for every byte, far more than a list that lays out each
/// row can carry.
class ProgressList : public QAbstractItemView
{
    Q_OBJECT

public:
    explicit ProgressList(QWidget *parent = nullptr);

    /// Height of every row, in pixels.
    int rowHeight() const { return m_rowHeight; }
    /// The first row shown.
    int topRow() const;

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

private:
    int rowCount() const;
    int visibleRows() const;
    void measureRows();

    int m_rowHeight = 1;
};

/// The download progress window: the list `DL` of the running or last
/// download on a black-to-green panel `Picture1`. Its lines come from the
/// download client through the slots below.
class frmDP : public QMdiSubWindow
{
    Q_OBJECT

public:
    /// mainFrame is the frame window whose state the layout rules read.
    explicit frmDP(QWidget *mainFrame = nullptr, QWidget *parent = nullptr);

    /// Places the panel over the inner area and paints its gradient, unless
    /// the main frame is minimised.
    void Draw();

    ByteLinesModel *model() const { return m_model; }
    ProgressList *list() const { return m_DL; }
    Canvas *picture() const { return m_Picture1; }

public slots:
    void clearProgress();
    void addProgressLine(const QString &line);
    /// count bytes written at offset into the file at path, one line each.
    void addProgressBytes(const QString &path, qint64 offset, qint64 count);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void Form_Load();
    void Form_Resize();
    QWidget *mainFrame() const;
    QSize innerSize() const;

    QPointer<QWidget> m_mainFrame;
    QWidget *m_content;
    Canvas *m_Picture1;
    ProgressList *m_DL;
    ByteLinesModel *m_model;
    bool m_loaded = false;
    bool m_shown = false;
    bool m_inResize = false;
};
