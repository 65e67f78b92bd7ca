#include "ambrel.h"

#include <QLabel>
#include <QLibrary>
#include <QPluginLoader>
#include <QtTest>

#include <memory>
#include <stdexcept>

namespace {

// At this size one track unit is one pixel across and one unit of the
// block's vertical scale is one pixel row.
constexpr int UnitWidth = 200;
constexpr int UnitHeight = 510;

struct HostedStrip
{
    explicit HostedStrip(QSize size = {UnitWidth, 25})
        : strip(new Ambrel(&host))
    {
        strip->setGeometry(QRect({0, 0}, size));
        host.show();
    }
    QWidget *track() const { return strip->findChild<QWidget *>(QStringLiteral("Picture2")); }
    QLabel *block() const { return strip->findChild<QLabel *>(QStringLiteral("Picture1")); }

    QWidget host;
    Ambrel *strip;
};

bool isGreen(QRgb c, int tolerance = 0)
{
    return qGreen(c) == 255 && qRed(c) <= tolerance && qBlue(c) == qRed(c);
}

// Runs [first, last] of the columns that are bar in the middle row.
QList<QPair<int, int>> barRuns(const QImage &image)
{
    QList<QPair<int, int>> runs;
    for (int x = 0; x < image.width(); ++x) {
        if (qGreen(image.pixel(x, image.height() / 2)) != 255)
            continue;
        if (!runs.isEmpty() && runs.last().second == x - 1)
            runs.last().second = x;
        else
            runs.append({x, x});
    }
    return runs;
}

} // namespace

class TestAmbrel : public QObject
{
    Q_OBJECT

private slots:
    void motion_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<qint16>("speed");
        QTest::addColumn<QList<int>>("lefts");

