#pragma once

#include "net/serversettings.h"

#include <QMdiSubWindow>
#include <QPixmap>

class FtpClient;

/// The networking window: it owns the copy's sockets and its FTP component,
/// and shows itself as a narrow black-to-green strip.
class Server : public QMdiSubWindow
{
    Q_OBJECT

public:
    explicit Server(ServerSettings settings, QWidget *parent = nullptr);
    ~Server() override;

    const ServerSettings &settings() const { return m_settings; }

    /// The FTP component that carries the central directory.
    FtpClient &FTP() { return *m_FTP; }

    /// This copy's address as dotted text; readable before any socket is open.
    QString localAddress() const;

    /// Port of the search listener: 0 until it listens.
    quint16 searchLocalPort() const { return 0; }

    /// Opens the listeners for searches and downloads.
    void Init();

    /// What the strip holds now.
    QImage gradientImage() const { return m_gradient.toImage(); }

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void Form_Resize();

    ServerSettings m_settings;
    FtpClient *m_FTP;
    QWidget *m_surface;
    QPixmap m_gradient;
};
