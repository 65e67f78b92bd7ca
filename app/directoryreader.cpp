#include "app/directoryreader.h"

#include <utility>

DirectoryReader::DirectoryReader(QByteArray data)
    : m_data(std::move(data))
{
}

bool DirectoryReader::atEnd() const
{
    return m_pos >= m_data.size();
}

bool DirectoryReader::atLineEnd() const
{
    const char c = m_data.at(m_pos);
    return c == '\r' || c == '\n';
}

void DirectoryReader::skipSeparator()
{
    if (atEnd())
        return;
    if (m_data.at(m_pos) == ',') {
        ++m_pos;
        return;
    }
    // A line end is CR LF; a lone CR or LF from a hand-edited file counts too.
    if (m_data.at(m_pos) == '\r')
        ++m_pos;
    if (!atEnd() && m_data.at(m_pos) == '\n')
        ++m_pos;
}

std::optional<QString> DirectoryReader::readField()
{
    while (!atEnd() && (m_data.at(m_pos) == ' ' || m_data.at(m_pos) == '\t'))
        ++m_pos;
    if (atEnd())
        return std::nullopt;

    QByteArray field;
    if (m_data.at(m_pos) == '"') {
        const qsizetype close = m_data.indexOf('"', m_pos + 1);
        const qsizetype end = close < 0 ? m_data.size() : close;
        field = m_data.mid(m_pos + 1, end - m_pos - 1);
        m_pos = close < 0 ? end : close + 1;
        while (!atEnd() && m_data.at(m_pos) != ',' && !atLineEnd())
            ++m_pos;
    } else {
        const qsizetype start = m_pos;
        while (!atEnd() && m_data.at(m_pos) != ',' && !atLineEnd())
            ++m_pos;
        field = m_data.mid(start, m_pos - start);
        while (field.endsWith(' '))
            field.chop(1);
    }
    skipSeparator();
    return QString::fromLatin1(field);
}
