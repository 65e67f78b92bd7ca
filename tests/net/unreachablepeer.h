#pragma once

// A peer that cannot be reached at address and port, made on this machine so
// that nothing outside it answers instead:
//
// - Refusing: the port is bound and never listens, so every connection there
//   is refused at once. Bound at 0.0.0.0 it makes a port for a test's own
//   network of peers: each peer of the test listens on it at an address of
//   its own (the binds share the port: both sides ask SO_REUSEADDR, as Qt's
//   listeners do), every other address refuses, and no bind that asks for any
//   free port, in this process or another, is given it while it is held.
// - Gone: a listener whose accept queue is full and that takes nobody. Linux
//   checks a full queue before anything else a knock meets (SYN cookies
//   included) and drops the knock unanswered, so a connection attempt waits
//   as for a host that is off the network.

#include <QString>

class UnreachablePeer
{
public:
    enum class Kind { Refusing, Gone };

    /// port 0 takes any free one; port() tells which.
    UnreachablePeer(Kind kind, const QString &address, quint16 port = 0);
    ~UnreachablePeer();
    UnreachablePeer(const UnreachablePeer &) = delete;
    UnreachablePeer &operator=(const UnreachablePeer &) = delete;

    /// Whether it behaves as its kind says from now on: bound, and for a
    /// peer that is gone, its queue full. A test waits for this (QTRY_VERIFY)
    /// before anyone dials.
    bool isReady() const;
    quint16 port() const { return m_port; }

private:
    Kind m_kind;
    int m_socket = -1;
    // The connection that fills the queue of a peer that is gone.
    int m_filler = -1;
    quint16 m_port = 0;
};
