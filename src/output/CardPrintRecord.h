#pragma once
// The record the program hands to the card-printing library's PrintCardmes. Its layout is a wire
// format shared with the library: text slots only, no padding, GBK text (the photo path in the
// file system's encoding), zero-filled, no terminators beyond the zero fill. Qt-free, so the
// library and its test stand-ins can include it as it is.

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct CardPrintRecord {
    char name[32];
    char sex[4];             // "1" for 男, "2" for everything else; sex[3]: see kCutSlotsByte
    char nation[6];          // the store's nation code in decimal digits
    char born[18];
    char address[72];
    char idcardno[38];
    char grantdept[32];
    char usefulLifeBegin[18];
    char usefulLifeEnd[56];
    char photoPath[255];     // at most 254 bytes and a terminating zero
};
#pragma pack(pop)

static_assert(sizeof(CardPrintRecord) == 531, "the library expects exactly 531 bytes");
static_assert(offsetof(CardPrintRecord, sex) == 32 && offsetof(CardPrintRecord, nation) == 36
                  && offsetof(CardPrintRecord, born) == 42 && offsetof(CardPrintRecord, address) == 60
                  && offsetof(CardPrintRecord, idcardno) == 132 && offsetof(CardPrintRecord, grantdept) == 170
                  && offsetof(CardPrintRecord, usefulLifeBegin) == 202 && offsetof(CardPrintRecord, usefulLifeEnd) == 220
                  && offsetof(CardPrintRecord, photoPath) == 276,
              "slot offsets are fixed by the library");

// The sex slot holds one character and its zero, so its last byte is spare: the program puts
// there which text slots it had to cut to fit (one bit each, below), so that the library can mark
// the card. Zero when nothing was cut: a library that does not know it reads the record as before.
constexpr std::size_t kCutSlotsByte = offsetof(CardPrintRecord, sex) + 3;
enum CardCutSlot : unsigned char {
    kCutName = 0x01,
    kCutBorn = 0x02,
    kCutAddress = 0x04,
    kCutIdcardno = 0x08,
    kCutGrantdept = 0x10,
    kCutUsefulLifeBegin = 0x20,
    kCutUsefulLifeEnd = 0x40,
};

// The library's calling convention: stdcall where it exists (32-bit Windows), else the C one.
#if defined(_WIN32) && !defined(_WIN64)
#define CARDPRINT_CALL __stdcall
#else
#define CARDPRINT_CALL
#endif

// PrintCardmes(window, record, flag): window is the caller's top-level window handle cut to 32
// bits, the record goes by value, flag is one byte (the program passes 0). Negative: failure.
extern "C" {
typedef std::int32_t(CARDPRINT_CALL* PrintCardmesProc)(std::uint32_t window, CardPrintRecord record, unsigned char flag);
}
