// GBK through the Windows code page 936 converters.
#include "GbkText.h"

#include <windows.h>

GbkCharCodec::GbkCharCodec()
    : m_encoder(nullptr)
    , m_decoder(nullptr)
{
}

GbkCharCodec::~GbkCharCodec() = default;

int GbkCharCodec::Encode(char32_t c, char out[2])
{
    const QString text = QString::fromUcs4(&c, 1);
    BOOL usedDefault = FALSE;
    const int n = WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, reinterpret_cast<LPCWCH>(text.utf16()), int(text.size()),
                                      out, 2, nullptr, &usedDefault);
    return usedDefault ? 0 : n;
}

char32_t GbkCharCodec::Decode(const char* bytes, int length)
{
    wchar_t wide[2];
    const int n = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes, length, wide, 2);
    if (n != 1)
        return 0xFFFD;
    return static_cast<char32_t>(wide[0]);
}
