#pragma once

// A downloading peer on a raw socket: it asks for a file and then takes
// nothing until drain(), so the answer piles up in the buffers between the
// two sides, and the end of the connection shows as it came: an orderly
// close (the end of the file) or a reset (an answer given up).

#include <QByteArray>
#include <QString>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

class StalledAsker
{
public:
    enum class End { Open, Closed, Reset };

    StalledAsker() = default;
    ~StalledAsker()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    StalledAsker(const StalledAsker &) = delete;
    StalledAsker &operator=(const StalledAsker &) = delete;

    /// Connects (loopback: at once) and sends the request.
    bool ask(const QString &address, quint16 port, const QByteArray &request)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // A small window, so that little of the answer fits in on this side.
        const int window = 4096;
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        if (m_fd < 0 || ::inet_pton(AF_INET, address.toLatin1().constData(), &to.sin_addr) != 1
            || ::connect(m_fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0)
            return false;
        if (::send(m_fd, request.constData(), size_t(request.size()), 0) != request.size())
            return false;
        return ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK) == 0;
    }

    /// Sends more, a request that comes late.
    bool send(const QByteArray &bytes)
    {
        return ::send(m_fd, bytes.constData(), size_t(bytes.size()), 0) == bytes.size();
    }

    /// Takes what has come, without waiting; how the connection stands.
    End drain()
    {
        char block[65536];
        for (;;) {
            const ssize_t n = ::recv(m_fd, block, sizeof block, 0);
            if (n > 0) {
                received.append(block, n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return End::Open;
            // The peer's close leaves this side open (CLOSE_WAIT); its reset
            // leaves nothing (CLOSE), whatever recv() made of it.
            tcp_info info = {};
            socklen_t size = sizeof info;
            if (::getsockopt(m_fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 && info.tcpi_state == TCP_CLOSE_WAIT)
                return End::Closed;
            return End::Reset;
        }
    }

    QByteArray received;

private:
    int m_fd = -1;
};
