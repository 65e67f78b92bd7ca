#include "unreachablepeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool toAddress(const QString &address, quint16 port, sockaddr_in *out)
{
    *out = {};
    out->sin_family = AF_INET;
    out->sin_port = htons(port);
    return ::inet_pton(AF_INET, address.toLatin1().constData(), &out->sin_addr) == 1;
}

} // namespace

UnreachablePeer::UnreachablePeer(Kind kind, const QString &address, quint16 port)
    : m_kind(kind)
{
    sockaddr_in at;
    socklen_t size = sizeof at;
    const int reuse = 1;
    m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0 || !toAddress(address, port, &at)
        || ::setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0
        || ::bind(m_socket, reinterpret_cast<const sockaddr *>(&at), sizeof at) != 0
        || ::getsockname(m_socket, reinterpret_cast<sockaddr *>(&at), &size) != 0)
        return;
    m_port = ntohs(at.sin_port);
    if (kind == Kind::Refusing)
        return;
    // A queue of no more than the one connection that fills it.
    if (::listen(m_socket, 0) != 0)
        return;
    m_filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_filler >= 0)
        (void)::connect(m_filler, reinterpret_cast<const sockaddr *>(&at), sizeof at);
}

UnreachablePeer::~UnreachablePeer()
{
    if (m_filler >= 0)
        ::close(m_filler);
    if (m_socket >= 0)
        ::close(m_socket);
}

bool UnreachablePeer::isReady() const
{
    if (m_port == 0)
        return false;
    if (m_kind == Kind::Refusing)
        return true;
    // For a listener, the kernel reports the connections waiting in its
    // queue as unacked and the queue's bound as sacked.
    tcp_info info = {};
    socklen_t size = sizeof info;
    return m_filler >= 0 && ::getsockopt(m_socket, IPPROTO_TCP, TCP_INFO, &info, &size) == 0
        && info.tcpi_state == TCP_LISTEN && info.tcpi_unacked > info.tcpi_sacked;
}
