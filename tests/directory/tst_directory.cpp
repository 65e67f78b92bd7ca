#include "directory/directory.h"
#include "directory/directoryreader.h"
#include "directory/recordcount.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Each record as kind:address:port (the port "-" when it has none), and the
// records' bytes one after the other.
QStringList records(const QByteArray &data, QByteArray *raw)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    DirectoryReader reader(&buffer);
    QStringList out;
    while (const std::optional<DirectoryRecord> record = reader.next()) {
        static const char *const kinds[] = {"peer", "odd", "junk"};
        out << QStringLiteral("%1:%2:%3")
                   .arg(QLatin1String(kinds[int(record->kind)]), record->address,
                        record->port.isNull() ? QStringLiteral("-") : record->port);
        *raw += record->raw;
    }
    return out;
}

} // namespace

class TestDirectory : public QObject
{
    Q_OBJECT

private slots:
    void readsRecords_data();
    void readsRecords();
    void storeRules();
    void portFields_data();
    void portFields();
    void loads_data();
    void loads();
    void exitRewrite_data();
    void exitRewrite();
    void recordCount_data();
    void recordCount();
};

void TestDirectory::readsRecords_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("two-line record") << QByteArray("\"10.0.0.5\"\r\n0\r\n") << QStringList{"peer:10.0.0.5:0"};
    QTest::newRow("one-line record") << QByteArray("\"10.0.0.5\",-7\r\n") << QStringList{"peer:10.0.0.5:-7"};
    QTest::newRow("blanks before fields") << QByteArray(" \t\"a\", \t 12  \r\n") << QStringList{"peer:a:12"};
    QTest::newRow("comma inside quotes") << QByteArray("\"a,b\",1\r\n") << QStringList{"peer:a,b:1"};
    QTest::newRow("bare line ends") << QByteArray("\"a\"\n1\r\"b\",2") << QStringList{"peer:a:1", "peer:b:2"};
    QTest::newRow("rest after quote") << QByteArray("\"a\"junk,5\r\n") << QStringList{"odd:a:5"};
    QTest::newRow("unquoted address") << QByteArray("10.0.0.9 ,3\r\n") << QStringList{"odd:10.0.0.9:3"};
    QTest::newRow("port out of range") << QByteArray("\"a\",70000\r\n") << QStringList{"odd:a:70000"};
    // One bad line spoils itself and nothing after it.
    QTest::newRow("blank line between") << QByteArray("\"a\",1\r\n\r\n\"b\"\r\n2\r\n")
                                        << QStringList{"peer:a:1", "peer:b:2"};
    QTest::newRow("missing port line") << QByteArray("\"a\"\r\n\"b\"\r\n2\r\n\"c\",3\r\n")
                                       << QStringList{"odd:a:-", "peer:b:2", "peer:c:3"};
    QTest::newRow("three fields") << QByteArray("\"a\",1,9\r\n\"b\"\r\n2\r\n")
                                  << QStringList{"odd:a:1", "peer:b:2"};
    QTest::newRow("two unquoted addresses") << QByteArray("10.0.0.1\r\n10.0.0.2\r\n7\r\n")
                                           << QStringList{"odd:10.0.0.1:-", "odd:10.0.0.2:7"};
    QTest::newRow("number alone") << QByteArray("\"a\",1\r\n5\r\n\"b\"\r\n6\r\n") << QStringList{"peer:a:1", "junk::-", "peer:b:6"};
    QTest::newRow("unclosed quote") << QByteArray("\"a,1\r\n\"b\",2\r\n") << QStringList{"junk::-", "peer:b:2"};
    QTest::newRow("file ends inside a record") << QByteArray("\"a\",1\r\n\"b\"\r\n") << QStringList{"peer:a:1", "odd:b:-"};
    // An over-long line passes in pieces that are no records, whatever they
    // hold.
    QTest::newRow("long line") << "\"a\",1\r\n" + QByteArray(DirectoryReader::MaxLineLength * 2 + 5, ',') + "\r\n\"b\",2\r\n"
                               << QStringList{"peer:a:1", "junk::-", "junk::-", "junk::-", "peer:b:2"};
}

