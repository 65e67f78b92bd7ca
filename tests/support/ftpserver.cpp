#include "tests/support/ftpserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTcpSocket>
#include <QThread>

namespace {

// Debian's package installs the module for the system interpreter only.
constexpr char Python[] = "/usr/bin/python3";
constexpr int StartTimeoutMs = 15'000;
constexpr char LoginLine[] = "logged in.";

QString script()
{
    return QStringLiteral(FERRIN_TEST_SUPPORT_DIR "/ftpd.py");
}

} // namespace

FtpServerProcess::FtpServerProcess()
{
    m_home = QDir(m_dir.path()).filePath(QStringLiteral("home"));
    QDir().mkpath(m_home);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PYTHONUNBUFFERED"), QStringLiteral("1"));
    m_process.setProcessEnvironment(environment);
}

FtpServerProcess::~FtpServerProcess()
{
    stop();
}

bool FtpServerProcess::start()
{
    stop();
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder: ") + m_dir.errorString();
        return false;
    }
    return launch();
}

bool FtpServerProcess::dropSessions()
{
    QJsonObject armed = faults();
    armed.insert(QStringLiteral("drop_sessions"), 1);
    if (!setFaults(armed))
        return false;
    // The server counts the fault down once it has closed the sessions.
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (faults().value(QStringLiteral("drop_sessions")).toInt() > 0) {
        if (deadline.hasExpired() || !isRunning())
            return false;
        QThread::msleep(10);
    }
    return true;
}

void FtpServerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished();
    log();
}

bool FtpServerProcess::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

QString FtpServerProcess::hostAndPort() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

quint16 FtpServerProcess::port() const
{
    return m_port;
}

QString FtpServerProcess::homeDir() const
{
    return m_home;
}

QString FtpServerProcess::filePath(const QString &name) const
{
    return QDir(m_home).filePath(name);
}

QString FtpServerProcess::errorString() const
{
    return m_error;
}

QString FtpServerProcess::faultsPath() const
{
    return QDir(m_dir.path()).filePath(QStringLiteral("faults.json"));
}

bool FtpServerProcess::setFaults(const QJsonObject &faults)
{
    QSaveFile file(faultsPath());
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(faults).toJson()) >= 0 && file.commit();
}

QJsonObject FtpServerProcess::faults() const
{
    QFile file(faultsPath());
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}

QByteArray FtpServerProcess::log()
{
    // Take in whatever the server has written by now, even when no event
    // loop has run since.
    if (m_process.state() == QProcess::Running) {
        while (m_process.waitForReadyRead(0)) {
        }
    }
    if (m_process.isOpen())
        m_log += m_process.readAll();
    return m_log;
}

int FtpServerProcess::loginCount()
{
    return int(log().count(LoginLine));
}

bool FtpServerProcess::launch()
{
    const qsizetype from = log().size();
    m_process.start(QString::fromLatin1(Python),
                    {script(), QStringLiteral("--home"), m_home, QStringLiteral("--port"), QStringLiteral("0"),
                     QStringLiteral("--faults"), faultsPath()});
    if (!m_process.waitForStarted()) {
        m_error = QStringLiteral("cannot run %1: %2").arg(QString::fromLatin1(Python), m_process.errorString());
        return false;
    }

    // The server names its port once it listens.
    static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    const QDeadlineTimer deadline(StartTimeoutMs);
    QRegularExpressionMatch match;
    while (!(match = listening.match(QString::fromLatin1(m_log.mid(from)))).hasMatch()) {
        if (m_process.state() != QProcess::Running || deadline.hasExpired()
            || !m_process.waitForReadyRead(int(deadline.remainingTime()))) {
            stop();
            m_error = QStringLiteral("the FTP server did not come up:\n%1")
                          .arg(QString::fromLocal8Bit(log().mid(from)));
            return false;
        }
        m_log += m_process.readAll();
    }
    m_port = quint16(match.captured(1).toUInt());

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_port);
    QByteArray greeting;
    if (socket.waitForConnected(int(deadline.remainingTime()))) {
        while (!greeting.contains('\n') && !deadline.hasExpired()
               && socket.waitForReadyRead(int(deadline.remainingTime())))
            greeting += socket.readAll();
    }
    if (greeting.startsWith("220"))
        return true;
    stop();
    m_error = QStringLiteral("the FTP server on port %1 did not greet").arg(m_port);
    return false;
}
