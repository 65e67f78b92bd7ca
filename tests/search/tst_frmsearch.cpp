#include "Controls/twips.h"
#include "app/windows/canvas.h"
#include "app/windows/frmsearch.h"
#include "app/windows/progresslist.h"
#include "app/windows/searchresultsmodel.h"

#include <QAccessible>
#include <QLineEdit>
#include <QMainWindow>
#include <QMdiArea>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <memory>

namespace {

// Twips of one pixel at most: what rounding to whole pixels may cost.
double onePixel(const QWidget *w)
{
    return Twips::fromPixelsX(1, *w);
}

} // namespace

class TestFrmsearch : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void normalSizeSnapsBack();
    void minimisedMainFrameOnlyPlacesThePanel();
    void searchClearsAndPassesTheText();
    void doubleClickPassesTheEntry();
    void keyboardAndAssistiveTools();
    void busyWhileSearchingOrWaitingForAPeer();

private:
    frmsearch *open();

    std::unique_ptr<QMainWindow> m_main;
    QMdiArea *m_area = nullptr;
};

void TestFrmsearch::init()
{
    m_main = std::make_unique<QMainWindow>();
    m_area = new QMdiArea;
    m_main->setCentralWidget(m_area);
    m_main->resize(900, 700);
    m_main->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_main.get()));
}

void TestFrmsearch::cleanup()
{
    m_main.reset();
}

frmsearch *TestFrmsearch::open()
{
    auto *window = new frmsearch(m_main.get());
    m_area->addSubWindow(window);
    window->show();
    return window;
}

void TestFrmsearch::normalSizeSnapsBack()
{
    frmsearch *window = open();
    // The list's right edge lines up with the button's, and the window is
    // as wide as that edge and a thirtieth of its own width.
    const QRect list = window->Searchresults()->geometry();
    const QRect button = window->Command1()->geometry();
    QCOMPARE(window->Searchresults()->mapTo(window->widget(), QPoint(list.width(), 0)).x(),
             button.x() + button.width());
    const double width = Twips::fromPixelsX(window->width(), *window);
    const double buttonRight = Twips::fromPixelsX(button.x() + button.width(), *window);
    QVERIFY(std::abs(width - (buttonRight + width / 30)) <= 2 * onePixel(window));

    // Dragged in the normal state, the window snaps back.
    const QSize settled = window->size();
    window->resize(settled + QSize(200, 150));
    QTRY_COMPARE(window->size(), settled);
    window->resize(settled - QSize(100, 80));
    QTRY_COMPARE(window->size(), settled);

    // Maximised, the rule leaves the size alone; back to normal, it snaps.
    window->showMaximized();
    QTRY_COMPARE(window->size(), m_area->viewport()->size());
    window->showNormal();
    QTRY_COMPARE(window->size(), settled);
}

void TestFrmsearch::minimisedMainFrameOnlyPlacesThePanel()
{
    m_main->showMinimized();
    QTRY_VERIFY(m_main->isMinimized());
    frmsearch *window = open();
    Canvas *panel = window->Picture1();
    QCOMPARE(panel->geometry(), window->widget()->rect());
    const int y = panel->height() / 2;
    QCOMPARE(panel->image().pixelColor(panel->width() - 2, y), QColor(0, 0, 0));

    m_main->showNormal();
    QTRY_VERIFY(!m_main->isMinimized());
    window->Draw();
    const QImage image = panel->image();
    QCOMPARE(image.pixelColor(0, y), QColor(0, 0, 0));
    QVERIFY(image.pixelColor(panel->width() - 2, y).green() > 240);
    QCOMPARE(image.pixelColor(panel->width() - 2, y).red(), 0);
}

void TestFrmsearch::searchClearsAndPassesTheText()
{
    frmsearch *window = open();
    window->addResults({QStringLiteral("127.0.0.2\u00a7old.mp3")});
    QStringList asked;
    connect(window, &frmsearch::searchRequested, this, [&](const QString &text) {
        QCOMPARE(window->results()->rowCount(), 0); // cleared before the search
        asked.append(text);
    });
    QTest::keyClicks(window->searchtext(), QStringLiteral(" ab c "));
    QTest::mouseClick(window->Command1(), Qt::LeftButton);
    QCOMPARE(asked, QStringList({QStringLiteral(" ab c ")}));

    // While a search runs the button does nothing.
    window->setSearching(true);
    QTest::mouseClick(window->Command1(), Qt::LeftButton);
    QCOMPARE(asked.count(), 1);
    window->setSearching(false);
    QTest::mouseClick(window->Command1(), Qt::LeftButton);
    QCOMPARE(asked.count(), 2);
}

