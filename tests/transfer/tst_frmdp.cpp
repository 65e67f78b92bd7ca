#include "app/windows/canvas.h"
#include "app/windows/frmdp.h"
#include "app/windows/progresslist.h"
#include "net/bytelinesmodel.h"

#include <QAccessible>
#include <QMainWindow>
#include <QMdiArea>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <limits>
#include <memory>

namespace {

// A list with as many rows as an int can count, none of them stored.
class HugeModel : public QAbstractListModel
{
public:
    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : std::numeric_limits<int>::max();
    }
    QVariant data(const QModelIndex &index, int role) const override
    {
        return role == Qt::DisplayRole ? QVariant(QString::number(index.row() % 256)) : QVariant();
    }
};

} // namespace

class TestFrmDP : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void loadSizesTheWindowToTheList();
    void resizeKeepsTheHeightAndFillsTheList();
    void maximisedWindowStillLaysOut();
    void nothingWhenNeitherIsNormal();
    void minimisedFrameOnlyPlacesThePanel();
    void linesFromTheDownload();
    void listCostsNothingPerRow();
    void followsTheEndUnlessScrolledAway();
    void billionRowsForAssistiveTools();

private:
    QWidget *content() const { return m_dp->widget(); }
    int sixthOfScreen() const { return m_dp->screen()->geometry().height() / 6; }
    QImage panel() const { return m_dp->Picture1()->image(); }

    std::unique_ptr<QMainWindow> m_frame;
    QMdiArea *m_area = nullptr;
    frmDP *m_dp = nullptr;
};

void TestFrmDP::init()
{
    m_frame = std::make_unique<QMainWindow>();
    m_area = new QMdiArea(m_frame.get());
    m_frame->setCentralWidget(m_area);
    m_frame->resize(900, 560);
    m_dp = new frmDP(m_frame.get());
    m_area->addSubWindow(m_dp);
    m_dp->hide();
}

void TestFrmDP::cleanup()
{
    m_frame.reset();
}

void TestFrmDP::loadSizesTheWindowToTheList()
{
    // Created and not yet shown, the window reaches just past the right and
    // bottom edges of the list on its panel.
    QCOMPARE(m_dp->DL()->parentWidget(), m_dp->Picture1());
    const QRect list = m_dp->DL()->geometry();
    QVERIFY(std::abs(m_dp->width() - (list.right() + 1)) <= 1);
    QVERIFY(std::abs(m_dp->height() - (list.bottom() + 1)) <= 1);
}

void TestFrmDP::resizeKeepsTheHeightAndFillsTheList()
{
    m_frame->show();
    m_dp->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_frame.get()));
    QCOMPARE(m_dp->height(), sixthOfScreen());
    QCOMPARE(m_dp->DL()->geometry(), QRect(QPoint(0, 0), content()->size()));
    QCOMPARE(m_dp->Picture1()->geometry(), QRect(QPoint(0, 0), content()->size()));

    // The user may set the width, not the height.
    m_dp->resize(420, 300);
    QCOMPARE(m_dp->width(), 420);
    QCOMPARE(m_dp->height(), sixthOfScreen());
    QCOMPARE(m_dp->DL()->geometry(), QRect(QPoint(0, 0), content()->size()));

    // The panel's gradient: black at the left, band 254 at the right.
    const QImage image = panel();
    const int y = content()->height() / 2;
    QCOMPARE(image.pixelColor(0, y), QColor(0, 0, 0));
    QCOMPARE(image.pixelColor(content()->width() - 1, y), QColor(0, 254, 0));
}

void TestFrmDP::maximisedWindowStillLaysOut()
{
    m_frame->show();
    m_dp->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_frame.get()));
    m_dp->Picture1()->Cls();
    m_dp->showMaximized();
    QTRY_VERIFY(m_dp->isMaximized());
    // The height rule cannot hold here and is skipped; the rest is done.
    QCOMPARE(m_dp->size(), m_area->viewport()->size());
    QCOMPARE(m_dp->DL()->geometry(), QRect(QPoint(0, 0), content()->size()));
    QCOMPARE(m_dp->Picture1()->geometry(), QRect(QPoint(0, 0), content()->size()));
    QCOMPARE(panel().pixelColor(content()->width() - 1, 0), QColor(0, 254, 0));
}

void TestFrmDP::nothingWhenNeitherIsNormal()
{
    m_frame->show();
    m_dp->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_frame.get()));
    m_frame->setWindowState(Qt::WindowMinimized);
    const QRect marked(3, 4, 50, 60);
    m_dp->DL()->setGeometry(marked);
    m_dp->Picture1()->Cls();
    m_dp->showMinimized();
    QTRY_VERIFY(m_dp->isMinimized());
    QCOMPARE(m_dp->DL()->geometry(), marked);
    QCOMPARE(panel().pixelColor(panel().width() - 1, 0), QColor(0, 0, 0));
}

void TestFrmDP::minimisedFrameOnlyPlacesThePanel()
{
    m_frame->show();
    m_dp->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_frame.get()));
    m_frame->setWindowState(Qt::WindowMinimized);
    m_dp->Picture1()->Cls();
    m_dp->Picture1()->setGeometry(10, 10, 20, 20);
    m_dp->Draw();
    QCOMPARE(m_dp->Picture1()->geometry(), QRect(QPoint(0, 0), content()->size()));
    QCOMPARE(panel().pixelColor(content()->width() - 1, 0), QColor(0, 0, 0));

    m_frame->setWindowState(Qt::WindowNoState);
    m_dp->Draw();
    QCOMPARE(panel().pixelColor(content()->width() - 1, 0), QColor(0, 254, 0));
}

