#include "PhotoConvert.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <string>
#include <vector>

#ifdef PHOTO_HAVE_QT_REFERENCE
#include <QColor>
#include <QImage>
#include <QPainter>
#endif

using photo::DecodedImage;
using Bytes = std::vector<unsigned char>;
namespace fs = std::filesystem;

// Largest single operator new request while tracking is on; shows that a
// rejected header never gets as far as the pixel buffer.
static std::atomic<bool> g_trackAlloc{false};
static std::atomic<size_t> g_largestAlloc{0};

void* operator new(size_t n)
{
    if (g_trackAlloc.load()) {
        size_t seen = g_largestAlloc.load();
        while (n > seen && !g_largestAlloc.compare_exchange_weak(seen, n)) {
        }
    }
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

const std::string kDataDir = PHOTO_TEST_DATA;

Bytes ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> PngFiles(const std::string& sub)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(kDataDir + "/" + sub))
        if (e.path().extension() == ".png")
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string TestName(const testing::TestParamInfo<std::string>& info)
{
    std::string n = info.param.substr(0, info.param.size() - 4);
    for (char& c : n)
        if (!isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return n;
}

void PutBe32(Bytes& b, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        b.push_back(static_cast<unsigned char>(v >> s));
}

void AddChunk(Bytes& png, const char* type, const Bytes& body)
{
    PutBe32(png, static_cast<uint32_t>(body.size()));
    const size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), body.begin(), body.end());
    PutBe32(png, static_cast<uint32_t>(crc32(0, png.data() + start, static_cast<uInt>(png.size() - start))));
}

// Hand-made PNG with valid CRCs: `rows` holds the filtered scanlines
// (filter byte first). `extra` chunks go between IHDR and IDAT.
Bytes MakePng(uint32_t w, uint32_t h, int depth, int colourType, const Bytes& rows,
              const std::vector<std::pair<const char*, Bytes>>& extra = {})
{
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    PutBe32(ihdr, w);
    PutBe32(ihdr, h);
    ihdr.insert(ihdr.end(), {static_cast<unsigned char>(depth), static_cast<unsigned char>(colourType), 0, 0, 0});
    AddChunk(png, "IHDR", ihdr);
    for (const auto& [type, body] : extra)
        AddChunk(png, type, body);
    uLongf zlen = compressBound(static_cast<uLong>(rows.size()));
    Bytes z(zlen);
    EXPECT_EQ(compress(z.data(), &zlen, rows.data(), static_cast<uLong>(rows.size())), Z_OK);
    z.resize(zlen);
    AddChunk(png, "IDAT", z);
    AddChunk(png, "IEND", {});
    return png;
}

DecodedImage Gradient(int w, int h)
{
    DecodedImage img;
    img.width = w;
    img.height = h;
    img.bgr.resize(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char* p = &img.bgr[(size_t(y) * w + x) * 3];
            p[0] = static_cast<unsigned char>(x * 7 + y);
            p[1] = static_cast<unsigned char>(y * 13);
            p[2] = static_cast<unsigned char>(255 - x * 3 - y * 5);
        }
    return img;
}

uint32_t Le32(const Bytes& b, size_t at)
{
    return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) | (uint32_t(b[at + 3]) << 24);
}

uint16_t Le16(const Bytes& b, size_t at)
{
    return uint16_t(b[at] | (b[at + 1] << 8));
}

photo::PhotoResult Decode(const Bytes& b, DecodedImage& out)
{
    return photo::DecodePng(b.data(), b.size(), out);
}

// ---------------------------------------------------------------- PngSuite

class PngSuite : public testing::TestWithParam<std::string> {};

TEST_P(PngSuite, DecodesToFullImage)
{
    const Bytes png = ReadFile(kDataDir + "/pngsuite/" + GetParam());
    DecodedImage img;
    const auto r = Decode(png, img);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.error.empty());
    // Every PngSuite basic image is 32 x 32.
    EXPECT_EQ(img.width, 32);
    EXPECT_EQ(img.height, 32);
    EXPECT_EQ(img.bgr.size(), size_t(32 * 32 * 3));
}

#ifdef PHOTO_HAVE_QT_REFERENCE

struct PngFacts {
    int depth = 0;
    int colourType = 0;
    int interlace = 0;
    bool hasTrns = false;
    Bytes idat;
    Bytes trns;
};

