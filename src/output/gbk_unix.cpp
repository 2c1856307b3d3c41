// GBK through the C library's iconv (glibc knows it as GBK, CP936 and WINDOWS-936).
#include "GbkText.h"

#include <iconv.h>

namespace {

const iconv_t kNone = reinterpret_cast<iconv_t>(-1);

void* openConverter(const char* to, const char* from)
{
    return iconv_open(to, from);
}

// Converts all of in into out exactly; false on any character the converter cannot take.
bool convert(void* handle, const char* in, std::size_t inLength, char* out, std::size_t outRoom, std::size_t* written)
{
    auto cd = static_cast<iconv_t>(handle);
    if (cd == kNone)
        return false;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* inPtr = const_cast<char*>(in);
    char* outPtr = out;
    std::size_t inLeft = inLength;
    std::size_t outLeft = outRoom;
    const std::size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    // A positive result counts characters converted by approximation: not the character asked for.
    if (result != 0 || inLeft != 0)
        return false;
    *written = outRoom - outLeft;
    return true;
}

} // namespace

GbkCharCodec::GbkCharCodec()
    : m_encoder(openConverter("GBK", "UTF-32LE"))
    , m_decoder(openConverter("UTF-32LE", "GBK"))
{
}

GbkCharCodec::~GbkCharCodec()
{
    for (void* handle : {m_encoder, m_decoder}) {
        if (static_cast<iconv_t>(handle) != kNone)
            iconv_close(static_cast<iconv_t>(handle));
    }
}

int GbkCharCodec::Encode(char32_t c, char out[2])
{
    const char in[4] = {static_cast<char>(c & 0xFF), static_cast<char>((c >> 8) & 0xFF),
                        static_cast<char>((c >> 16) & 0xFF), static_cast<char>((c >> 24) & 0xFF)};
    std::size_t written = 0;
    if (!convert(m_encoder, in, sizeof in, out, 2, &written))
        return 0;
    return static_cast<int>(written);
}

char32_t GbkCharCodec::Decode(const char* bytes, int length)
{
    unsigned char out[4];
    std::size_t written = 0;
    if (!convert(m_decoder, bytes, static_cast<std::size_t>(length), reinterpret_cast<char*>(out), sizeof out, &written)
        || written != 4)
        return 0xFFFD;
    return static_cast<char32_t>(out[0]) | static_cast<char32_t>(out[1]) << 8 | static_cast<char32_t>(out[2]) << 16
        | static_cast<char32_t>(out[3]) << 24;
}
