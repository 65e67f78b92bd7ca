#pragma once

// The file transfer on TCP port 1100, one connection per file:
//
//   request = entry                 ; sent once, as soon as the connection is up
//   entry   = address "§" name      ; Windows-1252, "§" is the byte 0xA7;
//                                   ; no length prefix, no terminator
//   reply   = *byte                 ; the file's bytes, first to last, unchanged
//   end     = close                 ; by the serving side, after the last byte
//
// The asking side sends nothing but the request; the serving side reads one
// data arrival as the whole request and takes the text after the first "§" as
// the name of a file in its Shared folder. The close is the only end mark, so
// an empty file is an immediate close, and an answer that is not the whole
// file (a name that cannot be served, a peer given up) ends with a reset
// instead. The serving side answers one connection at a time: while it
// answers, its port has no listener.

#include <QChar>
#include <QString>

namespace TransferProtocol {

/// The port every peer serves files on.
inline constexpr quint16 UploadPort = 1100;

/// Splits a result entry into the peer's address and the file name: the
/// section sign, the byte 0xA7 on the wire. The search makes entries with it.
inline constexpr QChar Separator = QChar(0x00A7);

/// Folders beside the program: what this copy offers and where it saves.
inline constexpr char SharedFolder[] = "Shared";
inline constexpr char DownloadsFolder[] = "Downloads";

/// The Shared folder of programFolder, which both responders serve from.
QString sharedFolder(const QString &programFolder);
/// The Downloads folder of programFolder.
QString downloadsFolder(const QString &programFolder);

/// The text before the first separator that stands at position 2 or later:
/// the first character is always taken, even when it is the separator. The
/// whole text when there is none.
QString BeforeLast(const QString &text);

/// The text after the first separator; the whole text when there is none.
/// Later separators stay in the result.
QString AfterLastx(const QString &text);

/// Whether name can stand as one file name inside a folder: not empty, not
/// "." or "..", no "/" or "\", no control character, and every character
/// encodable in Windows-1252 (so it goes on the wire unchanged).
bool isSafeName(const QString &name);

} // namespace TransferProtocol
