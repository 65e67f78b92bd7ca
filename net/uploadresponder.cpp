#include "net/uploadresponder.h"

#include "net/netlog.h"
#include "net/transferprotocol.h"
#include "net/uploadsinprogress.h"
#include "net/windows1252.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <utility>

UploadResponder::UploadResponder(const QString &programFolder, const QString &localAddress, quint16 port,
                                 QObject *parent)
    : Responder(localAddress, port, QStringLiteral("upload"), parent)
    , m_upload(endpoint())
    , m_sharedFolder(TransferProtocol::sharedFolder(programFolder))
    , m_requestTimer(new QTimer(this))
    , m_stallTimer(new QTimer(this))
{
    connect(&m_upload, &EventSocket::connectionRequest, this, &UploadResponder::upload_ConnectionRequest);
    connect(&m_upload, &EventSocket::dataArrival, this, &UploadResponder::upload_DataArrival);
    connect(&m_upload, &EventSocket::closedByPeer, this, &UploadResponder::upload_Close);
    connect(&m_upload, &EventSocket::errorOccurred, this, &UploadResponder::upload_Error);
    connect(&m_upload, &EventSocket::bytesWritten, this, [this] {
        if (state() != State::Answering)
            return;
        m_stallTimer->start(m_answerStallTimeoutMs);
        sendMore();
    });
    m_requestTimer->setSingleShot(true);
    m_stallTimer->setSingleShot(true);
    connect(m_requestTimer, &QTimer::timeout, this, &UploadResponder::requestTimedOut);
    connect(m_stallTimer, &QTimer::timeout, this, &UploadResponder::answerStalled);
}

UploadResponder::~UploadResponder()
{
    if (isServing())
        resetConnection();
}

void UploadResponder::stop()
{
    m_requestTimer->stop();
    m_stallTimer->stop();
    m_source.close();
    const bool answering = isServing();
    stopListening();
    if (!answering) {
        m_upload.close();
        return;
    }
    qCDebug(lcTransfer) << "answer to" << m_name << "cut off after" << m_sent << "bytes: the listener stops";
    resetConnection();
    emit answered(std::exchange(m_name, QString()), m_sent, false);
}

void UploadResponder::upload_ConnectionRequest(qintptr requestId)
{
    if (!takePeer(requestId))
        return;
    m_noted = m_upload.descriptor();
    // A peer gone before it was taken leaves no descriptor, and nothing to
    // note.
    if (m_noted >= 0 && !UploadsInProgress::add(m_noted)) {
        qCWarning(lcTransfer) << "Too many uploads at once: if the program ends by a signal while this one"
                              << "is sent, its connection may end in order rather than with a reset";
        m_noted = -1;
    }
    m_name.clear();
    m_sent = 0;
    m_requestTimer->start(m_requestTimeoutMs);
}

void UploadResponder::upload_DataArrival()
{
    // The asking side sends its request and nothing after it; anything else
    // is taken and dropped so that it does not keep coming back.
    const QByteArray bytes = m_upload.takeAll();
    if (state() != State::AwaitingRequest)
        return;
    m_requestTimer->stop();
    m_name = TransferProtocol::AfterLastx(Windows1252::decode(bytes));
    if (bytes.size() > MaxRequestLength || !TransferProtocol::isSafeName(m_name) || !openShared(m_name)) {
        endAnswer(false);
        return;
    }
    setAnswering();
    // What the answer has to hold: the file as it was when it began.
    m_size = m_source.size();
    m_stallTimer->start(m_answerStallTimeoutMs);
    sendMore();
}

bool UploadResponder::openShared(const QString &name)
{
    const QString shared = QDir(m_sharedFolder).canonicalPath();
    if (shared.isEmpty())
        return false;
    // Links are followed, but only to plain files that are inside Shared too.
    const QString real = QFileInfo(QDir(shared).filePath(name)).canonicalFilePath();
    if (real.isEmpty() || !real.startsWith(shared + u'/') || !QFileInfo(real).isFile())
        return false;
    m_source.setFileName(real);
    return m_source.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

void UploadResponder::sendMore()
{
    while (state() == State::Answering && m_upload.bytesToWrite() < SendQueueLimit) {
        const QByteArray block = m_source.read(SendBlockSize);
        if (block.isEmpty()) {
            // The end of the file, or a file that can no longer be read. The
            // close is the only end mark the protocol has: a file that shrank
            // while it was sent (its owner cut it) must not end with one, or
            // the asker would take the cut file for the whole.
            if (m_sent < m_size) {
                qCWarning(lcTransfer).noquote() << "Sending" << m_name << "stopped after" << m_sent << "of"
                                                << m_size << "bytes: the file shrank or could not be read";
                endAnswer(false);
                return;
            }
            if (m_upload.bytesToWrite() == 0)
                endAnswer(true);
            return;
        }
        if (m_upload.sendBytes(block) != block.size()) {
            endAnswer(false);
            return;
        }
        m_sent += block.size();
    }
}

void UploadResponder::upload_Close()
{
    if (isServing())
        endAnswer(false);
}

void UploadResponder::upload_Error(int, const QString &)
{
    if (isServing())
        endAnswer(false);
}

void UploadResponder::requestTimedOut()
{
    if (state() == State::AwaitingRequest)
        endAnswer(false);
}

void UploadResponder::answerStalled()
{
    if (state() == State::Answering)
        endAnswer(false);
}

void UploadResponder::endAnswer(bool complete)
{
    m_requestTimer->stop();
    m_stallTimer->stop();
    m_source.close();
    if (complete) {
        // For the asking peer this close is the end of the file.
        m_upload.close();
    } else {
        // Anything short of the whole file must not look like its end.
        qCDebug(lcTransfer) << "answer to" << m_name << "ended after" << m_sent << "bytes";
        m_upload.reset();
    }
    forgetConnection();
    const QString name = std::exchange(m_name, QString());
    listenAgain();
    emit answered(name, m_sent, complete);
}

void UploadResponder::resetConnection()
{
    m_upload.reset();
    forgetConnection();
}

void UploadResponder::forgetConnection()
{
    // After the close: a signal in between finds the connection still noted.
    UploadsInProgress::remove(std::exchange(m_noted, -1));
}
