// A transfer request is whatever a peer's first data arrival held; a result
// entry, which the download side splits and saves under, is whatever a search
// answer held. Splitting must only ever cut the text, and a name passed as
// safe must stay one file inside its folder.

#include "net/transferprotocol.h"
#include "net/windows1252.h"
#include "tests/fuzz/fuzzcheck.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace {

using TransferProtocol::AfterLastx;
using TransferProtocol::BeforeLast;
using TransferProtocol::isSafeName;
using TransferProtocol::Separator;

void checkSplit(const QString &text)
{
    const QString address = BeforeLast(text);
    FUZZ_CHECK(text.startsWith(address));
    // Either the whole text, or cut just before a separator that is not the
    // first character.
    if (address.size() < text.size()) {
        FUZZ_CHECK(!address.isEmpty());
        FUZZ_CHECK(text.at(address.size()) == Separator);
        FUZZ_CHECK(address.indexOf(Separator, 1) < 0);
    } else {
        FUZZ_CHECK(text.indexOf(Separator, 1) < 0);
    }

    const QString name = AfterLastx(text);
    FUZZ_CHECK(text.endsWith(name));
    // Either the whole text, or what follows the first separator.
    const QString before = text.chopped(name.size());
    if (name.size() < text.size()) {
        FUZZ_CHECK(before.endsWith(Separator));
        FUZZ_CHECK(before.count(Separator) == 1);
    } else {
        FUZZ_CHECK(!text.contains(Separator));
    }

    if (text.indexOf(Separator) >= 1)
        FUZZ_CHECK(address + Separator + name == text);
}

bool isControl(QChar c)
{
    return c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f);
}

void checkSafe(const QString &name)
{
    if (!isSafeName(name))
        return;
    FUZZ_CHECK(!name.isEmpty() && name != QLatin1String(".") && name != QLatin1String(".."));
    for (const QChar c : name)
        FUZZ_CHECK(c != u'/' && c != u'\\' && !isControl(c));
    bool ok = false;
    FUZZ_CHECK(Windows1252::decode(Windows1252::encode(name, &ok)) == name && ok);

    // Joined to a folder it names one entry of that folder and nothing else.
    const QString folder = QStringLiteral("Shared");
    const QString joined = QDir(folder).filePath(name);
    FUZZ_CHECK(QDir::cleanPath(joined) == joined);
    FUZZ_CHECK(QFileInfo(joined).path() == folder);
    FUZZ_CHECK(QFileInfo(joined).fileName() == name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    // The serving side: the name after the first separator, which on the
    // wire are exactly the bytes after the first 0xA7.
    const QString request = Windows1252::decode(bytes);
    checkSplit(request);
    const QString name = AfterLastx(request);
    checkSafe(name);
    FUZZ_CHECK(Windows1252::encode(name) == bytes.mid(bytes.indexOf('\xa7') + 1));

    // The asking side saves under the whole entry and asks for its name.
    checkSafe(request);

    // Names that never went through the code page: a file on disk, a typed
    // entry; lone surrogates included.
    QString utf16(static_cast<qsizetype>(size / 2), Qt::Uninitialized);
    for (qsizetype i = 0; i < utf16.size(); ++i)
        utf16[i] = QChar(static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8));
    checkSplit(utf16);
    checkSafe(utf16);
    checkSafe(AfterLastx(utf16));
    return 0;
}
