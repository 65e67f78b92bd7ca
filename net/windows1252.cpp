#include "net/windows1252.h"

#include <array>

namespace {

// 0x80..0x9F; 0 marks the five bytes the code page does not assign.
constexpr std::array<char16_t, 32> High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

bool encodeOne(QChar c, char *out)
{
    const char16_t u = c.unicode();
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
        *out = static_cast<char>(u);
        return true;
    }
    for (std::size_t i = 0; i < High.size(); ++i) {
        if (High[i] == u && u != 0) {
            *out = static_cast<char>(0x80 + i);
            return true;
        }
    }
    // The unassigned bytes round-trip as the control characters they decode to.
    if (u >= 0x80 && u < 0xA0 && High[u - 0x80] == 0) {
        *out = static_cast<char>(u);
        return true;
    }
    return false;
}

} // namespace

QString Windows1252::decode(const QByteArray &bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar *out = text.data();
    for (const char b : bytes) {
        const auto u = static_cast<unsigned char>(b);
        const char16_t mapped = (u >= 0x80 && u < 0xA0) ? High[u - 0x80] : 0;
        *out++ = QChar(mapped ? mapped : char16_t(u));
    }
    return text;
}

QByteArray Windows1252::encode(const QString &text, bool *ok)
{
    QByteArray bytes(text.size(), Qt::Uninitialized);
    bool all = true;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!encodeOne(text.at(i), bytes.data() + i)) {
            bytes[i] = '?';
            all = false;
        }
    }
    if (ok)
        *ok = all;
    return bytes;
}

bool Windows1252::canEncode(const QString &text)
{
    char unused = 0;
    for (const QChar c : text)
        if (!encodeOne(c, &unused))
            return false;
    return true;
}
