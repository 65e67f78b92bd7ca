#include "app/directory.h"

#include <QTest>

class TestDirectory : public QObject
{
    Q_OBJECT

private slots:
    void readsFields_data();
    void readsFields();
    void loadsBothLayouts();
    void fileEndingInsideARecord();
    void storeRules();
    void reloadWithFewerRecords();
    void pastTheLimit();
    void writers();
    void withoutOwnAddress();
};

void TestDirectory::readsFields_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QStringList>("fields");

    QTest::newRow("two-line record") << QByteArray("\"10.0.0.5\"\r\n0\r\n") << QStringList{"10.0.0.5", "0"};
    QTest::newRow("one-line record") << QByteArray("\"10.0.0.5\",-7\r\n") << QStringList{"10.0.0.5", "-7"};
    QTest::newRow("blanks before fields") << QByteArray(" \t\"a\", \t 12  \r\n") << QStringList{"a", "12"};
    QTest::newRow("rest after quote dropped") << QByteArray("\"a\"junk,5\r\n") << QStringList{"a", "5"};
    QTest::newRow("unquoted address") << QByteArray("10.0.0.9 ,3\r\n") << QStringList{"10.0.0.9", "3"};
    QTest::newRow("empty line") << QByteArray("\r\n\"b\"\r\n") << QStringList{"", "b"};
    QTest::newRow("comma inside quotes") << QByteArray("\"a,b\",1\r\n") << QStringList{"a,b", "1"};
    QTest::newRow("bare line feeds") << QByteArray("\"a\"\n1\n") << QStringList{"a", "1"};
    QTest::newRow("no final line end") << QByteArray("\"a\",1") << QStringList{"a", "1"};
}

void TestDirectory::readsFields()
{
    QFETCH(QByteArray, data);
    QFETCH(QStringList, fields);
    DirectoryReader reader(data);
    QStringList read;
    while (!reader.atEnd())
        read << reader.readField().value_or(QStringLiteral("<none>"));
    QCOMPARE(read, fields);
    QVERIFY(!reader.readField().has_value());
}

void TestDirectory::loadsBothLayouts()
{
    PeerTable table;
    const QByteArray file = "\"10.0.0.1\",1\r\n\"10.0.0.2\",-2\r\n\"10.0.0.3\",3\r\n\"10.0.0.9\"\r\n0\r\n";
    int pumps = 0;
    Directory::load(table, file, [&] {
        ++pumps;
        // Whenever events may run, the count equals the records stored.
        QCOMPARE(table.PeerAddress[static_cast<std::size_t>(table.count())].isEmpty(), false);
    });
    QCOMPARE(pumps, 4);
    QCOMPARE(table.PeerCount, 4.0);
    QCOMPARE(table.PeerAddress[0], QString());
    QCOMPARE(table.PeerAddress[1], QStringLiteral("10.0.0.1"));
    QCOMPARE(table.PeerPort[2], qint16(-2));
    QCOMPARE(table.PeerAddress[4], QStringLiteral("10.0.0.9"));
    QCOMPARE(table.PeerPort[4], qint16(0));
}

void TestDirectory::fileEndingInsideARecord()
{
    PeerTable table;
    table.PeerPort[2] = 55;
    Directory::load(table, "\"a\",1\r\n\"b\"\r\n");
    QCOMPARE(table.PeerCount, 2.0);
    QCOMPARE(table.PeerAddress[2], QStringLiteral("b"));
    QCOMPARE(table.PeerPort[2], qint16(55));

    // A blank line is a record with an empty address; trailing blanks are none.
    PeerTable blank;
    Directory::load(blank, "\r\n5\r\n  ");
    QCOMPARE(blank.PeerCount, 1.0);
    QCOMPARE(blank.PeerAddress[1], QString());
    QCOMPARE(blank.PeerPort[1], qint16(5));
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
    QVERIFY(table.addRecord("z", "32768"));
    QCOMPARE(table.PeerPort[4], qint16(0));

    // An index out of range stores nothing but still counts the record.
    PeerTable negative;
    negative.PeerCount = -5;
    QVERIFY(!negative.addRecord("n", "1"));
    QCOMPARE(negative.PeerCount, -4.0);
    QCOMPARE(negative.readerBound(), qint64(0));
}

void TestDirectory::reloadWithFewerRecords()
{
    PeerTable table;
    Directory::load(table, "\"a\",1\r\n\"b\",2\r\n\"c\",3\r\n");
    table.PeerCount = 0;
    Directory::load(table, "\"d\",4\r\n");
    QCOMPARE(table.PeerCount, 1.0);
    QCOMPARE(table.PeerAddress[1], QStringLiteral("d"));
    // Higher entries keep their old values; readers stop at the count.
    QCOMPARE(table.PeerAddress[3], QStringLiteral("c"));
    QCOMPARE(Directory::withoutAddress(table, "x"), QByteArray("\"d\",4\r\n"));
}

void TestDirectory::pastTheLimit()
{
    PeerTable table;
    table.PeerCount = PeerTable::PeerLimit - 1;
    QVERIFY(table.addRecord("last", "1"));
    QVERIFY(!table.addRecord("beyond", "2"));
    QCOMPARE(table.count(), qint64(PeerTable::PeerLimit + 1));
    QCOMPARE(table.PeerAddress[PeerTable::PeerLimit], QStringLiteral("last"));
    QCOMPARE(table.readerBound(), qint64(PeerTable::PeerLimit));
}

void TestDirectory::writers()
{
    QCOMPARE(Directory::startupRecord("10.0.0.5", 0), QByteArray("\"10.0.0.5\"\r\n0\r\n"));
    QCOMPARE(Directory::shutdownRecord("10.0.0.5", -12), QByteArray("\"10.0.0.5\",-12\r\n"));
}

void TestDirectory::withoutOwnAddress()
{
    PeerTable table;
    Directory::load(table, "\"10.0.0.7\",1\r\n\"10.0.0.5\"\r\n0\r\n\"10.0.0.05\",2\r\n\"10.0.0.5\",9\r\n"
                           "\" 10.0.0.5\",3\r\n\r\n4\r\n");
    QCOMPARE(Directory::withoutAddress(table, "10.0.0.5"),
             QByteArray("\"10.0.0.7\",1\r\n\"10.0.0.05\",2\r\n\" 10.0.0.5\",3\r\n"));

    // An unquoted address holding a quote could only come back as another
    // address; it is dropped.
    PeerTable quoted;
    Directory::load(quoted, "b\"x,3\r\n\"10.0.0.8\",4\r\n");
    QCOMPARE(quoted.PeerAddress[1], QStringLiteral("b\"x"));
    QCOMPARE(Directory::withoutAddress(quoted, "10.0.0.5"), QByteArray("\"10.0.0.8\",4\r\n"));

    PeerTable onlyOwn;
    Directory::load(onlyOwn, "\"10.0.0.5\"\r\n0\r\n\"10.0.0.5\",7\r\n");
    QCOMPARE(Directory::withoutAddress(onlyOwn, "10.0.0.5"), QByteArray());
}

QTEST_GUILESS_MAIN(TestDirectory)
#include "tst_directory.moc"
