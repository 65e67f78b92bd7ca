// A search query is whatever a peer's first data arrival held. It must decode
// and encode back byte for byte, match names exactly as a plain substring
// search does, pick from a real Shared folder just the names it matches, and
// come back to the asker inside a result entry unchanged.

#include "net/searchprotocol.h"
#include "net/windows1252.h"
#include "tests/fuzz/fuzzcheck.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

const QString Peer = QStringLiteral("10.0.0.5");

// What a copy offers from the folder that sharedFolder() sets up, in code-unit
// order: no hidden file, no subfolder, no dangling link, no name outside the
// code page; a link to a file counts as a file.
const QStringList Offered = {
    QStringLiteral("  spaced  .txt"),
    QStringLiteral("Song.MP3"),
    QStringLiteral("a\u00a7b.txt"),
    QStringLiteral("caf\u00e9 au lait.txt"),
    QStringLiteral("link.mp3"),
    QStringLiteral("song.mp3"),
    QString(200, u'x') + QStringLiteral(".bin"),
    QStringLiteral("\u20ac and \u0153.txt"),
};

bool write(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("x") == 1;
}

// Made once per run and removed at its end.
const QString &sharedFolder()
{
    static QTemporaryDir sandbox;
    static const QString folder = [] {
        const QDir dir(sandbox.path());
        bool ok = sandbox.isValid() && dir.mkdir(QStringLiteral("folder.mp3"));
        for (const QString &name : Offered) {
            if (name != QLatin1String("link.mp3"))
                ok = ok && write(dir.filePath(name));
        }
        ok = ok && write(dir.filePath(QStringLiteral(".hidden.mp3")))
            && write(dir.filePath(QStringLiteral("\u65e5\u672c.mp3")))
            && QFile::link(QStringLiteral("song.mp3"), dir.filePath(QStringLiteral("link.mp3")))
            && QFile::link(QStringLiteral("gone.mp3"), dir.filePath(QStringLiteral("dangling.mp3")));
        if (!ok) {
            std::fprintf(stderr, "cannot set up the Shared folder in %s\n", qPrintable(dir.path()));
            std::abort();
        }
        const QStringList listed = SearchProtocol::sharedNames(dir.path());
        if (listed != Offered)
            std::fprintf(stderr, "the Shared folder lists: %s\n", qPrintable(listed.join(u'|')));
        FUZZ_CHECK(listed == Offered);
        return dir.path();
    }();
    return folder;
}

bool contains(const QString &text, const QString &part)
{
    return std::u16string_view(QStringView(text).utf16(), static_cast<std::size_t>(text.size()))
               .find(std::u16string_view(QStringView(part).utf16(), static_cast<std::size_t>(part.size())))
        != std::u16string_view::npos;
}

// Any UTF-16 text, lone surrogates included, as a name or a typed query can be.
void checkEncode(const QString &text)
{
    bool ok = false;
    const QByteArray bytes = Windows1252::encode(text, &ok);
    FUZZ_CHECK(bytes.size() == text.size());
    FUZZ_CHECK(ok == Windows1252::canEncode(text));
    bool all = true;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QString one(text.at(i));
        if (Windows1252::canEncode(one)) {
            FUZZ_CHECK(Windows1252::decode(bytes.mid(i, 1)) == one);
        } else {
            FUZZ_CHECK(bytes.at(i) == '?');
            all = false;
        }
    }
    FUZZ_CHECK(ok == all);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QString query = Windows1252::decode(bytes);

    // Every byte is a character and comes back as itself.
    FUZZ_CHECK(query.size() == bytes.size());
    FUZZ_CHECK(Windows1252::canEncode(query));
    bool ok = false;
    FUZZ_CHECK(Windows1252::encode(query, &ok) == bytes);
    FUZZ_CHECK(ok);

    QString utf16(static_cast<qsizetype>(size / 2), Qt::Uninitialized);
    for (qsizetype i = 0; i < utf16.size(); ++i)
        utf16[i] = QChar(static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8));
    checkEncode(utf16);

    // Matching is a case-sensitive substring search, nothing looser or stricter.
    FUZZ_CHECK(SearchProtocol::matches(query, query));
    FUZZ_CHECK(SearchProtocol::matches(query, query.mid(query.size() / 3, query.size() / 3)));
    FUZZ_CHECK(SearchProtocol::matches(query, query.toUpper()) == contains(query, query.toUpper()));
    FUZZ_CHECK(SearchProtocol::matches(utf16, query) == contains(utf16, query));
    if (!query.isEmpty())
        FUZZ_CHECK(!SearchProtocol::matches(query.chopped(1), query));

    // The answer: the offered names the query matches, in listing order.
    QStringList expected;
    for (const QString &name : Offered) {
        if (contains(name, query))
            expected.append(name);
    }
    FUZZ_CHECK(SearchProtocol::answer(sharedFolder(), query) == expected);

    // What the asker shows, and later sends as a download request, carries
    // the peer's address and the text unchanged around one separator byte.
    FUZZ_CHECK(Windows1252::encode(SearchProtocol::resultEntry(Peer, query)) == Peer.toLatin1() + '\xa7' + bytes);
    return 0;
}
