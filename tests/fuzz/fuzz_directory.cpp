// The directory file comes from an FTP account that anyone with the program
// can write to. Whatever it holds must load without a crash or a hang, store
// only inside the peer table, and come through the exit command's rewrite
// with the same peers.

#include "app/directory.h"
#include "app/tamsin.h"
#include "tests/fuzz/fuzzcheck.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

namespace {

const QString OwnAddress = QStringLiteral("10.0.0.1");

// Counts other than zero a load may start from: the last free entries (the
// count rounds half to even there, so two records share the last entry), a
// count below zero, and counts no file leads to but that the table may hold.
constexpr double EdgeCounts[] = {
    PeerTable::PeerLimit - 1.5,
    -2.5,
    1e300,
    std::numeric_limits<double>::quiet_NaN(),
};

struct Peer
{
    QString address;
    qint16 port;
    bool operator==(const Peer &) const = default;
};

// A table is a hundred thousand entries; two are kept for the whole run and
// only what a load touched is cleared afterwards.
PeerTable &table(int which)
{
    static PeerTable tables[2];
    return tables[which];
}

void clear(PeerTable &t, double from, double to)
{
    const double limit = PeerTable::PeerLimit;
    if (std::isfinite(from) && std::isfinite(to) && from <= limit && to >= 0) {
        const auto first = static_cast<qint64>(std::max(0.0, std::floor(from)));
        const auto last = static_cast<qint64>(std::min(limit, std::ceil(to)));
        for (qint64 i = first; i <= last; ++i) {
            t.PeerAddress[static_cast<std::size_t>(i)].clear();
            t.PeerPort[static_cast<std::size_t>(i)] = 0;
        }
    }
    t.PeerCount = 0;
}

// Loads data from the given count and checks what every load must keep;
// returns the number of records read.
int loadFrom(PeerTable &t, double start, const QByteArray &data)
{
    t.PeerCount = start;
    int records = 0;
    Directory::load(t, data, [&] {
        ++records;
        // One record counts one, for as long as the count can still tell.
        if (std::isfinite(start) && std::fabs(start) < 1e15)
            FUZZ_CHECK(t.PeerCount == start + records);
    });
    // Stores outside the table are caught by the bounds-checked vectors
    // (_GLIBCXX_ASSERTIONS); what readers loop to must stay inside it too.
    const qint64 bound = t.readerBound();
    FUZZ_CHECK(bound >= 0 && bound <= PeerTable::PeerLimit);
    return records;
}

std::vector<Peer> kept(const PeerTable &t)
{
    std::vector<Peer> peers;
    for (qint64 i = 1; i <= t.readerBound(); ++i) {
        const auto at = static_cast<std::size_t>(i);
        // An address holding a quote cannot be written back as itself; the
        // exit command drops it rather than turn it into another address.
        const QString &address = t.PeerAddress[at];
        if (!address.isEmpty() && address != OwnAddress && !address.contains(u'"'))
            peers.push_back({t.PeerAddress[at], t.PeerPort[at]});
    }
    return peers;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray file(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    // Reading field by field ends, and each field moves on.
    {
        DirectoryReader reader(file);
        qsizetype fields = 0;
        while (reader.readField())
            FUZZ_CHECK(++fields <= file.size());
        FUZZ_CHECK(reader.atEnd());
    }

    for (const double start : EdgeCounts) {
        PeerTable &t = table(0);
        const int records = loadFrom(t, start, file);
        // Cheap only while the table is nearly empty or past its end.
        if (t.readerBound() < 1000)
            Directory::withoutAddress(t, OwnAddress);
        clear(t, start, start + records + 1);
    }

    // The exit command's file, loaded again, lists the same peers.
    PeerTable &first = table(0);
    const int records = loadFrom(first, 0, file);
    FUZZ_CHECK(first.count() == records);
    const std::vector<Peer> expected = kept(first);
    const QByteArray written = Directory::withoutAddress(first, OwnAddress);

    PeerTable &second = table(1);
    const int reread = loadFrom(second, 0, written);
    FUZZ_CHECK(static_cast<std::size_t>(reread) == expected.size());
    std::vector<Peer> read;
    for (qint64 i = 1; i <= second.readerBound(); ++i) {
        const auto at = static_cast<std::size_t>(i);
        read.push_back({second.PeerAddress[at], second.PeerPort[at]});
    }
    if (read != expected) {
        for (std::size_t i = 0; i < std::min(read.size(), expected.size()); ++i) {
            if (!(read[i] == expected[i]))
                std::fprintf(stderr, "peer %zu: \"%s\",%d came back as \"%s\",%d\n", i + 1,
                             qPrintable(expected[i].address), expected[i].port,
                             qPrintable(read[i].address), read[i].port);
        }
    }
    FUZZ_CHECK(read == expected);

    clear(first, 0, records + 1);
    clear(second, 0, reread + 1);
    return 0;
}