PngFacts ReadFacts(const Bytes& png)
{
    PngFacts f;
    size_t pos = 8;
    while (pos + 12 <= png.size()) {
        const uint32_t len = (uint32_t(png[pos]) << 24) | (uint32_t(png[pos + 1]) << 16)
                           | (uint32_t(png[pos + 2]) << 8) | png[pos + 3];
        const std::string type(reinterpret_cast<const char*>(&png[pos + 4]), 4);
        if (type == "IHDR") {
            f.depth = png[pos + 16];
            f.colourType = png[pos + 17];
            f.interlace = png[pos + 20];
        } else if (type == "IDAT") {
            f.idat.insert(f.idat.end(), png.begin() + pos + 8, png.begin() + pos + 8 + len);
        } else if (type == "tRNS") {
            f.hasTrns = true;
            f.trns.assign(png.begin() + pos + 8, png.begin() + pos + 8 + len);
        }
        pos += 12 + len;
    }
    return f;
}

// Qt 6.4 returns wrong samples for 16-bit RGB images with a tRNS colour key
// (PngSuite ftbbn2c16: raw (33924, 0, 0) comes back as opaque white), so
// those files are checked against this plain inflate-and-unfilter decoder.
Bytes RawRgb16KeyedReference(const PngFacts& f, int w, int h)
{
    const size_t stride = size_t(w) * 6;
    Bytes raw((stride + 1) * h);
    uLongf len = static_cast<uLongf>(raw.size());
    if (f.interlace != 0 || f.trns.size() != 6
        || uncompress(raw.data(), &len, f.idat.data(), static_cast<uLong>(f.idat.size())) != Z_OK || len != raw.size())
        return {};
    Bytes prev(stride, 0), bgr;
    for (int y = 0; y < h; ++y) {
        const unsigned char filter = raw[y * (stride + 1)];
        unsigned char* line = &raw[y * (stride + 1) + 1];
        for (size_t i = 0; i < stride; ++i) {
            const int a = i >= 6 ? line[i - 6] : 0, b = prev[i], c = i >= 6 ? prev[i - 6] : 0;
            int pred = 0;
            if (filter == 1) pred = a;
            else if (filter == 2) pred = b;
            else if (filter == 3) pred = (a + b) / 2;
            else if (filter == 4) {
                const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
                pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
            }
            line[i] = static_cast<unsigned char>(line[i] + pred);
        }
        prev.assign(line, line + stride);
        for (int x = 0; x < w; ++x) {
            const unsigned char* px = line + x * 6;
            const bool keyed = std::memcmp(px, f.trns.data(), 6) == 0;
            for (int ch = 2; ch >= 0; --ch) {
                const unsigned v = (unsigned(px[ch * 2]) << 8) | px[ch * 2 + 1];
                bgr.push_back(keyed ? 255 : static_cast<unsigned char>((v * 255u + 32767u) / 65535u));
            }
        }
    }
    return bgr;
}

// Reference: Qt's decoder, drawn onto white with QPainter.
Bytes QtReference(const Bytes& png, const PngFacts& facts, int& w, int& h)
{
    QImage src;
    if (!src.loadFromData(png.data(), static_cast<int>(png.size()), "PNG"))
        return {};
    w = src.width();
    h = src.height();
    if (facts.depth == 16 && facts.colourType == 2 && facts.hasTrns)
        return RawRgb16KeyedReference(facts, w, h);
    Bytes bgr(size_t(w) * h * 3);

    QImage canvas(w, h, QImage::Format_RGB32);
    canvas.fill(Qt::white);
    {
        QPainter painter(&canvas);
        painter.drawImage(0, 0, src);
    }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const QRgb p = reinterpret_cast<const QRgb*>(canvas.constScanLine(y))[x];
            unsigned char* d = &bgr[(size_t(y) * w + x) * 3];
            d[0] = static_cast<unsigned char>(qBlue(p));
            d[1] = static_cast<unsigned char>(qGreen(p));
            d[2] = static_cast<unsigned char>(qRed(p));
        }
    return bgr;
}

TEST_P(PngSuite, MatchesReferenceDecoder)
{
    const Bytes png = ReadFile(kDataDir + "/pngsuite/" + GetParam());
    const PngFacts facts = ReadFacts(png);
    int w = 0, h = 0;
    const Bytes expected = QtReference(png, facts, w, h);
    ASSERT_FALSE(expected.empty()) << "reference decoder failed";

    DecodedImage img;
    const auto r = Decode(png, img);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(img.width, w);
    ASSERT_EQ(img.height, h);

    // Stored 8-bit samples must come through untouched, whatever gAMA says.
    // 16-bit reduction and blending of partial alpha round differently in
    // Qt (it goes through premultiplied 8-bit), so one level is allowed.
    const bool translucent = facts.colourType == 4 || facts.colourType == 6 || facts.hasTrns;
    const int tolerance = (facts.depth == 16 || translucent) ? 1 : 0;
    int worst = 0;
    size_t worstAt = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        const int d = std::abs(int(img.bgr[i]) - int(expected[i]));
        if (d > worst) {
            worst = d;
            worstAt = i;
        }
    }
    EXPECT_LE(worst, tolerance) << "pixel " << worstAt / 3 << " channel " << worstAt % 3 << ": got "
                                << int(img.bgr[worstAt]) << ", reference " << int(expected[worstAt]);
}

