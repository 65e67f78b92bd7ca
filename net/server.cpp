#include "net/server.h"

#include "net/downloadclient.h"
#include "net/greenbands.h"
#include "net/netlog.h"
#include "net/searchclient.h"
#include "net/searchresponder.h"
#include "net/uploadresponder.h"

#include <QPainter>
#include <QResizeEvent>

#include <utility>

namespace {

// Shows the strip's kept gradient.
class Surface : public QWidget
{
public:
    Surface(const QPixmap &image, QWidget *parent)
        : QWidget(parent)
        , m_image(image)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.fillRect(rect(), Qt::black);
        p.drawPixmap(0, 0, m_image);
    }

private:
    const QPixmap &m_image;
};

QString cannotListen(quint16 port, const QString &why)
{
    return Server::tr("Cannot listen on port %1: %2").arg(port).arg(why);
}

} // namespace

Server::Server(ServerSettings settings, PeerList peers, QWidget *parent)
    : QMdiSubWindow(parent)
    , m_settings(std::move(settings))
    , m_peers(std::move(peers))
    , m_SearchRecive(
          new SearchResponder(m_settings.programFolder, m_settings.localAddress, m_settings.searchPort, this))
    , m_searchsend(new SearchClient(this))
    , m_upload(new UploadResponder(m_settings.programFolder, m_settings.localAddress, m_settings.uploadPort, this))
    , m_download(new DownloadClient(m_settings.programFolder, m_settings.localAddress, m_settings.uploadPort, this))
{
    setObjectName(QStringLiteral("Server"));
    setWindowTitle(QStringLiteral("Connect"));
    setWindowFlags(Qt::FramelessWindowHint);
    m_surface = new Surface(m_gradient, this);
    setWidget(m_surface);
    m_searchsend->setPort(m_settings.searchPort);
    connect(m_SearchRecive, &SearchResponder::listenerError, this,
            [this](const QString &text) { reportListener(m_searchError, text); });
    connect(m_SearchRecive, &SearchResponder::listenerRecovered, this, [this] { listenerBack(m_searchError); });
    connect(m_upload, &UploadResponder::listenerError, this,
            [this](const QString &why) { reportListener(m_uploadError, cannotListen(m_upload->port(), why)); });
    connect(m_upload, &UploadResponder::listenerRecovered, this, [this] { listenerBack(m_uploadError); });
}

Server::~Server() = default;

bool Server::Init()
{
    if (!m_upload->start()) {
        reportListener(m_uploadError, cannotListen(m_settings.uploadPort, m_upload->errorString()));
        return false;
    }
    if (!m_SearchRecive->start()) {
        reportListener(m_searchError, cannotListen(m_settings.searchPort, m_SearchRecive->errorString()));
        return false;
    }
    return true;
}

void Server::reportListener(QString &standing, const QString &text)
{
    qCWarning(lcSearch).noquote() << "Listener:" << text;
    standing = text;
    emit listenerError(text);
}

void Server::listenerBack(QString &standing)
{
    if (standing.isEmpty())
        return;
    qCWarning(lcSearch).noquote() << "Listener is back after:" << standing;
    emit listenerErrorCleared(std::exchange(standing, QString()));
}

void Server::search(const QString &searchtxt)
{
    m_searchsend->search(searchtxt, m_peers ? m_peers() : QStringList());
}

bool Server::startdownload(const QString &file)
{
    return m_download->startdownload(file);
}

void Server::resizeEvent(QResizeEvent *event)
{
    QMdiSubWindow::resizeEvent(event);
    Form_Resize();
}

void Server::changeEvent(QEvent *event)
{
    QMdiSubWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        Form_Resize();
}

void Server::Form_Resize()
{
    // Minimised or maximised, the strip keeps what it had.
    if (windowState() & (Qt::WindowMinimized | Qt::WindowMaximized))
        return;
    const QSize inner = m_surface->size();
    if (inner.isEmpty())
        return;
    QPixmap image(inner);
    image.fill(Qt::black);
    QPainter p(&image);
    // The strip runs down, where the other panels run across.
    for (const GreenBands::Band &band : GreenBands::over(inner.height()))
        p.fillRect(0, band.from, inner.width(), band.to - band.from, QColor(0, band.green, 0));
    p.end();
    m_gradient = image;
    m_surface->update();
}
