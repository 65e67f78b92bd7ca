#include "tests/support/ftpserver.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

// Debian's package installs the module for the system interpreter only.
constexpr char Python[] = "/usr/bin/python3";
constexpr int PortAttempts = 5;
constexpr int StartTimeoutMs = 15'000;
// pyftpdlib prints this once its listening socket is open.
constexpr char ReadyLine[] = ">>> starting FTP server on";
constexpr char LoginLine[] = "logged in.";

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

} // namespace

FtpServerProcess::FtpServerProcess()
{
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
    if (!m_home.isValid()) {
        m_error = QStringLiteral("no temporary home folder: ") + m_home.errorString();
        return false;
    }
    // Another process may take the port between the probe and the server's
    // bind; then the server exits and the next port is tried.
    for (int attempt = 0; attempt < PortAttempts; ++attempt) {
        m_port = freePort();
        if (m_port != 0 && launch())
            return true;
    }
    return false;
}

bool FtpServerProcess::restart()
{
    stop();
    return m_port != 0 && launch();
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
    return m_home.path();
}

QString FtpServerProcess::filePath(const QString &name) const
{
    return m_home.filePath(name);
}

QString FtpServerProcess::errorString() const
{
    return m_error;
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
    const QByteArray logBefore = log();
    m_process.start(QString::fromLatin1(Python),
                    {QStringLiteral("-m"), QStringLiteral("pyftpdlib"), QStringLiteral("-i"),
                     QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(m_port),
                     QStringLiteral("-w"), QStringLiteral("-d"), m_home.path(), QStringLiteral("-u"),
                     QString::fromLatin1(UserName), QStringLiteral("-P"), QString::fromLatin1(Password)});
    if (!m_process.waitForStarted()) {
        m_error = QStringLiteral("cannot run %1: %2")
                      .arg(QString::fromLatin1(Python), m_process.errorString());
        return false;
    }
    if (waitForGreeting())
        return true;
    stop();
    m_error = QStringLiteral("the FTP server did not come up on port %1:\n%2")
                  .arg(m_port)
                  .arg(QString::fromLocal8Bit(log().mid(logBefore.size())));
    return false;
}

bool FtpServerProcess::waitForGreeting()
{
    const QDeadlineTimer deadline(StartTimeoutMs);
    const qsizetype from = m_log.size();
    while (!m_log.mid(from).contains(ReadyLine)) {
        if (m_process.state() != QProcess::Running || deadline.hasExpired())
            return false;
        if (m_process.waitForReadyRead(int(deadline.remainingTime())))
            m_log += m_process.readAll();
    }

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_port);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return false;
    QByteArray greeting;
    while (!greeting.contains('\n')) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime())))
            return false;
        greeting += socket.readAll();
    }
    return greeting.startsWith("220");
}
