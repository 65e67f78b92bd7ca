#pragma once

#include <QString>

#include <cstdint>
#include <vector>

/// The list of every registered copy of the program, as the central directory
/// lists them. Entries 1 to PeerCount are valid; entry 0 is never used.
/// Entries above PeerCount keep what an earlier load left in them.
struct PeerTable
{
    static constexpr int PeerLimit = 100000;

    std::vector<QString> PeerAddress = std::vector<QString>(PeerLimit + 1);
    std::vector<qint16> PeerPort = std::vector<qint16>(PeerLimit + 1, 0);
    double PeerCount = 0;

    /// Counts one more record and stores its fields at the index PeerCount
    /// gives. A store whose index lies outside 0..PeerLimit is skipped; a port
    /// field that is not a signed 16-bit number leaves the entry's port as it was.
    /// Returns whether the address was stored.
    bool addRecord(const QString &address, const QString &portField);

    /// PeerCount as a loop bound for readers: never negative, never above
    /// PeerLimit, and wide enough for any count.
    qint64 readerBound() const;

    /// PeerCount rounded as every writer rounds it (half to even).
    qint64 count() const;

    /// Parses a port field; false when it is not a number in -32768..32767.
    static bool convertPort(const QString &field, qint16 *port);
};

/// The module that holds the program-wide state.
namespace Tamsin {
/// The one peer table of the running program.
PeerTable &peers();
}