void TestFrmDP::linesFromTheDownload()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("target"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray("\x41\x00\xff", 3));
    file.close();

    m_dp->addProgressLine(QStringLiteral("old line"));
    m_dp->clearProgress();
    m_dp->addProgressLine(QStringLiteral("Connected!"));
    m_dp->addProgressBytes(path, 0, 3);
    m_dp->addProgressLine(QStringLiteral("Done!"));
    ByteLinesModel *model = m_dp->lines();
    QStringList lines;
    for (int row = 0; row < model->rowCount(); ++row)
        lines << model->data(model->index(row)).toString();
    QCOMPARE(lines, QStringList({"Connected!", "65", "0", "255", "Done!"}));

    m_frame->show();
    m_dp->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_frame.get()));
    ProgressList *list = m_dp->DL();
    QCOMPARE(list->indexAt(QPoint(1, 1)).row(), 0);
    QCOMPARE(list->indexAt(QPoint(1, list->rowHeight() * 2 + 1)).row(), 2);
}

void TestFrmDP::listCostsNothingPerRow()
{
    // The list stands a row count no laid-out list could carry: scrolling to
    // the end and back addresses rows directly.
    HugeModel huge;
    ProgressList list;
    list.resize(200, 200);
    list.setModel(&huge);
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    const int rows = std::numeric_limits<int>::max();
    const int shown = list.viewport()->height() / list.rowHeight();

    const QModelIndex last = huge.index(rows - 1);
    list.scrollTo(last);
    QCOMPARE(list.topRow(), rows - shown);
    QCOMPARE(list.indexAt(QPoint(1, 0)).row(), rows - shown);
    QCOMPARE(list.visualRect(last).top(), (shown - 1) * list.rowHeight());
    QVERIFY(list.grab().width() > 0);

    list.setCurrentIndex(last);
    QTest::keyClick(&list, Qt::Key_Home);
    QCOMPARE(list.currentIndex().row(), 0);
    QCOMPARE(list.topRow(), 0);
    QTest::keyClick(&list, Qt::Key_PageDown);
    QCOMPARE(list.currentIndex().row(), shown);
}

void TestFrmDP::followsTheEndUnlessScrolledAway()
{
    m_frame->show();
    m_dp->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_frame.get()));
    ProgressList *list = m_dp->DL();
    QScrollBar *bar = list->verticalScrollBar();
    const auto add = [this](int lines) {
        for (int i = 0; i < lines; ++i)
            m_dp->addProgressLine(QString::number(i));
    };
    add(50);
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());

    // Scrolled up, the view stays; back at the end, it follows again.
    bar->setValue(3);
    add(20);
    QCOMPARE(bar->value(), 3);
    bar->setValue(bar->maximum());
    add(20);
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(list->indexAt(QPoint(1, (list->viewport()->height() / list->rowHeight() - 1) * list->rowHeight())).row(),
             m_dp->lines()->rowCount() - 1);
}

void TestFrmDP::billionRowsForAssistiveTools()
{
    // A sparse file of 10^9 bytes, one of them set, stands for a download
    // of that size: each byte is one row of the list.
    constexpr qint64 Bytes = 1000 * 1000 * 1000;
    constexpr qint64 Marked = 123456789;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.seek(Marked));
    file.write("\xab", 1);
    QVERIFY(file.resize(Bytes));
    file.close();

    m_dp->addProgressLine(QStringLiteral("Connected!"));
    m_dp->addProgressBytes(path, 0, Bytes);
    m_dp->addProgressLine(QStringLiteral("Done!"));

    QAccessibleInterface *list = QAccessible::queryAccessibleInterface(m_dp->DL());
    QVERIFY(list);
    QCOMPARE(list->role(), QAccessible::List);
    QCOMPARE(list->text(QAccessible::Name), QStringLiteral("Download progress"));
    QCOMPARE(list->childCount(), Bytes + 2);

    const auto rowText = [list](qint64 row) {
        QAccessibleInterface *item = list->child(static_cast<int>(row));
        return item ? item->text(QAccessible::Name) : QStringLiteral("<none>");
    };
    QCOMPARE(rowText(0), QStringLiteral("Connected!"));
    QCOMPARE(rowText(1), QStringLiteral("0"));
    QCOMPARE(rowText(1 + Marked), QStringLiteral("171"));
    QCOMPARE(rowText(Bytes), QStringLiteral("0"));
    QCOMPARE(rowText(Bytes + 1), QStringLiteral("Done!"));
    QVERIFY(!list->child(static_cast<int>(Bytes + 2)));

    QAccessibleInterface *item = list->child(500000000);
    QCOMPARE(item->role(), QAccessible::ListItem);
    QCOMPARE(item->parent(), list);
    QCOMPARE(list->indexOfChild(item), 500000000);
    QCOMPARE(list->child(500000000), item);

    // Only the rows asked for lately are kept: an early one is let go.
    const QAccessible::Id early = QAccessible::uniqueId(item);
    for (int row = 0; row < 1000; ++row)
        list->child(row * 1000);
    QVERIFY(!QAccessible::accessibleInterface(early));
    QCOMPARE(rowText(500000000), QStringLiteral("0"));

    // A cleared list has no rows, and an item made before reads as gone.
    QAccessibleInterface *last = list->child(static_cast<int>(Bytes + 1));
    m_dp->clearProgress();
    QCOMPARE(list->childCount(), 0);
    QVERIFY(!last->isValid());
}

QTEST_MAIN(TestFrmDP)
#include "tst_frmdp.moc"
