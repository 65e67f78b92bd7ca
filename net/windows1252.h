#pragma once

#include <QByteArray>
#include <QString>

/// Text on the wire is one byte per character in the Western single-byte code
/// page (Windows-1252): "§" is 0xA7. These convert both ways.
namespace Windows1252 {

/// Decodes every byte; the five bytes the code page leaves unassigned come
/// through as the control characters of the same value.
QString decode(const QByteArray &bytes);

/// Encodes text; a character the code page cannot hold becomes '?' and sets
/// *ok to false when ok is given.
QByteArray encode(const QString &text, bool *ok = nullptr);

/// Whether every character of text has a byte in the code page.
bool canEncode(const QString &text);

} // namespace Windows1252
