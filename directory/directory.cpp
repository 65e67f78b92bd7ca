#include "directory/directory.h"

#include "directory/directoryfilter.h"

#include <QBuffer>

QByteArray Directory::startupRecord(const QString &address, qint16 port)
{
    return '"' + address.toLatin1() + "\"\r\n" + QByteArray::number(port) + "\r\n";
}

QByteArray Directory::shutdownRecord(const QString &address, qint16 port)
{
    return '"' + address.toLatin1() + "\"," + QByteArray::number(port) + "\r\n";
}

bool Directory::store(PeerTable &table, const DirectoryRecord &record)
{
    if (!record.hasAddress())
        return false;
    table.addRecord(record.address, record.port);
    return true;
}

void Directory::load(PeerTable &table, const QByteArray &data)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    DirectoryReader reader(&buffer);
    while (table.count() < PeerTable::PeerLimit) {
        const std::optional<DirectoryRecord> record = reader.next();
        if (!record)
            break;
        store(table, *record);
    }
}

QByteArray Directory::withoutAddress(const QByteArray &data, const QString &ownAddress)
{
    QBuffer in;
    in.setData(data);
    in.open(QIODevice::ReadOnly);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    DirectoryFilter filter(&in, &out, ownAddress);
    filter.step();
    return out.data();
}
