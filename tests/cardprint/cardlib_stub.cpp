// Stand-ins for the card-printing library, built for the tests only. CARDLIB_RESULT is what
// PrintCardmes returns; with CARDLIB_NO_ENTRY the library has no PrintCardmes at all. When
// CARDLIB_STUB_RECORD names a file, each call writes there what it was given: the window handle
// (4 bytes, little-endian), the flag (1 byte) and the 531 bytes of the record.

#include "CardPrintRecord.h"

#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#define STUB_EXPORT __declspec(dllexport)
#else
#define STUB_EXPORT __attribute__((visibility("default")))
#endif

#ifdef CARDLIB_NO_ENTRY

extern "C" STUB_EXPORT int PrintCard(void)
{
    return 0;
}

#else

extern "C" STUB_EXPORT std::int32_t CARDPRINT_CALL PrintCardmes(std::uint32_t window, CardPrintRecord record, unsigned char flag)
{
    if (const char* path = std::getenv("CARDLIB_STUB_RECORD")) {
        if (std::FILE* f = std::fopen(path, "wb")) {
            const unsigned char handle[4] = {static_cast<unsigned char>(window & 0xFF), static_cast<unsigned char>((window >> 8) & 0xFF),
                                             static_cast<unsigned char>((window >> 16) & 0xFF),
                                             static_cast<unsigned char>((window >> 24) & 0xFF)};
            std::fwrite(handle, 1, sizeof handle, f);
            std::fwrite(&flag, 1, 1, f);
            std::fwrite(&record, 1, sizeof record, f);
            std::fclose(f);
        }
    }
    return CARDLIB_RESULT;
}

#endif
