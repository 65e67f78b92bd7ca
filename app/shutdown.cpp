#include "app/shutdown.h"

#include "app/directory.h"
#include "app/tamsin.h"
#include "app/windows/iconcontrol.h"
#include "net/ftpclient.h"
#include "net/server.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <utility>

Shutdown::Shutdown(Server &server, PeerTable &peers, std::function<void()> endProcess, QObject *parent)
    : QObject(parent)
    , m_server(server)
    , m_peers(peers)
    , m_endProcess(std::move(endProcess))
{
}

bool Shutdown::fetchDirectory()
{
    FtpClient &ftp = m_server.FTP();
    for (int attempt = 1; attempt <= MaxDownloadAttempts; ++attempt) {
        if (ftp.get())
            return true;
        if (attempt == MaxDownloadAttempts)
            break;
        ftp.disconnectFromHost();
        QCoreApplication::processEvents();
        ftp.connectToHost();
        QCoreApplication::processEvents();
    }
    return false;
}

bool Shutdown::writeBack()
{
    const QString localCopy = m_server.FTP().localFile();
    QFile file(localCopy);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return false;
    file.close();

    m_peers.PeerCount = 0;
    Directory::load(m_peers, data);

    const QString own = m_server.localAddress();
    const qint64 bound = m_peers.readerBound();
    for (qint64 i = 1; i <= bound; ++i) {
        QString &address = m_peers.PeerAddress[static_cast<std::size_t>(i)];
        if (address == own)
            address.clear();
    }

    QSaveFile out(localCopy);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.write(Directory::withoutAddress(m_peers, own));
    return out.commit();
}

void Shutdown::exit_Click()
{
    if (m_running)
        return;
    m_running = true;

    FtpClient &ftp = m_server.FTP();
    if (fetchDirectory() && writeBack()) {
        ftp.put();
        QCoreApplication::processEvents();
    }
    ftp.disconnectFromHost();
    Iconcontrol::RemoveTrayIcon();
    m_endProcess();
}
