#include "app/windows/frmsearch.h"

#include "Controls/twips.h"
#include "app/windows/canvas.h"
#include "app/windows/look.h"
#include "app/windows/progresslist.h"
#include "app/windows/searchresultsmodel.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

constexpr char Caption[] = "Search";
constexpr char SearchCaption[] = "Search";
constexpr char SearchForText[] = "Search For:";
constexpr char ArtistText[] = "Artist:";
constexpr char TitleText[] = "Search:";
constexpr double TitlePoints = 14.25;
constexpr double TextPoints = 8.25;

// Designed layout, in twips.
constexpr double NormalHeight = 3630;
constexpr double WidthRuleDivisor = 30;
constexpr Twips::Size DesignedClientSize{5490, 3135};
constexpr Twips::Rect SearchtextBox{120, 600, 2775, 285};
constexpr Twips::Rect Command1Box{3000, 600, 2415, 255};
constexpr Twips::Rect Picture1Box{0, 0, 5535, 3135};
constexpr Twips::Rect Label2Box{120, 360, 1095, 255};
constexpr Twips::Rect SearchresultsBox{120, 960, 5295, 1980};
constexpr Twips::Rect Label3Box{0, 0, 1095, 255};
constexpr Twips::Rect Label1Box{0, 0, 7935, 495};

} // namespace

frmsearch::frmsearch(QWidget *mainFrame, QWidget *parent)
    : QMdiSubWindow(parent)
    , m_mainFrame(mainFrame)
    , m_surface(new QWidget(this))
    , m_Label3(new QLabel(QString::fromLatin1(ArtistText), m_surface))
    , m_Label1(new QLabel(QString::fromLatin1(TitleText), m_surface))
    , m_Picture1(new Canvas(m_surface))
    , m_Label2(new QLabel(QString::fromLatin1(SearchForText), m_Picture1))
    , m_results(new SearchResultsModel(this))
    , m_Searchresults(new ProgressList(m_Picture1))
    , m_searchtext(new QLineEdit(m_surface))
    , m_Command1(new QPushButton(QString::fromLatin1(SearchCaption), m_surface))
{
    setObjectName(QStringLiteral("frmsearch"));
    setWindowTitle(QString::fromLatin1(Caption));
    setAttribute(Qt::WA_DeleteOnClose);
    Look::paintGreenOnBlack(m_surface);
    m_surface->setFont(Look::face(TextPoints));
    setWidget(m_surface);

    m_Label3->setObjectName(QStringLiteral("Label3"));
    m_Label3->setGeometry(Twips::toPixels(Label3Box, *this));
    Look::paintGreenOnBlack(m_Label3);
    m_Label1->setObjectName(QStringLiteral("Label1"));
    m_Label1->setGeometry(Twips::toPixels(Label1Box, *this));
    m_Label1->setFont(Look::face(TitlePoints));
    Look::paintGreenOnBlack(m_Label1);

    // The panel covers both labels; the text box and the button lie above it.
    m_Picture1->setObjectName(QStringLiteral("Picture1"));
    m_Picture1->setGeometry(Twips::toPixels(Picture1Box, *this));
    m_Label2->setObjectName(QStringLiteral("Label2"));
    m_Label2->setGeometry(Twips::toPixels(Label2Box, *this));
    Look::paintGreenOnBlack(m_Label2);
    m_Searchresults->setObjectName(QStringLiteral("Searchresults"));
    m_Searchresults->setGeometry(Twips::toPixels(SearchresultsBox, *this));
    m_Searchresults->setModel(m_results);
    // Entries that come in while the user reads the list leave it where it is.
    m_Searchresults->setFollowsAdded(false);
    m_Searchresults->setSelectionMode(QAbstractItemView::SingleSelection);
    m_Searchresults->setAccessibleName(QStringLiteral("Search results"));
    m_Searchresults->installEventFilter(this);
    Look::paintList(m_Searchresults);

    m_searchtext->setObjectName(QStringLiteral("searchtext"));
    m_searchtext->setAccessibleName(QStringLiteral("Search text"));
    m_searchtext->setGeometry(Twips::toPixels(SearchtextBox, *this));
    m_Command1->setObjectName(QStringLiteral("Command1"));
    m_Command1->setAccessibleName(QString::fromLatin1(SearchCaption));
    m_Command1->setGeometry(Twips::toPixels(Command1Box, *this));
    m_searchtext->raise();
    m_Command1->raise();
    setTabOrder(m_searchtext, m_Command1);

    connect(m_Command1, &QPushButton::clicked, this, &frmsearch::Command1_Click);
    // Enter in the text box is the button, and like it does nothing while a
    // search runs.
    connect(m_searchtext, &QLineEdit::returnPressed, this, [this] {
        if (m_Command1->isEnabled())
            Command1_Click();
    });
    connect(m_Searchresults, &QAbstractItemView::doubleClicked, this, &frmsearch::Searchresults_DblClick);

    // The width rule starts from the designed size and settles within a
    // resize or two, wherever it starts.
    resize(Twips::toPixels(DesignedClientSize, *this));
    Form_Load();
}