#else

TEST_P(PngSuite, MatchesReferenceDecoder)
{
    GTEST_SKIP() << "reference decoder (Qt) not built";
}

#endif

INSTANTIATE_TEST_SUITE_P(Files, PngSuite, testing::ValuesIn(PngFiles("pngsuite")), TestName);

TEST(PngSuiteData, IsPresent)
{
    EXPECT_GE(PngFiles("pngsuite").size(), 50u);
}

// ---------------------------------------------------------------- crashers

// true: decodes despite a damaged ancillary chunk; false: must be rejected.
const std::map<std::string, bool> kCrasherDecodes = {
    {"bad_iCCP.png", false},                 // IHDR CRC wrong, claims 8363 pixels
    {"badadler.png", false},                 // zlib checksum of the image data wrong
    {"badcrc.png", false},                   // IDAT CRC wrong
    {"empty_ancillary_chunks.png", true},    // empty ancillary chunks are dropped with a warning
    {"huge_IDAT.png", false},
    {"huge_bKGD_chunk.png", false},
    {"huge_cHRM_chunk.png", false},
    {"huge_eXIf_chunk.png", false},
    {"huge_gAMA_chunk.png", false},
    {"huge_hIST_chunk.png", false},
    {"huge_iCCP_chunk.png", false},
    {"huge_iTXt_chunk.png", false},
    {"huge_juNK_unsafe_to_copy.png", false},
    {"huge_juNk_safe_to_copy.png", false},
    {"huge_pCAL_chunk.png", false},
    {"huge_pHYs_chunk.png", false},
    {"huge_sCAL_chunk.png", false},
    {"huge_sPLT_chunk.png", false},
    {"huge_sRGB_chunk.png", false},
    {"huge_sTER_chunk.png", false},
    {"huge_tEXt_chunk.png", false},
    {"huge_tIME_chunk.png", false},
    {"huge_zTXt_chunk.png", false},
};

class Crasher : public testing::TestWithParam<std::string> {};

