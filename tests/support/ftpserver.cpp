#include "tests/support/ftpserver.h"

#include "tests/support/testfiles.h"

#include <QDir>
#include <QEventLoop>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTimer>

namespace {

// Debian's package installs the module for the system interpreter only.
constexpr char Python[] = "/usr/bin/python3";
// Longest wait for a line of the server's: that it listens, that it has
// dropped the sessions.
constexpr int OutputTimeoutMs = 15'000;
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
    const qsizetype from = log().size();
    m_process.start(QString::fromLatin1(Python),
                    {script(), QStringLiteral("--home"), m_home, QStringLiteral("--port"), QStringLiteral("0"),
                     QStringLiteral("--faults"), faultsPath()});
    // The server names its port once it listens.
    static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    const QRegularExpressionMatch match = awaitOutput(listening, from);
    if (!match.hasMatch()) {
        const QString why = m_process.error() == QProcess::FailedToStart ? m_process.errorString()
                                                                          : QString::fromLocal8Bit(log().mid(from));
        stop();
        m_error = QStringLiteral("the FTP server (%1) did not come up:\n%2").arg(QString::fromLatin1(Python), why);
        return false;
    }
    m_port = quint16(match.captured(1).toUInt());
    return true;
}

bool FtpServerProcess::dropSessions()
{
    const qsizetype from = log().size();
    // No file reads as no faults armed.
    QJsonObject armed = QJsonDocument::fromJson(readFile(faultsPath())).object();
    armed.insert(QStringLiteral("drop_sessions"), 1);
    static const QRegularExpression dropped(QStringLiteral("dropped \\d+ sessions"));
    return setFaults(armed) && awaitOutput(dropped, from).hasMatch();
}

void FtpServerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // Killed, the server ends at once: this only collects it.
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
    // Replaced in one step: the server reads the file whenever it likes.
    QSaveFile file(faultsPath());
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(faults).toJson()) >= 0 && file.commit();
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

// The first match of pattern in what the server writes from offset from on,
// with the event loop running until it comes, the server ends or
// OutputTimeoutMs have passed; no match then.
QRegularExpressionMatch FtpServerProcess::awaitOutput(const QRegularExpression &pattern, qsizetype from)
{
    QEventLoop loop;
    QRegularExpressionMatch match;
    const auto look = [&] {
        m_log += m_process.readAll();
        match = pattern.match(QString::fromLatin1(m_log.mid(from)));
        if (match.hasMatch())
            loop.quit();
    };
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &loop, look);
    QObject::connect(&m_process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&m_process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(OutputTimeoutMs, &loop, &QEventLoop::quit);
    look();
    if (!match.hasMatch() && m_process.state() != QProcess::NotRunning)
        loop.exec();
    return match;
}
