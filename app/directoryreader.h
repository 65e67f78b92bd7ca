#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

/// Reads the central directory file field by field.
///
/// The file is 8-bit text: a flat run of fields, each ended by a comma or a
/// line end. A record is two fields, a quoted address and a port. Two layouts
/// occur side by side and read alike:
///
///     "10.0.0.5"<CR><LF>0<CR><LF>      (registration at start-up)
///     "10.0.0.5",0<CR><LF>             (written back at exit)
///
/// Spaces and tabs before a field are skipped. A quoted field ends at the next
/// quote, and the rest of its line up to the next comma or line end is
/// dropped. Any other field ends at the next comma or line end, trailing
/// spaces removed; an empty line is one empty field.
class DirectoryReader
{
public:
    explicit DirectoryReader(QByteArray data);

    /// True when nothing is left; tested before each record, never inside one.
    bool atEnd() const;

    /// The next field, or nothing when the data has ended.
    std::optional<QString> readField();

private:
    bool atLineEnd() const;
    void skipSeparator();

    QByteArray m_data;
    qsizetype m_pos = 0;
};
