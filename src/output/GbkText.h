#pragma once
// Text in GBK (Windows code page 936), for the peers that expect it: the card-printing record.

#include <QByteArray>
#include <QString>

#include <cstddef>

struct GbkText {
    QByteArray bytes;
    bool replaced = false; // a character GBK cannot hold became '?'
    bool cut = false;      // the text was longer than the room given
};

// text in GBK, at most maxBytes long and cut on a character boundary, so that a double-byte
// character is never split.
GbkText ToGbk(const QString& text, int maxBytes);

// The GBK text of a slot: the bytes up to the first zero, at most size of them. Bytes that are
// not GBK become U+FFFD.
QString FromGbk(const char* data, std::size_t size);

// One character at a time, behind the platform's converter (gbk_unix.cpp, gbk_win.cpp).
class GbkCharCodec {
public:
    GbkCharCodec();
    ~GbkCharCodec();
    GbkCharCodec(const GbkCharCodec&) = delete;
    GbkCharCodec& operator=(const GbkCharCodec&) = delete;

    // The one or two bytes of c in out; 0 when GBK has no such character.
    int Encode(char32_t c, char out[2]);
    // The character of one or two GBK bytes; U+FFFD when they are not one.
    char32_t Decode(const char* bytes, int length);

private:
    void* m_encoder;
    void* m_decoder;
};
