#pragma once

#include "net/serversettings.h"

#include <QMdiSubWindow>
#include <QPixmap>
#include <QStringList>

#include <functional>

class DownloadClient;
class SearchClient;
class SearchResponder;
class UploadResponder;

/// The networking window: it owns the copy's sockets and shows itself as a
/// narrow black-to-green strip.
class Server : public QMdiSubWindow
{
    Q_OBJECT

public:
    /// The addresses a search asks, in order; read when a search starts.
    using PeerList = std::function<QStringList()>;

    /// settings.localAddress must be set: this copy's address, taken once
    /// when the program starts.
    Server(ServerSettings settings, PeerList peers, QWidget *parent = nullptr);
    ~Server() override;

    /// Opens the listener for downloads, then the one for searches. Stops at
    /// the first that cannot be opened: false, with listenerError().
    bool Init();

    /// Starts asking every peer for the files whose names hold searchtxt;
    /// the answers leave SearchClient as result entries.
    void search(const QString &searchtxt);

    /// Fetches the file a result entry names into Downloads/.
    bool startdownload(const QString &file);

    SearchClient &searchClient() { return *m_searchsend; }
    SearchResponder &searchResponder() { return *m_SearchRecive; }
    DownloadClient &downloads() { return *m_download; }
    UploadResponder &uploads() { return *m_upload; }

    /// What the strip holds now.
    QImage gradientImage() const { return m_gradient.toImage(); }

signals:
    /// A listener could not be opened or has failed; the text says why.
    void listenerError(const QString &description);
    /// The listener that reported text listens again: the error is over.
    void listenerErrorCleared(const QString &text);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void Form_Resize();
    void reportListener(QString &standing, const QString &text);
    void listenerBack(QString &standing);

    ServerSettings m_settings;
    PeerList m_peers;
    SearchResponder *m_SearchRecive;
    SearchClient *m_searchsend;
    UploadResponder *m_upload;
    DownloadClient *m_download;
    QWidget *m_surface;
    QPixmap m_gradient;
    // What each listener last reported, until it listens again.
    QString m_searchError;
    QString m_uploadError;
};
