// The directory file comes from an FTP account that anyone with the program
// can write to. Whatever it holds must be read without a crash or a hang,
// store only inside the peer table, and come through the exit command's
// rewrite without losing another copy's registration or making up one.

#include "directory/directory.h"
#include "directory/directoryreader.h"
#include "directory/tamsin.h"
#include "tests/fuzz/fuzzcheck.h"

#include <QBuffer>
#include <QByteArray>
#include <QString>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

const QString OwnAddress = QStringLiteral("10.0.0.1");

// Counts other than zero a load may start from: the last free entries (the
// count rounds half to even there, so two records share the last entry), a
// count below zero, and counts no file leads to but that the table may hold.
constexpr double EdgeCounts[] = {
    0,
    PeerTable::PeerLimit - 1.5,
    -2.5,
    1e300,
    std::numeric_limits<double>::quiet_NaN(),
};

struct Entry
{
    bool peer;
    QString address;
    qint16 port;
};

std::vector<Entry> others(const QByteArray &data, QByteArray *raw = nullptr)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    DirectoryReader reader(&buffer);
    std::vector<Entry> entries;
    qsizetype records = 0;
    while (const std::optional<DirectoryRecord> record = reader.next()) {
        // Each record moves on through the data.
        FUZZ_CHECK(++records <= data.size());
        FUZZ_CHECK(!record->raw.isEmpty());
        if (raw)
            *raw += record->raw;
        if (record->hasAddress() && record->address != OwnAddress)
            entries.push_back({record->kind == DirectoryRecord::Kind::Peer, record->address, record->portValue});
    }
    return entries;
}

// Whether every element of part (with keep) stands in whole, in the same
// order, compared with same.
template<typename Keep, typename Same>
bool isSubsequence(const std::vector<Entry> &part, const std::vector<Entry> &whole, Keep keep, Same same)
{
    std::size_t at = 0;
    for (const Entry &e : part) {
        if (!keep(e))
            continue;
        while (at < whole.size() && !(keep(whole[at]) && same(whole[at], e)))
            ++at;
        if (at == whole.size())
            return false;
        ++at;
    }
    return true;
}

PeerTable &table()
{
    static PeerTable t;
    return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray file(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    // The records hold the file's bytes, in order; only blank lines are
    // left out.
    QByteArray raw;
    const std::vector<Entry> before = others(file, &raw);
    FUZZ_CHECK(raw.size() <= file.size());

    // Loaded as "Connect" loads it, only without its time slices. Stores
    // outside the table are caught by the bounds-checked vectors
    // (_GLIBCXX_ASSERTIONS); what readers loop to stays inside it too.
    for (const double start : EdgeCounts) {
        PeerTable &t = table();
        t.PeerCount = start;
        Directory::load(t, file);
        const qint64 bound = t.readerBound();
        FUZZ_CHECK(bound >= 0 && bound <= PeerTable::PeerLimit);
    }

    // The exit command's file, through the filter "Exit" runs: every
    // registration of another copy is still there as it was, in its place,
    // and no address comes out that did not go in.
    const QByteArray written = Directory::withoutAddress(file, OwnAddress);
    const std::vector<Entry> after = others(written);
    FUZZ_CHECK(written.count(("\"" + OwnAddress + "\"").toLatin1()) <= file.count(("\"" + OwnAddress + "\"").toLatin1()));
    const auto isPeer = [](const Entry &e) { return e.peer; };
    const auto any = [](const Entry &) { return true; };
    FUZZ_CHECK(isSubsequence(before, after, isPeer,
                             [](const Entry &a, const Entry &b) { return a.address == b.address && a.port == b.port; }));
    FUZZ_CHECK(isSubsequence(after, before, any, [](const Entry &a, const Entry &b) { return a.address == b.address; }));
    return 0;
}
