#include "app/directory.h"

QByteArray Directory::startupRecord(const QString &address, qint16 port)
{
    return '"' + address.toLatin1() + "\"\r\n" + QByteArray::number(port) + "\r\n";
}

QByteArray Directory::shutdownRecord(const QString &address, qint16 port)
{
    return '"' + address.toLatin1() + "\"," + QByteArray::number(port) + "\r\n";
}

void Directory::load(PeerTable &table, const QByteArray &data, const std::function<void()> &afterRecord)
{
    DirectoryReader reader(data);
    while (!reader.atEnd()) {
        const std::optional<QString> address = reader.readField();
        // Blanks after the last record are no record.
        if (!address)
            break;
        // A file that ends inside a record: the port read fails and the entry
        // keeps its port.
        const std::optional<QString> port = reader.readField();
        table.addRecord(*address, port.value_or(QString()));
        if (afterRecord)
            afterRecord();
    }
}

QByteArray Directory::withoutAddress(const PeerTable &table, const QString &ownAddress)
{
    QByteArray out;
    const qint64 bound = table.readerBound();
    for (qint64 i = 1; i <= bound; ++i) {
        const QString &address = table.PeerAddress[static_cast<std::size_t>(i)];
        // A quote cannot be written inside a quoted field: such an entry would
        // come back as another address. It names no reachable peer either.
        if (address.isEmpty() || address == ownAddress || address.contains(u'"'))
            continue;
        out += shutdownRecord(address, table.PeerPort[static_cast<std::size_t>(i)]);
    }
    return out;
}