void TestDirectory::readsRecords()
{
    QFETCH(QByteArray, data);
    QFETCH(QStringList, expected);
    QByteArray raw;
    QCOMPARE(records(data, &raw), expected);
    // Every byte is in a record, but those of blank lines.
    QCOMPARE(raw, QByteArray(data).replace("\r\n\r\n", "\r\n"));
}

void TestDirectory::storeRules()
{
    PeerTable table;
    table.PeerPort[1] = 9;
    QVERIFY(table.addRecord("10.0.0.1", "70000"));
    QCOMPARE(table.PeerAddress[1], QStringLiteral("10.0.0.1"));
    QCOMPARE(table.PeerPort[1], qint16(9));

    QVERIFY(table.addRecord("x", "-32768"));
    QCOMPARE(table.PeerPort[2], qint16(-32768));
    QVERIFY(table.addRecord("y", "abc"));
    QCOMPARE(table.PeerPort[3], qint16(0));

    // An index out of range stores nothing but still counts the record.
    PeerTable negative;
    negative.PeerCount = -5;
    QVERIFY(!negative.addRecord("n", "1"));
    QCOMPARE(negative.PeerCount, -4.0);
    QCOMPARE(negative.readerBound(), qint64(0));
}

void TestDirectory::portFields_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("port");

    QTest::newRow("zero") << "0" << true << 0;
    QTest::newRow("leading zeros") << "007" << true << 7;
    QTest::newRow("plus") << "+12" << true << 12;
    QTest::newRow("minus zero") << "-0" << true << 0;
    QTest::newRow("highest") << "32767" << true << 32767;
    QTest::newRow("lowest") << " -32768\t" << true << -32768;
    QTest::newRow("one above") << "32768" << false << 0;
    QTest::newRow("one below") << "-32769" << false << 0;
    QTest::newRow("six digits") << "999999" << false << 0;
    QTest::newRow("many leading zeros") << "0000000000000042" << true << 42;
    QTest::newRow("many digits") << "12345678901234567890" << false << 0;
    QTest::newRow("fraction, half to even") << "12.5" << true << 12;
    QTest::newRow("exponent") << "1e3" << true << 1000;
    QTest::newRow("sign only") << "-" << false << 0;
    QTest::newRow("two signs") << "+-5" << false << 0;
    QTest::newRow("digit not ASCII") << QStringLiteral("\u0663") << false << 0;
}

void TestDirectory::portFields()
{
    QFETCH(QString, field);
    QFETCH(bool, ok);
    QFETCH(int, port);
    qint16 value = -1;
    QCOMPARE(PeerTable::convertPort(field, &value), ok);
    if (ok)
        QCOMPARE(value, qint16(port));
}

void TestDirectory::loads_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("startCount");
    QTest::addColumn<QStringList>("expected");

    // Every record that names an address counts, and its port field where
    // it reads as one; a bad line spoils nothing after it.
    QTest::newRow("malformed records between good ones")
        << QByteArray("\"10.0.0.1\"\r\n1\r\n\r\n\"10.0.0.2\"\r\n\"10.0.0.3\",3\r\n\"10.0.0.4\",4,44\r\n\"10.0.0.5\"\r\n5\r\n"
                      "\"10.0.0.6\",6")
        << 0 << QStringList{"10.0.0.1:1", "10.0.0.2:0", "10.0.0.3:3", "10.0.0.4:4", "10.0.0.5:5", "10.0.0.6:6"};
    QTest::newRow("stops at the limit") << QByteArray("\"last\",1\r\n\"beyond\",2\r\n") << PeerTable::PeerLimit - 1
                                        << QStringList{"last:1"};
}

void TestDirectory::loads()
{
    QFETCH(QByteArray, data);
    QFETCH(int, startCount);
    QFETCH(QStringList, expected);
    PeerTable table;
    table.PeerCount = startCount;
    Directory::load(table, data);
    QCOMPARE(table.count(), startCount + expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const size_t at = size_t(startCount + 1 + i);
        QCOMPARE(table.PeerAddress[at] + u':' + QString::number(table.PeerPort[at]), expected.at(i));
    }
}

