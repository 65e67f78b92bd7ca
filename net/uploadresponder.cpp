#include "net/uploadresponder.h"

#include "net/netlog.h"
#include "net/transferprotocol.h"
#include "net/windows1252.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <utility>

UploadResponder::UploadResponder(QString programFolder, QString localAddress, quint16 port, QObject *parent)
    : QObject(parent)
    , m_sharedFolder(TransferProtocol::sharedFolder(programFolder))
    , m_localAddress(std::move(localAddress))
    , m_port(port)
    , m_upload(m_localAddress, this)
    , m_requestTimer(new QTimer(this))
    , m_stallTimer(new QTimer(this))
    , m_retry(new QTimer(this))
{
    m_upload.setObjectName(QStringLiteral("upload"));
    connect(&m_upload, &EventSocket::connectionRequest, this, &UploadResponder::upload_ConnectionRequest);
    connect(&m_upload, &EventSocket::dataArrival, this, &UploadResponder::upload_DataArrival);
    connect(&m_upload, &EventSocket::closedByPeer, this, &UploadResponder::upload_Close);
    connect(&m_upload, &EventSocket::errorOccurred, this, &UploadResponder::upload_Error);
    connect(&m_upload, &EventSocket::bytesWritten, this, [this] {
        if (m_state != State::Sending)
            return;
        m_stallTimer->start(m_answerStallTimeoutMs);
        sendMore();
    });
    m_requestTimer->setSingleShot(true);
    m_stallTimer->setSingleShot(true);
    connect(m_requestTimer, &QTimer::timeout, this, &UploadResponder::requestTimedOut);
    connect(m_stallTimer, &QTimer::timeout, this, &UploadResponder::answerStalled);
    m_retry->setSingleShot(true);
    m_retry->setInterval(RebindRetryMs);
    connect(m_retry, &QTimer::timeout, this, &UploadResponder::listenAgain);
}

bool UploadResponder::start()
{
    m_retry->stop();
    m_failReported = false;
    if (!bindAndListen()) {
        m_state = State::Closed;
        return false;
    }
    return true;
}

void UploadResponder::stop()
{
    m_retry->stop();
    m_requestTimer->stop();
    m_stallTimer->stop();
    m_source.close();
    const bool answering = m_state == State::Waiting || m_state == State::Sending;
    m_state = State::Closed;
    if (!answering) {
        m_upload.close();
        return;
    }
    qCDebug(lcTransfer) << "answer to" << m_name << "cut off after" << m_sent << "bytes: the listener stops";
    m_upload.reset();
    emit answered(std::exchange(m_name, QString()), m_sent, false);
}

bool UploadResponder::bindAndListen()
{
    if (!m_upload.bind(m_port, m_upload.localAddress()) || !m_upload.listen()) {
        m_errorString = m_upload.errorString();
        m_upload.close();
        return false;
    }
    // A free port chosen at the first bind is kept for every later one.
    m_port = m_upload.localPort();
    m_state = State::Listening;
    return true;
}

void UploadResponder::listenAgain()
{
    if (bindAndListen()) {
        if (std::exchange(m_failReported, false))
            emit listenerRecovered();
        return;
    }
    m_state = State::Rebinding;
    if (!m_failReported) {
        m_failReported = true;
        emit listenFailed(m_errorString);
    }
    m_retry->start();
}

void UploadResponder::upload_ConnectionRequest(qintptr requestId)
{
    if (m_state != State::Listening)
        return;
    // From here until the answer ends the port has no listener: other peers
    // are refused by the host.
    m_upload.close();
    if (!m_upload.accept(requestId)) {
        listenAgain();
        return;
    }
    m_state = State::Waiting;
    m_name.clear();
    m_sent = 0;
    m_requestTimer->start(m_requestTimeoutMs);
}

void UploadResponder::upload_DataArrival()
{
    // The asking side sends its request and nothing after it; anything else
    // is taken and dropped so that it does not keep coming back.
    const QByteArray bytes = m_upload.takeAll();
    if (m_state != State::Waiting)
        return;
    m_requestTimer->stop();
    m_name = TransferProtocol::AfterLastx(Windows1252::decode(bytes));
    if (bytes.size() > MaxRequestLength || !TransferProtocol::isSafeName(m_name) || !openShared(m_name)) {
        endAnswer(false);
        return;
    }
    m_state = State::Sending;
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
    while (m_state == State::Sending && m_upload.bytesToWrite() < SendQueueLimit) {
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
    if (m_state == State::Waiting || m_state == State::Sending)
        endAnswer(false);
}

void UploadResponder::upload_Error(int, const QString &)
{
    if (m_state == State::Waiting || m_state == State::Sending)
        endAnswer(false);
}

void UploadResponder::requestTimedOut()
{
    if (m_state == State::Waiting)
        endAnswer(false);
}

void UploadResponder::answerStalled()
{
    if (m_state == State::Sending)
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
    const QString name = std::exchange(m_name, QString());
    listenAgain();
    emit answered(name, m_sent, complete);
}
