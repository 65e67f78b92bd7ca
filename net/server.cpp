#include "net/server.h"

#include "net/ftpclient.h"
#include "net/localaddress.h"

#include <QPainter>
#include <QResizeEvent>

#include <cmath>
#include <utility>

namespace {

/// Shows the strip's kept gradient.
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

} // namespace

Server::Server(ServerSettings settings, QWidget *parent)
    : QMdiSubWindow(parent)
    , m_settings(std::move(settings))
    , m_FTP(new FtpClient(this))
{
    setObjectName(QStringLiteral("Server"));
    setWindowTitle(QStringLiteral("Connect"));
    setWindowFlags(Qt::FramelessWindowHint);
    m_surface = new Surface(m_gradient, this);
    setWidget(m_surface);
}

Server::~Server() = default;

QString Server::localAddress() const
{
    return m_settings.localAddress.isEmpty() ? LocalAddress::detect() : m_settings.localAddress;
}

void Server::Init()
{
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
    // 256 bands down the height, (0, i, 0) for band i, on a scale of 255
    // units: the last band lies just past the bottom edge.
    for (int i = 0; i <= 255; ++i) {
        const int y0 = static_cast<int>(std::lround(i * inner.height() / 255.0));
        const int y1 = static_cast<int>(std::lround((i + 1) * inner.height() / 255.0));
        if (y1 > y0)
            p.fillRect(0, y0, inner.width(), y1 - y0, QColor(0, i, 0));
    }
    p.end();
    m_gradient = image;
    m_surface->update();
}