void TestDirectory::exitRewrite_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("own records go, whatever the port")
        << QByteArray("\"10.0.0.7\",1\r\n\"10.0.0.5\"\r\n0\r\n\"10.0.0.05\",2\r\n\"10.0.0.5\",9\r\n\" 10.0.0.5\",3\r\n")
        << QByteArray("\"10.0.0.7\",1\r\n\"10.0.0.05\",2\r\n\" 10.0.0.5\",3\r\n");
    // Registrations of others come out in the one-line layout, blanks gone,
    // the last one on a whole line.
    QTest::newRow("registrations rewritten")
        << QByteArray("\"a\"\r\n-12\r\n \"b\" ,\t7") << QByteArray("\"a\",-12\r\n\"b\",7\r\n");
    QTest::newRow("only own records") << QByteArray("\"10.0.0.5\"\r\n0\r\n\"10.0.0.5\",7\r\n") << QByteArray();
    // A line that is no registration is kept as it stands, never turned
    // into another peer's address.
    QTest::newRow("unquoted address holding a quote")
        << QByteArray("b\"x,3\r\n\"10.0.0.8\",4\r\n") << QByteArray("b\"x,3\r\n\"10.0.0.8\",4\r\n");
    QTest::newRow("odd records of others kept")
        << QByteArray("\"a\",1,2\r\n\"b\"\r\n\"c\",x\r\nnoise\r\n\"10.0.0.5\",1,2\r\n")
        << QByteArray("\"a\",1,2\r\n\"b\"\r\n\"c\",x\r\nnoise\r\n");
    QTest::newRow("blank lines go") << QByteArray("\r\n\"a\",1\r\n\r\n") << QByteArray("\"a\",1\r\n");
    // Taking out a record between an address and a line after it must not
    // join the two into another record.
    QTest::newRow("no new pairs") << QByteArray("\"a\"\r\n\"10.0.0.5\",0\r\nb.host\r\n")
                                  << QByteArray("\"a\"\r\nb.host\r\n");
    // An append of this copy's that the server cut off left the start of
    // its record; that of another copy, or anything glued to it, stays.
    QTest::newRow("pieces of own records go")
        << QByteArray("\"10.0.0\r\n\"10.0.0.5\"\r\n0\r\n\"10.0.0.6\r\n\"10.0\"10.0.0.7\"\r\n\"a\",1\r\n\"10.0.0.5")
        << QByteArray("\"10.0.0.6\r\n\"10.0\"10.0.0.7\"\r\n\"a\",1\r\n");
}

void TestDirectory::exitRewrite()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, expected);
    QCOMPARE(Directory::withoutAddress(data, QStringLiteral("10.0.0.5")), expected);
}

void TestDirectory::recordCount_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("expected");

    // Behind other bytes on its line a record reads as none.
    QTest::newRow("at line starts only")
        << QByteArray("\"10.0.0.5\"\r\n0\r\n\"10.0.0\"10.0.0.5\"\r\n0\r\nx\"10.0.0.5\",1\r\n\"10.0.0.5\",2") << 2;
    // The count reads a MiB at a time; what stands before a record that
    // starts in the bytes carried over from the piece before still counts.
    constexpr qsizetype Piece = 1 << 20;
    const auto before = [](qsizetype at, char last) { return QByteArray(at - 1, 'x') + last; };
    const QByteArray own = "\"10.0.0.5\"\r\n0\r\n";
    QTest::newRow("across a border") << before(Piece - 4, '\r') + own << 1;
    QTest::newRow("carried over, on a line of its own") << before(Piece - 9, '\n') + own << 1;
    QTest::newRow("carried over, glued") << before(Piece - 9, '"') + own << 0;
}

void TestDirectory::recordCount()
{
    QFETCH(QByteArray, data);
    QFETCH(int, expected);
    QTemporaryDir folder;
    QFile file(folder.filePath(QStringLiteral("IP.txt")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
    file.close();
    RecordCount count(file.fileName(), QStringLiteral("10.0.0.5"));
    while (!count.step(0)) {
    }
    QCOMPARE(count.count(), qint64(expected));
}

QTEST_GUILESS_MAIN(TestDirectory)
#include "tst_directory.moc"
