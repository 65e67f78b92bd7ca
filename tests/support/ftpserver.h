#pragma once

// A real FTP server for tests: Debian's pyftpdlib (tests/support/ftpd.py) on
// 127.0.0.1, on a port the system picks, with one account (the directory's
// user name and password, as the program has them in DirectorySettings)
// whose home is a temporary folder this object owns. Faults (a slow,
// failing or cutting server) are armed with setFaults().

#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QTemporaryDir>

class FtpServerProcess
{
public:
    FtpServerProcess();
    ~FtpServerProcess();
    FtpServerProcess(const FtpServerProcess &) = delete;
    FtpServerProcess &operator=(const FtpServerProcess &) = delete;

    /// Starts the server; true once it listens.
    bool start();
    /// Ends the server: its port refuses connections from then on.
    void stop();
    /// Closes every open session, as a restarted server would, and keeps
    /// listening; true once done.
    bool dropSessions();
    bool isRunning() const;

    /// "127.0.0.1:port"
    QString hostAndPort() const;
    quint16 port() const;
    QString homeDir() const;
    QString filePath(const QString &name) const;
    /// Why start() failed, with the server's output.
    QString errorString() const;

    /// Arms faults, as ftpd.py lists them: {"retr_delay": 1.0}, {"retr_fail": 2}, ...
    bool setFaults(const QJsonObject &faults);

    /// Everything the server has logged so far.
    QByteArray log();
    /// How many logins the log shows so far.
    int loginCount();

private:
    QRegularExpressionMatch awaitOutput(const QRegularExpression &pattern, qsizetype from);
    QString faultsPath() const;

    QTemporaryDir m_dir;
    QString m_home;
    QProcess m_process;
    QByteArray m_log;
    quint16 m_port = 0;
    QString m_error;
};
