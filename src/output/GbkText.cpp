#include "GbkText.h"

#include <QList>

namespace {

void appendChar(QString& out, char32_t c)
{
    out += QString::fromUcs4(&c, 1);
}

} // namespace

GbkText ToGbk(const QString& text, int maxBytes)
{
    GbkText out;
    GbkCharCodec codec;
    for (const uint c : text.toUcs4()) {
        char bytes[2];
        int n = 1;
        if (c < 0x80) {
            bytes[0] = static_cast<char>(c);
        } else {
            n = codec.Encode(c, bytes);
            if (n == 0) {
                // Rare characters outside GBK are common in names: the peer gets a visible mark.
                bytes[0] = '?';
                n = 1;
                out.replaced = true;
            }
        }
        if (out.bytes.size() + n > maxBytes) {
            out.cut = true;
            break;
        }
        out.bytes.append(bytes, n);
    }
    return out;
}

QString FromGbk(const char* data, std::size_t size)
{
    std::size_t length = 0;
    while (length < size && data[length] != '\0')
        ++length;
    QString out;
    GbkCharCodec codec;
    for (std::size_t i = 0; i < length;) {
        const auto lead = static_cast<unsigned char>(data[i]);
        if (lead < 0x80) {
            out += QChar(lead);
            ++i;
            continue;
        }
        if (lead >= 0x81 && lead <= 0xFE && i + 1 < length) {
            const char32_t c = codec.Decode(data + i, 2);
            if (c != 0xFFFD) {
                appendChar(out, c);
                i += 2;
                continue;
            }
        }
        appendChar(out, codec.Decode(data + i, 1)); // 0x80 is the euro sign in code page 936
        ++i;
    }
    return out;
}
