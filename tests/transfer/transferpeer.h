#pragma once

// A copy of the program as the transfer tests see it: a program folder of its
// own with Shared/ and Downloads/, its upload responder on its own loopback
// address, its download client, and the progress list that the client fills.

#include "net/bytelinesmodel.h"
#include "net/downloadclient.h"
#include "net/transferprotocol.h"
#include "net/uploadresponder.h"
#include "tests/support/testfiles.h"

#include <QByteArray>
#include <QDir>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

/// Bytes that differ from one position to the next, so that a lost, doubled
/// or swapped block shows.
inline QByteArray pattern(qint64 size, int seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 2463534242u + static_cast<quint32>(seed);
    for (qint64 i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<char>(x);
    }
    return bytes;
}

/// Every row of a progress list, as text.
inline QStringList rows(const ByteLinesModel &model)
{
    QStringList lines;
    for (int row = 0; row < model.rowCount(); ++row)
        lines << model.data(model.index(row)).toString();
    return lines;
}

/// How many handles of this process are open on the file at path.
int openHandles(const QString &path);

struct Peer
{
    Peer(const QString &address, quint16 port);

    QString shared(const QString &name) const { return dir.filePath(QStringLiteral("Shared/") + name); }
    QString downloads() const { return dir.filePath(QStringLiteral("Downloads")); }
    /// The result entry for name on this peer.
    QString entry(const QString &name) const { return address + TransferProtocol::Separator + name; }
    QStringList lines() const { return rows(DL); }

    QTemporaryDir dir;
    QString address;
    std::unique_ptr<UploadResponder> responder;
    std::unique_ptr<DownloadClient> client;
    ByteLinesModel DL;
};