void TestFrmsearch::doubleClickPassesTheEntry()
{
    frmsearch *window = open();
    // Far longer than a row: the row shows its beginning, the download gets
    // all of it.
    const QString entry = QStringLiteral("127.0.0.3\u00a7a b\u00a7c") + QString(20000, u'x') + QStringLiteral(".mp3");
    window->addResults({QStringLiteral("127.0.0.2\u00a7first.txt"), entry});
    QSignalSpy downloads(window, &frmsearch::downloadRequested);
    ProgressList *list = window->Searchresults();
    QCOMPARE(list->model()->index(1, 0).data().toString(), entry.first(SearchResultsModel::ShownLength));

    // Below the last entry there is nothing to take.
    const QPoint empty(list->viewport()->width() / 2, list->viewport()->height() - 3);
    QVERIFY(!list->indexAt(empty).isValid());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, empty);
    QCOMPARE(downloads.count(), 0);

    // The first click of a double click selects the entry.
    const QPoint second = list->visualRect(list->model()->index(1, 0)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, second);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, second);
    QCOMPARE(downloads.count(), 1);
    QCOMPARE(downloads.first().first().toString(), entry);
}

void TestFrmsearch::keyboardAndAssistiveTools()
{
    m_main->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_main.get()));
    frmsearch *window = open();
    // Typing goes to the search text as soon as the window is there.
    QTRY_VERIFY(window->searchtext()->hasFocus());
    QSignalSpy searches(window, &frmsearch::searchRequested);
    QTest::keyClicks(window->searchtext(), QStringLiteral("song"));
    QTest::keyClick(window->searchtext(), Qt::Key_Return);
    QCOMPARE(searches.count(), 1);
    QCOMPARE(searches.first().first().toString(), QStringLiteral("song"));
    window->setSearching(true);
    QTest::keyClick(window->searchtext(), Qt::Key_Enter);
    QCOMPARE(searches.count(), 1);
    window->setSearching(false);

    // Enter on the result that has the focus downloads it; the focus comes
    // to the list on its first row.
    const QString entry = QStringLiteral("127.0.0.2\u00a7") + QString(5000, u'a') + QStringLiteral(".txt");
    const QString second = QStringLiteral("127.0.0.3\u00a7second.txt");
    QSignalSpy downloads(window, &frmsearch::downloadRequested);
    ProgressList *list = window->Searchresults();
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Return);
    QCOMPARE(downloads.count(), 0); // no results yet
    window->addResults({entry, second});
    list->clearFocus();
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Return);
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Return);
    QCOMPARE(downloads.count(), 2);
    QCOMPARE(downloads.at(0).first().toString(), entry);
    QCOMPARE(downloads.at(1).first().toString(), second);

    QAccessibleInterface *text = QAccessible::queryAccessibleInterface(window->searchtext());
    QCOMPARE(text->role(), QAccessible::EditableText);
    QCOMPARE(text->text(QAccessible::Name), QStringLiteral("Search text"));
    QAccessibleInterface *button = QAccessible::queryAccessibleInterface(window->Command1());
    QCOMPARE(button->role(), QAccessible::Button);
    QCOMPARE(button->text(QAccessible::Name), QStringLiteral("Search"));
    QAccessibleInterface *results = QAccessible::queryAccessibleInterface(list);
    QCOMPARE(results->role(), QAccessible::List);
    QCOMPARE(results->text(QAccessible::Name), QStringLiteral("Search results"));
    // A tool reads every row whole, however little of it the row shows.
    QCOMPARE(results->childCount(), 2);
    QCOMPARE(results->child(0)->role(), QAccessible::ListItem);
    QCOMPARE(results->child(0)->text(QAccessible::Name), entry);
    window->setSearchProgress(QStringLiteral("37 of 100 peers asked"));
    QCOMPARE(results->text(QAccessible::Description), QStringLiteral("37 of 100 peers asked"));
}

void TestFrmsearch::busyWhileSearchingOrWaitingForAPeer()
{
    frmsearch *window = open();
    const auto busy = [window] {
        return window->testAttribute(Qt::WA_SetCursor) && window->cursor().shape() == Qt::BusyCursor;
    };
    QVERIFY(!busy());
    window->setSearching(true);
    QVERIFY(busy());
    window->setSearching(false);
    QVERIFY(!busy());

    // A double click waits for the peer; the busy pointer stays until the
    // answer, even when a search ends meanwhile.
    window->addResults({QStringLiteral("127.0.0.2\u00a7a.txt")});
    ProgressList *list = window->Searchresults();
    const QPoint entry = list->visualRect(list->model()->index(0, 0)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, entry);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, entry);
    QVERIFY(busy());
    window->setSearching(true);
    window->setSearching(false);
    QVERIFY(busy());
    window->setDownloadWaiting(false);
    QVERIFY(!busy());
}

QTEST_MAIN(TestFrmsearch)
#include "tst_frmsearch.moc"