        QList<int> one, seven;
        for (int left = 0; left < 210; ++left)
            one << left;
        for (int left = 0; left < 210; left += 7)
            seven << left;
        QTest::newRow("1 walks 0..209") << 0 << qint16(1) << one + QList<int>{0, 1};
        QTest::newRow("7 resets at 210") << 0 << qint16(7) << seven + QList<int>{0, 7};
        QTest::newRow("-1 re-enters right") << 0 << qint16(-1) << QList<int>{0, 209, 208};
        QTest::newRow("-32768") << 0 << qint16(-32768) << QList<int>{0, 202, 194};
        QTest::newRow("32767 at right end") << 209 << qint16(32767) << QList<int>{209, 0, 0};
        QTest::newRow("-32768 at right end") << 209 << qint16(-32768) << QList<int>{209, 201, 193};
    }

    void motion()
    {
        QFETCH(int, from);
        QFETCH(qint16, speed);
        QFETCH(QList<int>, lefts);

        HostedStrip hosted;
        hosted.strip->SetSpeed(1, 999);
        hosted.strip->StartScroll();
        for (int i = 0; i < from; ++i)
            hosted.strip->scroll_Timer();
        hosted.strip->SetSpeed(speed, 999);
        QList<int> seen;
        while (seen.size() < lefts.size()) {
            hosted.strip->scroll_Timer();
            seen << hosted.block()->x();
        }
        QCOMPARE(seen, lefts);
    }

    void stopAndStart()
    {
        HostedStrip running;
        HostedStrip stopped;
        stopped.strip->StopScroll();
        QVERIFY(!running.strip->isPainted());
        // Left alone, a new strip's own timer paints the block, which stands
        // still; the running strip's first tick stands in for the stopped one's.
        QTRY_VERIFY(running.strip->isPainted());
        QCOMPARE(running.block()->x(), 0);
        QCOMPARE(running.strip->position(), 0);
        QVERIFY(!stopped.strip->isPainted());

        Ambrel &strip = *running.strip;
        strip.SetSpeed(3, 999);
        for (int i = 0; i < 5; ++i)
            strip.scroll_Timer();
        strip.StopScroll();
        QVERIFY(!strip.isTicking());
        strip.StartScroll();
        QVERIFY(strip.isTicking());
        strip.scroll_Timer();
        QCOMPARE(running.block()->x(), 15);

        // Off screen, hidden or in a minimised window, a started strip waits
        // without ticking, and ticks again once it is seen.
        running.host.hide();
        QVERIFY(!strip.isTicking());
        running.host.show();
        QVERIFY(strip.isTicking());
        running.host.showMinimized();
        QTRY_VERIFY(!strip.isTicking());
        running.host.showNormal();
        QTRY_VERIFY(strip.isTicking());
    }

    void setSpeed_data()
    {
        QTest::addColumn<qint16>("smoothness");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<int>("interval");

        QTest::newRow("999: fastest") << qint16(999) << "ticks" << 1;
        QTest::newRow("0: once a second") << qint16(0) << "ticks" << 1000;
        QTest::newRow("-31767: widest") << qint16(-31767) << "ticks" << 32767;
        QTest::newRow("1000: no ticks") << qint16(1000) << "still" << 0;
        QTest::newRow("1001: negative") << qint16(1001) << "invalid" << 20;
        QTest::newRow("32767: negative") << qint16(32767) << "invalid" << 20;
        QTest::newRow("-31768: overflow") << qint16(-31768) << "overflow" << 20;
        QTest::newRow("-32768: overflow") << qint16(-32768) << "overflow" << 20;
    }

    void setSpeed()
    {
        QFETCH(qint16, smoothness);
        QFETCH(QString, outcome);
        QFETCH(int, interval);

        HostedStrip hosted;
        Ambrel &strip = *hosted.strip;
        strip.SetSpeed(4, 980);
        if (outcome == "invalid")
            QVERIFY_THROWS_EXCEPTION(std::invalid_argument, strip.SetSpeed(9, smoothness));
        else if (outcome == "overflow")
            QVERIFY_THROWS_EXCEPTION(std::overflow_error, strip.SetSpeed(9, smoothness));
        else
            strip.SetSpeed(9, smoothness);
        QCOMPARE(strip.step(), outcome == "invalid" || outcome == "overflow" ? 4 : 9);
        QCOMPARE(strip.tickInterval(), interval);
        QCOMPARE(strip.isTicking(), outcome != "still");
        strip.StartScroll();
        QCOMPARE(strip.isTicking(), outcome != "still");

        // A stop outlasts a change of speed; a start outlasts interval 0.
        strip.StopScroll();
        strip.SetSpeed(1, 999);
        QVERIFY(!strip.isTicking());
        strip.StartScroll();
        strip.SetSpeed(1, 1000);
        strip.SetSpeed(1, 999);
        QVERIFY(strip.isTicking());
    }

    void blockPatternAndResize()
    {
        HostedStrip hosted({UnitWidth, UnitHeight});
        Ambrel &strip = *hosted.strip;
        strip.SetSpeed(10, 999);
        strip.scroll_Timer();

        QImage image = hosted.block()->grab().toImage();
        const auto bars = barRuns(image);
        QCOMPARE(bars.size(), 5);
        QCOMPARE(bars.first().first, 0);
        QCOMPARE(bars.last().second, image.width() - 1);
        for (int b = 0; b + 1 < bars.size(); ++b)
            QVERIFY(!isGreen(image.pixel(bars[b].second + 1, 0), 255));
        for (const auto &bar : bars) {
            const int x = (bar.first + bar.second) / 2;
            QVERIFY(isGreen(image.pixel(x, 0)));
            QVERIFY(isGreen(image.pixel(x, UnitHeight - 1), 1));
            QCOMPARE(image.pixel(x, 255), qRgb(255, 255, 255));
        }

        // A new size repaints at the next tick, for the new height and track width.
        const int blockWidth = hosted.block()->width();
        strip.resize(2 * UnitWidth, UnitHeight / 2);
        QVERIFY(!strip.isPainted());
        QCOMPARE(hosted.track()->size(), QSize(2 * UnitWidth, UnitHeight / 2));
        QCOMPARE(hosted.block()->size(), QSize(blockWidth, UnitHeight / 2));
        strip.scroll_Timer();
        QVERIFY(strip.isPainted());
        QCOMPARE(hosted.block()->x(), 2 * 10);
        image = hosted.block()->grab().toImage();
        QCOMPARE(barRuns(image), bars);
        const int x = bars.first().second / 2;
        QVERIFY(isGreen(image.pixel(x, 0), 2));
        QVERIFY(isGreen(image.pixel(x, image.height() - 1), 4));
        QVERIFY(qRed(image.pixel(x, image.height() / 2)) >= 250);
    }

    void pluginByPath()
    {
        QPluginLoader loader(QStringLiteral(AMBREL_LIBRARY_PATH));
        QCOMPARE(loader.metaData().value(QStringLiteral("IID")).toString(), "Ambrelbar.Ambrel");
        auto *factory = qobject_cast<AmbrelFactory *>(loader.instance());
        QVERIFY2(factory, qPrintable(loader.errorString()));

        QLibrary library(QStringLiteral(AMBREL_LIBRARY_PATH));
        auto entry = [&](const char *name) { return reinterpret_cast<int (*)()>(library.resolve(name)); };
        auto getClassObject = reinterpret_cast<void *(*)(const char *)>(library.resolve("DllGetClassObject"));
        auto canUnloadNow = entry("DllCanUnloadNow");
        QVERIFY(getClassObject && canUnloadNow && entry("DllRegisterServer") && entry("DllUnregisterServer"));
        QCOMPARE(static_cast<AmbrelFactory *>(getClassObject("Ambrelbar.Ambrel")), factory);
        QCOMPARE(getClassObject("Ambrelbar.Other"), nullptr);
        QCOMPARE(getClassObject(nullptr), nullptr);
        QCOMPARE(entry("DllRegisterServer")(), 0);
        QCOMPARE(entry("DllUnregisterServer")(), 0);
        QCOMPARE(canUnloadNow(), 0);

        auto host = std::make_unique<QWidget>();
        AmbrelStrip *strip = factory->createStrip(host.get());
        QCOMPARE(strip->widget()->parentWidget(), host.get());
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, strip->SetSpeed(1, 1001));
        host->show();
        QVERIFY(strip->widget()->isVisible());
        QCOMPARE(canUnloadNow(), 1);
        host.reset();
        QCOMPARE(canUnloadNow(), 0);
    }
};

QTEST_MAIN(TestAmbrel)
#include "tst_ambrel.moc"
