#include "directory/directory.h"

#include "directory/directoryfilter.h"

#include <QBuffer>

#include <array>
#include <charconv>

QByteArray Directory::startupRecord(const QString &address, qint16 port)
{
    return '"' + address.toLatin1() + "\"\r\n" + QByteArray::number(port) + "\r\n";
}

void Directory::appendShutdownRecord(QByteArray &out, const QString &address, qint16 port)
{
    // Written straight into out: at exit this runs once for every record of
    // the directory.
    std::array<char, 8> digits{};
    const auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(), port);
    Q_ASSERT(error == std::errc());
    out.reserve(out.size() + address.size() + 3 + (end - digits.data()) + 2);
    out.append('"');
    for (const QChar c : address)
        out.append(c.unicode() <= 0xff ? char(c.unicode()) : '?'); // as QString::toLatin1()
    out.append("\",", 2);
    out.append(digits.data(), end - digits.data());
    out.append("\r\n", 2);
}

bool Directory::store(PeerTable &table, const DirectoryRecord &record)
{
    if (!record.hasAddress())
        return false;
    table.addRecord(record.address, record.port);
    return true;
}

bool Directory::load(PeerTable &table, DirectoryReader &reader, int budgetMs)
{
    // Past the table's end nothing more would be stored.
    if (table.count() >= PeerTable::PeerLimit)
        return true;
    return reader.readFor(budgetMs, [&table](const DirectoryRecord &record) {
        store(table, record);
        return table.count() < PeerTable::PeerLimit;
    });
}

void Directory::load(PeerTable &table, const QByteArray &data)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    DirectoryReader reader(&buffer);
    load(table, reader);
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
