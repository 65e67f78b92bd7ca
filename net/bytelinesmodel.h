#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QFile>
#include <QStringList>

#include <limits>

/// The progress lines of a download: text lines before the bytes (such as
/// "Connected!"), one row per received byte showing its value in decimal,
/// and text lines after the bytes (such as "Done!").
///
/// Byte rows hold no text of their own: they are read back from the file the
/// bytes were written to, a page at a time, when a view asks for them. So a
/// download of any length costs a few counters here, and a view that asks only
/// for the rows it shows stays as quick at the end of a large file as at the
/// start.
class ByteLinesModel : public QAbstractListModel
{
    Q_OBJECT

public:
    /// Bytes read from the file at once when a view asks for a row.
    static constexpr qint64 PageSize = 64 * 1024;
    /// Rows are counted in int; text lines keep this much room below the
    /// limit, and bytes beyond it get no row.
    static constexpr int ReservedRows = 1024;
    static constexpr qint64 MaxByteRows = std::numeric_limits<int>::max() - ReservedRows;

    explicit ByteLinesModel(QObject *parent = nullptr);

    /// No rows; the file of the bytes shown before is let go.
    void clear();

    /// A text line: before the bytes while none has come, after them once
    /// some have.
    void addLine(const QString &text);

    /// count more bytes, written at offset in the file at path, each shown as
    /// one row. Blocks of one file come in order; a block that does not follow
    /// the last one (another file, or a gap) starts the byte rows anew.
    void addBytes(const QString &path, qint64 offset, qint64 count);

    /// Number of byte rows.
    qint64 byteCount() const { return m_byteCount; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    int byteRows() const { return static_cast<int>(m_byteCount); }
    QVariant byteAt(qint64 offset) const;
    void resetBytes();

    QStringList m_header;
    QStringList m_trailer;
    QString m_path;
    qint64 m_firstOffset = 0;
    qint64 m_byteCount = 0;
    // Read-only handle on the bytes' file and the page last read from it.
    mutable QFile m_source;
    mutable QByteArray m_page;
    mutable qint64 m_pageOffset = 0;
};