TEST_P(Crasher, HandledAsDecided)
{
    const auto it = kCrasherDecodes.find(GetParam());
    ASSERT_NE(it, kCrasherDecodes.end()) << "no decision recorded for " << GetParam();
    const Bytes png = ReadFile(kDataDir + "/crashers/" + GetParam());
    ASSERT_FALSE(png.empty());

    DecodedImage img;
    g_largestAlloc = 0;
    g_trackAlloc = true;
    const auto r = Decode(png, img);
    g_trackAlloc = false;
    EXPECT_LT(g_largestAlloc.load(), size_t(64 * 1024));

    if (it->second) {
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_GT(img.width, 0);
        EXPECT_GT(img.height, 0);
        EXPECT_EQ(img.bgr.size(), size_t(img.width) * img.height * 3);
        std::vector<unsigned char> bmp;
        EXPECT_TRUE(photo::PngToBmp(png.data(), png.size(), bmp).ok);
        EXPECT_FALSE(bmp.empty());
    } else {
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.error.empty());
        EXPECT_EQ(img.width, 0);
        EXPECT_TRUE(img.bgr.empty());
        std::vector<unsigned char> bmp = {1, 2, 3};
        const auto b = photo::PngToBmp(png.data(), png.size(), bmp);
        EXPECT_FALSE(b.ok);
        EXPECT_EQ(b.error, r.error);
        EXPECT_TRUE(bmp.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Crasher, testing::ValuesIn(PngFiles("crashers")), TestName);

TEST(CrasherData, EveryDecisionHasAFile)
{
    const auto files = PngFiles("crashers");
    for (const auto& entry : kCrasherDecodes)
        EXPECT_NE(std::find(files.begin(), files.end(), entry.first), files.end()) << entry.first;
}

// ---------------------------------------------------------------- size limit

struct SizeCase {
    int w;
    int h;
    bool accepted;
};

class SizeLimit : public testing::TestWithParam<SizeCase> {};

TEST_P(SizeLimit, EnforcedOnSynthetic)
{
    const SizeCase c = GetParam();
    const DecodedImage src = Gradient(c.w, c.h);
    const Bytes png = photo::EncodePng(src);
    ASSERT_FALSE(png.empty());

    DecodedImage img;
    const auto r = Decode(png, img);
    EXPECT_EQ(r.ok, c.accepted) << r.error;
    if (c.accepted) {
        EXPECT_EQ(img.width, c.w);
        EXPECT_EQ(img.height, c.h);
        EXPECT_TRUE(img.bgr == src.bgr);
    } else {
        EXPECT_NE(r.error.find("1024"), std::string::npos) << r.error;
        EXPECT_TRUE(img.bgr.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Sides, SizeLimit,
                         testing::Values(SizeCase{1025, 1, false}, SizeCase{1, 1025, false}, SizeCase{1024, 1, true},
                                         SizeCase{1, 1024, true}, SizeCase{1024, 1024, true}));

TEST(SizeLimit, HugeHeaderRejectedWithoutAllocating)
{
    // Header claims 100000 x 100000; one short row of data follows.
    const Bytes png = MakePng(100000, 100000, 8, 2, Bytes(1 + 3 * 4, 0));
    DecodedImage img;
    g_largestAlloc = 0;
    g_trackAlloc = true;
    const auto r = Decode(png, img);
    g_trackAlloc = false;
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("100000 x 100000"), std::string::npos) << r.error;
    EXPECT_LT(g_largestAlloc.load(), size_t(64 * 1024));
    EXPECT_TRUE(img.bgr.empty());
}

TEST(SizeLimit, HeaderLargerThanDataFailsCleanly)
{
    // Within the limit but with far too little image data.
    const Bytes png = MakePng(1024, 1024, 8, 2, Bytes(1 + 3 * 1024, 0));
    DecodedImage img;
    const auto r = Decode(png, img);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.empty());
    EXPECT_TRUE(img.bgr.empty());
}

// ---------------------------------------------------------------- bad input

struct BadInput {
    const char* name;
    Bytes bytes;
};

std::vector<BadInput> BadInputs()
{
    const Bytes valid = photo::EncodePng(Gradient(102, 126));
    const Bytes text = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'};
    Bytes noEnd = valid;
    noEnd.resize(noEnd.size() - 12);  // drop IEND
    Bytes wrongFirst = MakePng(2, 2, 8, 2, Bytes(2 * 7, 0));
    std::memcpy(&wrongFirst[12], "IHDX", 4);
    Bytes zeroWidth = MakePng(0, 2, 8, 2, Bytes(2, 0));
    Bytes flipped = valid;
    flipped[valid.size() / 2] ^= 0x55;  // inside IDAT: CRC no longer matches
    return {
        {"Empty", {}},
        {"NotPng", text},
        {"BmpGivenAsPng", photo::EncodeBmp(Gradient(3, 3))},
        {"SignatureOnly", Bytes(valid.begin(), valid.begin() + 8)},
        {"FirstHalf", Bytes(valid.begin(), valid.begin() + valid.size() / 2)},
        {"MissingIend", noEnd},
        {"FirstChunkNotHeader", wrongFirst},
        {"ZeroWidth", zeroWidth},
        {"FlippedByte", flipped},
    };
}

class BadPng : public testing::TestWithParam<BadInput> {};

TEST_P(BadPng, RejectedWithReason)
{
    const Bytes& b = GetParam().bytes;
    DecodedImage img;
    img.width = 5;
    img.bgr.assign(10, 1);
    const auto r = photo::DecodePng(b.empty() ? nullptr : b.data(), b.size(), img);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.empty());
    EXPECT_EQ(img.width, 0);
    EXPECT_TRUE(img.bgr.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, BadPng, testing::ValuesIn(BadInputs()),
                         [](const testing::TestParamInfo<BadInput>& i) { return std::string(i.param.name); });

TEST(BadPng, EmptyButNonNullPointer)
{
    const unsigned char byte = 0x89;
    DecodedImage img;
    EXPECT_FALSE(photo::DecodePng(&byte, 0, img).ok);
}

// ---------------------------------------------------------------- colour handling

TEST(Colour, GammaChunkDoesNotAlterSamples)
{
    // Grey ramp with gAMA 1.0 and with an sRGB chunk: stored values are kept.
    const Bytes row = {0, 0, 64, 128, 200, 255};
    Bytes gamma;
    PutBe32(gamma, 100000);
    for (const auto& extra : std::vector<std::pair<const char*, Bytes>>{{"gAMA", gamma}, {"sRGB", {0}}}) {
        const Bytes png = MakePng(5, 1, 8, 0, row, {extra});
        DecodedImage img;
        const auto r = Decode(png, img);
        ASSERT_TRUE(r.ok) << extra.first << ": " << r.error;
        for (int x = 0; x < 5; ++x)
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(img.bgr[x * 3 + c], row[1 + x]) << extra.first << " x=" << x;
    }
}

TEST(Colour, SixteenBitReducedAsStored)
{
    // RGB 16-bit: 0x8080 must become 128, not a gamma-shifted value.
    const Bytes row = {0, 0x00, 0x00, 0x80, 0x80, 0xFF, 0xFF, 0x40, 0x40, 0x01, 0x00, 0xC0, 0xC0};
    Bytes gamma;
    PutBe32(gamma, 100000);
    for (bool withGamma : {false, true}) {
        const Bytes png = withGamma ? MakePng(2, 1, 16, 2, row, {{"gAMA", gamma}}) : MakePng(2, 1, 16, 2, row);
        DecodedImage img;
        const auto r = Decode(png, img);
        ASSERT_TRUE(r.ok) << r.error;
        const Bytes expected = {255, 128, 0, 192, 1, 64};  // B, G, R per pixel
        EXPECT_TRUE(img.bgr == expected) << "gAMA present: " << withGamma;
    }
}

struct AlphaCase {
    unsigned char r, g, b, a;
    unsigned char expB, expG, expR;
};

class AlphaOnWhite : public testing::TestWithParam<AlphaCase> {};

TEST_P(AlphaOnWhite, BlendsLikeAViewer)
{
    const AlphaCase c = GetParam();
    // 8-bit RGBA, and the same colour as 16-bit RGBA (value * 257).
    const Bytes row8 = {0, c.r, c.g, c.b, c.a};
    Bytes row16 = {0};
    for (unsigned char v : {c.r, c.g, c.b, c.a})
        row16.insert(row16.end(), {v, v});
    for (const Bytes& png : {MakePng(1, 1, 8, 6, row8), MakePng(1, 1, 16, 6, row16)}) {
        DecodedImage img;
        const auto r = Decode(png, img);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(int(img.bgr[0]), int(c.expB));
        EXPECT_EQ(int(img.bgr[1]), int(c.expG));
        EXPECT_EQ(int(img.bgr[2]), int(c.expR));
    }
}

// Expected values: colour * a/255 + white * (1 - a/255) on the stored values.
INSTANTIATE_TEST_SUITE_P(Cases, AlphaOnWhite,
                         testing::Values(AlphaCase{10, 20, 30, 255, 30, 20, 10},   // opaque: unchanged
                                         AlphaCase{10, 20, 30, 0, 255, 255, 255},  // transparent: white
                                         AlphaCase{0, 0, 0, 128, 127, 127, 127},   // half black: mid grey
                                         AlphaCase{1, 1, 1, 128, 128, 128, 128},   // 127.50 rounds up
                                         AlphaCase{200, 200, 200, 128, 227, 227, 227},
                                         AlphaCase{255, 0, 0, 51, 204, 204, 255},  // faint red
                                         AlphaCase{0, 255, 0, 204, 51, 255, 51}));

TEST(Colour, PaletteTransparencyBlendsOnWhite)
{
    // 2-entry palette, entry 1 fully transparent.
    const Bytes plte = {0x10, 0x20, 0x30, 0x00, 0x00, 0x00};
    const Bytes png = MakePng(2, 1, 8, 3, {0, 0, 1}, {{"PLTE", plte}, {"tRNS", {255, 0}}});
    DecodedImage img;
    const auto r = Decode(png, img);
    ASSERT_TRUE(r.ok) << r.error;
    const Bytes expected = {0x30, 0x20, 0x10, 255, 255, 255};
    EXPECT_TRUE(img.bgr == expected);
}

// ---------------------------------------------------------------- BMP

class BmpLayout : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(BmpLayout, HeaderAndRows)
{
    const int w = GetParam().first;
    const int h = GetParam().second;
    const DecodedImage img = Gradient(w, h);
    const Bytes bmp = photo::EncodeBmp(img);
    const size_t stride = (size_t(w) * 3 + 3) / 4 * 4;
    ASSERT_EQ(bmp.size(), 54 + stride * h);

    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(Le32(bmp, 2), bmp.size());
    EXPECT_EQ(Le32(bmp, 6), 0u);  // reserved
    EXPECT_EQ(Le32(bmp, 10), 54u);
    EXPECT_EQ(Le32(bmp, 14), 40u);
    EXPECT_EQ(static_cast<int32_t>(Le32(bmp, 18)), w);
    EXPECT_EQ(static_cast<int32_t>(Le32(bmp, 22)), h);  // positive: bottom-up
    EXPECT_EQ(Le16(bmp, 26), 1);
    EXPECT_EQ(Le16(bmp, 28), 24);
    EXPECT_EQ(Le32(bmp, 30), 0u);  // BI_RGB
    EXPECT_EQ(Le32(bmp, 34), stride * h);
    EXPECT_EQ(Le32(bmp, 46), 0u);
    EXPECT_EQ(Le32(bmp, 50), 0u);

    for (int y = 0; y < h; ++y) {
        const size_t fileRow = 54 + size_t(h - 1 - y) * stride;
        EXPECT_EQ(0, std::memcmp(&bmp[fileRow], &img.bgr[size_t(y) * w * 3], size_t(w) * 3)) << "row " << y;
        for (size_t pad = size_t(w) * 3; pad < stride; ++pad)
            EXPECT_EQ(bmp[fileRow + pad], 0) << "padding row " << y;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BmpLayout,
                         testing::Values(std::make_pair(1, 1), std::make_pair(1, 3), std::make_pair(2, 2),
                                         std::make_pair(3, 5), std::make_pair(4, 1), std::make_pair(5, 2),
                                         std::make_pair(102, 126)));

TEST(Bmp, RoundTripThroughPng)
{
    for (auto [w, h] : {std::make_pair(1, 1), std::make_pair(3, 7), std::make_pair(102, 126)}) {
        const DecodedImage src = Gradient(w, h);
        const Bytes png = photo::EncodePng(src);
        ASSERT_FALSE(png.empty());
        Bytes bmp;
        const auto r = photo::PngToBmp(png.data(), png.size(), bmp);
        ASSERT_TRUE(r.ok) << r.error;
        DecodedImage back;
        ASSERT_TRUE(photo::DecodeBmp(bmp.data(), bmp.size(), back));
        EXPECT_EQ(back.width, w);
        EXPECT_EQ(back.height, h);
        EXPECT_TRUE(back.bgr == src.bgr) << w << " x " << h;
    }
}

TEST(Bmp, EncodeRejectsInconsistentImage)
{
    DecodedImage bad = Gradient(3, 3);
    bad.bgr.pop_back();
    EXPECT_TRUE(photo::EncodeBmp(bad).empty());
    EXPECT_TRUE(photo::EncodePng(bad).empty());
    DecodedImage none;
    EXPECT_TRUE(photo::EncodeBmp(none).empty());
    EXPECT_TRUE(photo::EncodePng(none).empty());
    DecodedImage negative = Gradient(2, 2);
    negative.height = -2;
    EXPECT_TRUE(photo::EncodeBmp(negative).empty());
}

TEST(Bmp, ReadsTopDownAnd32Bit)
{
    const DecodedImage src = Gradient(3, 2);
    // Top-down 24-bit: negate the height and reverse the row order.
    Bytes topDown = photo::EncodeBmp(src);
    const int32_t minusTwo = -2;
    std::memcpy(&topDown[22], &minusTwo, 4);
    const size_t stride = 12;
    std::swap_ranges(topDown.begin() + 54, topDown.begin() + 54 + stride, topDown.begin() + 54 + stride);
    DecodedImage out;
    ASSERT_TRUE(photo::DecodeBmp(topDown.data(), topDown.size(), out));
    EXPECT_TRUE(out.bgr == src.bgr);

    // Bottom-up 32-bit: fourth byte ignored.
    Bytes wide(54 + 3 * 2 * 4, 0);
    std::memcpy(wide.data(), topDown.data(), 54);
    const int32_t two = 2;
    std::memcpy(&wide[22], &two, 4);
    wide[28] = 32;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            unsigned char* d = &wide[54 + size_t(1 - y) * 12 + x * 4];
            std::memcpy(d, &src.bgr[(y * 3 + x) * 3], 3);
            d[3] = 0x77;
        }
    ASSERT_TRUE(photo::DecodeBmp(wide.data(), wide.size(), out));
    EXPECT_TRUE(out.bgr == src.bgr);
}

struct BmpDamage {
    const char* name;
    size_t offset;  // SIZE_MAX: truncate instead
    std::vector<unsigned char> bytes;
    size_t keep;
};

class BmpRejects : public testing::TestWithParam<BmpDamage> {};

TEST_P(BmpRejects, DamagedInput)
{
    Bytes bmp = photo::EncodeBmp(Gradient(5, 4));
    const BmpDamage& d = GetParam();
    if (d.offset == SIZE_MAX)
        bmp.resize(std::min(bmp.size(), d.keep));
    else
        std::copy(d.bytes.begin(), d.bytes.end(), bmp.begin() + d.offset);
    DecodedImage out;
    EXPECT_FALSE(photo::DecodeBmp(bmp.empty() ? nullptr : bmp.data(), bmp.size(), out));
    EXPECT_TRUE(out.bgr.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BmpRejects,
    testing::Values(BmpDamage{"Empty", SIZE_MAX, {}, 0}, BmpDamage{"HeaderOnly", SIZE_MAX, {}, 53},
                    BmpDamage{"LastByteMissing", SIZE_MAX, {}, 54 + 16 * 4 - 1},
                    BmpDamage{"Signature", 0, {'P', 'K'}, 0}, BmpDamage{"EightBit", 28, {8, 0}, 0},
                    BmpDamage{"Compressed", 30, {1, 0, 0, 0}, 0}, BmpDamage{"ZeroWidth", 18, {0, 0, 0, 0}, 0},
                    BmpDamage{"NegativeWidth", 18, {0xFF, 0xFF, 0xFF, 0xFF}, 0},
                    BmpDamage{"ZeroHeight", 22, {0, 0, 0, 0}, 0},
                    BmpDamage{"MinimumHeight", 22, {0, 0, 0, 0x80}, 0},
                    BmpDamage{"HugeWidth", 18, {0xA0, 0x86, 0x01, 0}, 0},
                    BmpDamage{"OffsetPastEnd", 10, {0xFF, 0xFF, 0, 0}, 0},
                    BmpDamage{"OffsetInsideHeader", 10, {20, 0, 0, 0}, 0},
                    BmpDamage{"InfoSizeTooLarge", 14, {0xFF, 0xFF, 0xFF, 0x7F}, 0},
                    BmpDamage{"Planes", 26, {2, 0}, 0}),
    [](const testing::TestParamInfo<BmpDamage>& i) { return std::string(i.param.name); });

TEST(Bmp, GarbageRejected)
{
    Bytes garbage(200);
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<unsigned char>(i * 37 + 11);
    garbage[0] = 'B';
    garbage[1] = 'M';
    DecodedImage out;
    EXPECT_FALSE(photo::DecodeBmp(garbage.data(), garbage.size(), out));
}


// ---------------------------------------------------------------- quick path

// What the general path makes of a file: the BMP, or nothing and its error.
Bytes GeneralBmp(const Bytes& png, std::string& error)
{
    DecodedImage img;
    const auto r = photo::DecodePng(png.data(), png.size(), img);
    error = r.error;
    return r.ok ? photo::EncodeBmp(img) : Bytes();
}

void ExpectSameAsGeneralPath(const Bytes& png)
{
    std::string generalError;
    const Bytes general = GeneralBmp(png, generalError);
    Bytes bmp;
    const auto r = photo::PngToBmp(png.data(), png.size(), bmp);
    EXPECT_EQ(r.ok, !general.empty());
    EXPECT_EQ(r.error, generalError);
    EXPECT_TRUE(bmp == general);
}

// Noisy rows with every filter type in turn, so each unfiltering does real work.
Bytes FilteredRows(int w, int h, int channels, int filters = 5)
{
    Bytes rows;
    uint32_t seed = 12345;
    for (int y = 0; y < h; ++y) {
        rows.push_back(static_cast<unsigned char>(y % filters));
        for (int i = 0; i < w * channels; ++i) {
            seed = seed * 1103515245u + 12345u;
            rows.push_back(static_cast<unsigned char>(seed >> 16));
        }
    }
    return rows;
}

// The same file with its image data cut into `pieces` IDAT chunks, or with `between` placed
// among them.
Bytes SplitIdat(const Bytes& png, size_t pieces, const char* between = nullptr)
{
    Bytes out(png.begin(), png.begin() + 8);
    for (size_t pos = 8; pos < png.size();) {
        const uint32_t length = uint32_t(png[pos]) << 24 | uint32_t(png[pos + 1]) << 16 | uint32_t(png[pos + 2]) << 8 | png[pos + 3];
        const char* type = reinterpret_cast<const char*>(&png[pos + 4]);
        const Bytes body(png.begin() + pos + 8, png.begin() + pos + 8 + length);
        if (std::memcmp(type, "IDAT", 4) != 0) {
            AddChunk(out, std::string(type, 4).c_str(), body);
        } else {
            const size_t step = (body.size() + pieces - 1) / pieces;
            for (size_t at = 0; at < body.size(); at += step) {
                if (at > 0 && between)
                    AddChunk(out, between, {'x'});
                AddChunk(out, "IDAT", Bytes(body.begin() + at, body.begin() + std::min(body.size(), at + step)));
            }
        }
        pos += size_t(length) + 12;
    }
    return out;
}

// The file with byte `at` of chunk number `chunk` (0 = IHDR) replaced, its CRC made right again
// unless `keepCrc`.
Bytes Patched(Bytes png, int chunk, size_t at, unsigned char value, bool keepCrc = false)
{
    size_t pos = 8;
    for (int i = 0; i < chunk; ++i)
        pos += 12 + (size_t(png[pos]) << 24 | size_t(png[pos + 1]) << 16 | size_t(png[pos + 2]) << 8 | png[pos + 3]);
    const size_t length = size_t(png[pos]) << 24 | size_t(png[pos + 1]) << 16 | size_t(png[pos + 2]) << 8 | png[pos + 3];
    png[pos + 8 + at] = value;
    if (!keepCrc) {
        const uint32_t crc = static_cast<uint32_t>(crc32(0, &png[pos + 4], static_cast<uInt>(length + 4)));
        for (int k = 0; k < 4; ++k)
            png[pos + 8 + length + k] = static_cast<unsigned char>(crc >> (24 - 8 * k));
    }
    return png;
}

struct QuickCase {
    const char* name;
    Bytes png;
    bool quick; // taken by the quick path
};

std::vector<QuickCase> QuickCases()
{
    // A photo's size: every filter type meets enough pixel values to show a fault in it.
    constexpr int kW = 102;
    constexpr int kH = 126;
    const Bytes rgb = MakePng(kW, kH, 8, 2, FilteredRows(kW, kH, 3));
    const Bytes rgba = MakePng(kW, kH, 8, 6, FilteredRows(kW, kH, 4));
    Bytes tooShort = FilteredRows(kW, kH, 3);
    tooShort.resize(tooShort.size() - 10);
    Bytes tooLong = FilteredRows(kW, kH, 3);
    tooLong.insert(tooLong.end(), 1 + kW * 3, 0);
    Bytes badFilter = FilteredRows(kW, kH, 3);
    badFilter[0] = 5;
    const Bytes text = {'T', 'i', 't', 'l', 'e', 0, 'x'};
    const Bytes phys = {0, 0, 14, 195, 0, 0, 14, 195, 1};
    Bytes trailing = rgb;
    {
        // One byte more after the zlib stream, inside IDAT.
        Bytes rows = FilteredRows(kW, kH, 3);
        uLongf zlen = compressBound(static_cast<uLong>(rows.size()));
        Bytes z(zlen);
        compress(z.data(), &zlen, rows.data(), static_cast<uLong>(rows.size()));
        z.resize(zlen);
        z.push_back(0);
        trailing = SplitIdat(MakePng(kW, kH, 8, 2, rows), 1);
        Bytes out(trailing.begin(), trailing.begin() + 33); // signature and IHDR
        AddChunk(out, "IDAT", z);
        AddChunk(out, "IEND", {});
        trailing = out;
    }
    return {
        {"Rgb", rgb, true},
        {"Rgba", rgba, true},
        {"ImageDataInPieces", SplitIdat(rgb, 4), true},
        {"TextAndResolution", MakePng(kW, kH, 8, 2, FilteredRows(kW, kH, 3), {{"pHYs", phys}, {"tEXt", text}}), true},
        {"GammaIgnored", MakePng(kW, kH, 8, 6, FilteredRows(kW, kH, 4), {{"gAMA", {0, 1, 134, 160}}}), true},
        {"Transparency", MakePng(kW, kH, 8, 2, FilteredRows(kW, kH, 3), {{"tRNS", {0, 1, 0, 2, 0, 3}}}), false},
        {"SuggestedPalette", MakePng(kW, kH, 8, 2, FilteredRows(kW, kH, 3), {{"PLTE", {1, 2, 3}}}), false},
        {"Interlaced", Patched(rgb, 0, 12, 1), false},
        {"SixteenBit", MakePng(5, 4, 16, 2, FilteredRows(5, 4, 6)), false},
        {"Grey", MakePng(5, 4, 8, 0, FilteredRows(5, 4, 1)), false},
        {"Palette", MakePng(2, 1, 8, 3, {0, 0, 1}, {{"PLTE", {1, 2, 3, 4, 5, 6}}}), false},
        {"UnknownFilter", MakePng(kW, kH, 8, 2, badFilter), false},
        {"ImageDataShort", MakePng(kW, kH, 8, 2, tooShort), false},
        {"ImageDataLong", MakePng(kW, kH, 8, 2, tooLong), false},
        {"BytesAfterImageData", trailing, false},
        {"ImageDataChecksum", Patched(rgb, 1, 3, 0x77, true), false},
        {"TextChecksum", Patched(MakePng(kW, kH, 8, 2, FilteredRows(kW, kH, 3), {{"tEXt", text}}), 1, 6, 'y', true), false},
        {"ChunkBetweenImageData", SplitIdat(rgb, 3, "tEXt"), false},
    };
}

class QuickPath : public testing::TestWithParam<QuickCase> {};

TEST_P(QuickPath, TakenOnlyWhenSafeAndSameAsGeneralPath)
{
    const Bytes& png = GetParam().png;
    Bytes bmp;
    EXPECT_EQ(photo::QuickPngToBmp(png.data(), png.size(), bmp), GetParam().quick);
    EXPECT_EQ(bmp.empty(), !GetParam().quick);
    ExpectSameAsGeneralPath(png);
}

INSTANTIATE_TEST_SUITE_P(Cases, QuickPath, testing::ValuesIn(QuickCases()),
                         [](const testing::TestParamInfo<QuickCase>& i) { return std::string(i.param.name); });

TEST(QuickPath, EveryTestFileSameAsGeneralPath)
{
    int quick = 0;
    for (const char* folder : {"pngsuite", "crashers"}) {
        for (const std::string& name : PngFiles(folder)) {
            SCOPED_TRACE(name);
            const Bytes png = ReadFile(kDataDir + "/" + folder + "/" + name);
            Bytes bmp;
            quick += photo::QuickPngToBmp(png.data(), png.size(), bmp);
            ExpectSameAsGeneralPath(png);
        }
    }
    // basn2c08, basn6a08 and ftp0n2c08; the others are of other kinds, interlaced or transparent.
    EXPECT_EQ(quick, 3);
}

}  // namespace