void frmsearch::applySizeRule()
{
    const QRect button = m_Command1->geometry();
    const double buttonRight = Twips::fromPixelsX(button.x() + button.width(), *this);
    const double width = buttonRight + Twips::fromPixelsX(this->width(), *this) / WidthRuleDivisor;
    resize(Twips::toPixelsX(width, *this), Twips::toPixelsY(NormalHeight, *this));
}

void frmsearch::Form_Load()
{
    applySizeRule();
    // The list's right edge lines up with the button's.
    const QRect button = m_Command1->geometry();
    QRect list = m_Searchresults->geometry();
    list.setWidth(button.x() + button.width() - list.x());
    m_Searchresults->setGeometry(list);
    Draw();
    m_loaded = true;
}

void frmsearch::Form_Resize()
{
    raise();
    if (isMinimized() || isMaximized())
        return;
    applySizeRule();
    Draw();
}

void frmsearch::resizeEvent(QResizeEvent *event)
{
    QMdiSubWindow::resizeEvent(event);
    if (m_loaded)
        Form_Resize();
}

void frmsearch::showEvent(QShowEvent *event)
{
    QMdiSubWindow::showEvent(event);
    // Typing starts at once in the search text.
    m_searchtext->setFocus();
}

bool frmsearch::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_Searchresults && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            Searchresults_DblClick();
            return true;
        }
    }
    return QMdiSubWindow::eventFilter(watched, event);
}

void frmsearch::Draw()
{
    m_Picture1->setGeometry(0, 0, m_surface->width(), m_surface->height());
    if (m_mainFrame && m_mainFrame->isMinimized())
        return;
    m_Picture1->Cls();
    m_Picture1->drawGreenBands();
}

void frmsearch::addResults(const QStringList &entries)
{
    m_results->append(entries);
}

void frmsearch::setSearching(bool running)
{
    m_Command1->setEnabled(!running);
    m_searching = running;
    showBusy();
}

void frmsearch::setSearchProgress(const QString &description)
{
    m_Searchresults->setAccessibleDescription(description);
}

void frmsearch::setDownloadWaiting(bool waiting)
{
    m_downloadWaiting = waiting;
    showBusy();
}

void frmsearch::showBusy()
{
    if (isBusy())
        setCursor(Qt::BusyCursor);
    else
        unsetCursor();
}

void frmsearch::Command1_Click()
{
    m_results->clear();
    // The search starts and runs on by itself; its entries come back through
    // addResults(), to this window or, once the user has closed it, to one
    // made anew.
    emit searchRequested(m_searchtext->text());
}

void frmsearch::Searchresults_DblClick()
{
    // The chosen row, or, from the keyboard, the row that has the focus.
    const QModelIndexList selected = m_Searchresults->selectionModel()->selectedIndexes();
    const QModelIndex row = selected.isEmpty() ? m_Searchresults->currentIndex() : selected.first();
    if (!row.isValid())
        return;
    // Set before asking: a download that cannot start answers at once.
    setDownloadWaiting(true);
    emit downloadRequested(m_results->entry(row.row()));
}
