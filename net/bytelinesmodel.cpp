#include "net/bytelinesmodel.h"

#include <algorithm>

ByteLinesModel::ByteLinesModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

void ByteLinesModel::clear()
{
    beginResetModel();
    m_header.clear();
    m_trailer.clear();
    resetBytes();
    endResetModel();
}

void ByteLinesModel::resetBytes()
{
    m_path.clear();
    m_firstOffset = 0;
    m_byteCount = 0;
    m_source.close();
    m_page.clear();
    m_pageOffset = 0;
}

void ByteLinesModel::addLine(const QString &text)
{
    if (m_header.size() + m_byteCount + m_trailer.size() >= std::numeric_limits<int>::max())
        return;
    const int row = rowCount();
    beginInsertRows(QModelIndex(), row, row);
    if (m_byteCount == 0 && m_trailer.isEmpty())
        m_header.append(text);
    else
        m_trailer.append(text);
    endInsertRows();
}

void ByteLinesModel::addBytes(const QString &path, qint64 offset, qint64 count)
{
    if (count <= 0)
        return;
    const bool follows = m_byteCount > 0 && path == m_path && offset == m_firstOffset + m_byteCount;
    if (!follows && m_byteCount > 0) {
        beginResetModel();
        resetBytes();
        endResetModel();
    }
    if (m_byteCount == 0) {
        m_path = path;
        m_firstOffset = offset;
        m_source.setFileName(path);
        // A file that cannot be read back still gets its rows, shown empty.
        (void)m_source.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    const qint64 added = std::min(count, MaxByteRows - m_byteCount);
    if (added <= 0)
        return;
    const int first = static_cast<int>(m_header.size()) + byteRows();
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(added) - 1);
    m_byteCount += added;
    endInsertRows();
}

int ByteLinesModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return static_cast<int>(m_header.size() + m_byteCount + m_trailer.size());
}

QVariant ByteLinesModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.parent().isValid())
        return QVariant();
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return QVariant();
    const int row = index.row();
    const int header = static_cast<int>(m_header.size());
    if (row < header)
        return m_header.at(row);
    if (row < header + byteRows()) {
        // Byte values are short enough never to need a tip.
        if (role == Qt::ToolTipRole)
            return QVariant();
        return byteAt(m_firstOffset + (row - header));
    }
    const int trailer = row - header - byteRows();
    if (trailer < m_trailer.size())
        return m_trailer.at(trailer);
    return QVariant();
}

QVariant ByteLinesModel::byteAt(qint64 offset) const
{
    if (offset < m_pageOffset || offset >= m_pageOffset + m_page.size()) {
        if (!m_source.isOpen())
            return QVariant();
        const qint64 start = offset - offset % PageSize;
        if (!m_source.seek(start))
            return QVariant();
        m_page = m_source.read(PageSize);
        m_pageOffset = start;
        if (offset >= m_pageOffset + m_page.size())
            return QVariant();
    }
    return QString::number(static_cast<quint8>(m_page.at(offset - m_pageOffset)));
}
