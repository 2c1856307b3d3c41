#include "PhotoConvert.h"

#include <libdeflate.h>
#include <png.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace photo {

namespace {

const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr size_t kBmpHeaderSize = 14 + 40;
// 96 dpi, the usual value for screen images.
constexpr uint32_t kBmpPixelsPerMetre = 3780;

uint32_t ReadBe32(const unsigned char* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint32_t ReadLe32(const unsigned char* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

uint16_t ReadLe16(const unsigned char* p)
{
    return uint16_t(p[0] | (p[1] << 8));
}

void PutLe32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

void PutLe16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

PhotoResult Fail(std::string reason)
{
    PhotoResult r;
    r.error = std::move(reason);
    return r;
}

// a * b * c as size_t, false on overflow.
bool CheckedSize(size_t a, size_t b, size_t c, size_t& out)
{
    const size_t max = std::numeric_limits<size_t>::max();
    if (a != 0 && b > max / a)
        return false;
    if (a * b != 0 && c > max / (a * b))
        return false;
    out = a * b * c;
    return true;
}

// Colour management chunks. The simplified libpng reader acts on them (a
// gAMA of 1.0 brightens mid tones by up to 72 levels, an sRGB chunk on a
// 16-bit file makes the samples count as non-linear), while the viewers
// these photos are taken and checked with show the stored samples as they
// are, and a BMP carries no colour information anyway. Dropping them keeps
// the photo looking as its author saw it.
bool IsColourChunk(const unsigned char* type)
{
    return std::memcmp(type, "gAMA", 4) == 0 || std::memcmp(type, "cHRM", 4) == 0
        || std::memcmp(type, "sRGB", 4) == 0 || std::memcmp(type, "iCCP", 4) == 0;
}

// Walks the chunk list before libpng sees it: rejects truncated data and
// chunks longer than the input, checks the header size limit, and copies
// the file without colour management chunks into `cleaned`.
PhotoResult ScanPng(const unsigned char* data, size_t size, std::vector<unsigned char>& cleaned)
{
    if (data == nullptr || size == 0)
        return Fail("no photo data");
    if (size < sizeof kPngSignature || std::memcmp(data, kPngSignature, sizeof kPngSignature) != 0)
        return Fail("not a PNG file");
    if (size > kMaxPhotoBytes)
        return Fail("photo file too large");

    cleaned.clear();
    cleaned.reserve(size);
    cleaned.insert(cleaned.end(), data, data + sizeof kPngSignature);

    size_t pos = sizeof kPngSignature;
    bool first = true;
    for (;;) {
        if (size - pos < 12)
            return Fail("PNG data truncated");
        const uint32_t length = ReadBe32(data + pos);
        const unsigned char* type = data + pos + 4;
        if (length > 0x7FFFFFFFu)
            return Fail("PNG chunk length invalid");
        if (length > size - pos - 12)
            return Fail(length > kMaxPhotoBytes ? "PNG chunk too large" : "PNG data truncated");

        if (first) {
            if (std::memcmp(type, "IHDR", 4) != 0 || length != 13)
                return Fail("PNG header missing");
            const uint32_t w = ReadBe32(data + pos + 8);
            const uint32_t h = ReadBe32(data + pos + 12);
            if (w == 0 || h == 0)
                return Fail("PNG header invalid");
            if (w > uint32_t(kMaxPhotoSide) || h > uint32_t(kMaxPhotoSide))
                return Fail("image larger than " + std::to_string(kMaxPhotoSide) + " pixels ("
                            + std::to_string(w) + " x " + std::to_string(h) + ")");
            first = false;
        }

        const size_t chunkSize = size_t(length) + 12;
        if (!IsColourChunk(type))
            cleaned.insert(cleaned.end(), data + pos, data + pos + chunkSize);
        pos += chunkSize;
        if (std::memcmp(type, "IEND", 4) == 0)
            return PhotoResult{true, {}};
    }
}

unsigned char BlendOnWhite8(unsigned c, unsigned a)
{
    return static_cast<unsigned char>((c * a + 255u * (255u - a) + 127u) / 255u);
}

// `p` is premultiplied, as libpng delivers 16-bit samples with alpha.
unsigned char BlendOnWhite16(uint32_t p, uint32_t a)
{
    const uint32_t v = p + (65535u - a);
    return static_cast<unsigned char>((v * 255u + 32767u) / 65535u);
}


// A 24-bit bottom-up BMP file image of the given size, its pixels all zero; sizes checked by the
// caller.
std::vector<unsigned char> BlankBmp(size_t width, size_t height, size_t pixelBytes)
{
    std::vector<unsigned char> bmp(kBmpHeaderSize + pixelBytes, 0);
    unsigned char* h = bmp.data();
    h[0] = 'B';
    h[1] = 'M';
    PutLe32(h + 2, static_cast<uint32_t>(bmp.size()));
    PutLe32(h + 10, static_cast<uint32_t>(kBmpHeaderSize));
    PutLe32(h + 14, 40);
    PutLe32(h + 18, static_cast<uint32_t>(width));
    PutLe32(h + 22, static_cast<uint32_t>(height));  // positive: bottom-up
    PutLe16(h + 26, 1);
    PutLe16(h + 28, 24);
    PutLe32(h + 30, 0);  // BI_RGB
    PutLe32(h + 34, static_cast<uint32_t>(pixelBytes));
    PutLe32(h + 38, kBmpPixelsPerMetre);
    PutLe32(h + 42, kBmpPixelsPerMetre);
    return bmp;
}

class QuickPng {
public:
    bool ToBmp(const unsigned char* data, size_t size, std::vector<unsigned char>& bmp)
    {
        return data && scan(data, size) && inflate() && unfilter() && write(bmp);
    }

private:
    static bool IsLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

    bool scan(const unsigned char* data, size_t size)
    {
        if (size < sizeof kPngSignature || size > kMaxPhotoBytes
            || std::memcmp(data, kPngSignature, sizeof kPngSignature) != 0)
            return false;
        size_t pos = sizeof kPngSignature;
        enum { BeforeImage, InImage, AfterImage } state = BeforeImage;
        for (bool first = true;; first = false) {
            if (size - pos < 12)
                return false;
            const uint32_t length = ReadBe32(data + pos);
            const unsigned char* type = data + pos + 4;
            if (length > size - pos - 12)
                return false;
            const unsigned char* body = type + 4;
            if (!IsLetter(type[0]) || !IsLetter(type[1]) || !IsLetter(type[2]) || !IsLetter(type[3])
                || libdeflate_crc32(0, type, size_t(length) + 4) != ReadBe32(body + length))
                return false;
            const bool idat = std::memcmp(type, "IDAT", 4) == 0;
            if (first) {
                if (std::memcmp(type, "IHDR", 4) != 0 || length != 13)
                    return false;
                m_width = ReadBe32(body);
                m_height = ReadBe32(body + 4);
                // Bit depth 8; colour type 2 or 6; standard compression and filtering; no interlace.
                if (m_width == 0 || m_height == 0 || m_width > uint32_t(kMaxPhotoSide) || m_height > uint32_t(kMaxPhotoSide)
                    || body[8] != 8 || (body[9] != 2 && body[9] != 6) || body[10] != 0 || body[11] != 0 || body[12] != 0)
                    return false;
                m_channels = body[9] == 6 ? 4 : 3;
            } else if (idat) {
                if (state == AfterImage)
                    return false;
                state = InImage;
                m_idat.push_back({body, length});
            } else if (std::memcmp(type, "IEND", 4) == 0) {
                return state != BeforeImage;
            } else {
                if (state == InImage)
                    state = AfterImage;
                // Other critical chunks (PLTE) are checked by libpng, and transparency changes pixels.
                if (!(type[0] & 0x20) || std::memcmp(type, "tRNS", 4) == 0)
                    return false;
            }
            pos += size_t(length) + 12;
        }
    }

    bool inflate()
    {
        m_stride = size_t(m_width) * m_channels;
        m_raw.resize((m_stride + 1) * m_height);
        std::vector<unsigned char> joined;
        const unsigned char* in = m_idat[0].first;
        size_t inSize = m_idat[0].second;
        if (m_idat.size() > 1) {
            for (const auto& part : m_idat)
                joined.insert(joined.end(), part.first, part.first + part.second);
            in = joined.data();
            inSize = joined.size();
        }
        thread_local std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> decompressor(
            libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
        if (!decompressor)
            return false;
        size_t used = 0;
        size_t produced = 0;
        return libdeflate_zlib_decompress_ex(decompressor.get(), in, inSize, m_raw.data(), m_raw.size(), &used, &produced)
                   == LIBDEFLATE_SUCCESS
            && used == inSize && produced == m_raw.size();
    }

    bool unfilter()
    {
        // The row above the first is all zeros.
        const std::vector<unsigned char> zeros(m_stride, 0);
        const unsigned char* prior = zeros.data();
        for (uint32_t y = 0; y < m_height; ++y) {
            unsigned char* row = m_raw.data() + y * (m_stride + 1);
            const bool known = m_channels == 3 ? Unfilter<3>(row[0], row + 1, prior, m_stride)
                                               : Unfilter<4>(row[0], row + 1, prior, m_stride);
            if (!known)
                return false;
            prior = row + 1;
        }
        return true;
    }

    // One row in place, by its filter type; false for an unknown type. The rows never overlap,
    // which lets the compiler do the upper-row filter many bytes at a time.
    template <size_t Bpp>
    static bool Unfilter(unsigned char filter, unsigned char* __restrict cur, const unsigned char* __restrict prior, size_t n)
    {
        switch (filter) {
        case 0:
            return true;
        case 1:
            for (size_t i = Bpp; i < n; ++i)
                cur[i] = static_cast<unsigned char>(cur[i] + cur[i - Bpp]);
            return true;
        case 2:
            for (size_t i = 0; i < n; ++i)
                cur[i] = static_cast<unsigned char>(cur[i] + prior[i]);
            return true;
        case 3:
            for (size_t i = 0; i < Bpp; ++i)
                cur[i] = static_cast<unsigned char>(cur[i] + (prior[i] >> 1));
            for (size_t i = Bpp; i < n; ++i)
                cur[i] = static_cast<unsigned char>(cur[i] + ((cur[i - Bpp] + prior[i]) >> 1));
            return true;
        case 4:
            // Left and upper-left are zero in the first pixel, which leaves the upper one.
            for (size_t i = 0; i < Bpp; ++i)
                cur[i] = static_cast<unsigned char>(cur[i] + prior[i]);
            for (size_t i = Bpp; i < n; ++i) {
                const int a = cur[i - Bpp];
                const int b = prior[i];
                const int c = prior[i - Bpp];
                // Distances of a + b - c to a, b and c; ties go to a, then b.
                const int pa = std::abs(b - c);
                const int pb = std::abs(a - c);
                const int pc = std::abs(a + b - 2 * c);
                const int nearer = pb <= pc ? b : c;
                const int distance = pb <= pc ? pb : pc;
                cur[i] = static_cast<unsigned char>(cur[i] + (pa <= distance ? a : nearer));
            }
            return true;
        default:
            return false;
        }
    }

    // The same file image as EncodeBmp makes of the general path's result.
    bool write(std::vector<unsigned char>& bmp) const
    {
        const size_t width = m_width;
        const size_t height = m_height;
        const size_t stride = (width * 3 + 3) & ~size_t(3);
        bmp = BlankBmp(width, height, stride * height);
        for (size_t y = 0; y < height; ++y) {
            const unsigned char* src = m_raw.data() + y * (m_stride + 1) + 1;
            unsigned char* dst = bmp.data() + kBmpHeaderSize + (height - 1 - y) * stride;
            if (m_channels == 3) {
                for (size_t x = 0; x < width; ++x, src += 3, dst += 3) {
                    dst[0] = src[2];
                    dst[1] = src[1];
                    dst[2] = src[0];
                }
            } else {
                for (size_t x = 0; x < width; ++x, src += 4, dst += 3) {
                    dst[0] = BlendOnWhite8(src[2], src[3]);
                    dst[1] = BlendOnWhite8(src[1], src[3]);
                    dst[2] = BlendOnWhite8(src[0], src[3]);
                }
            }
        }
        return true;
    }

    uint32_t m_width = 0;
    uint32_t m_height = 0;
    unsigned m_channels = 3;
    size_t m_stride = 0; // bytes of one row's pixels, without the filter byte
    std::vector<std::pair<const unsigned char*, size_t>> m_idat;
    std::vector<unsigned char> m_raw;
};

}  // namespace

PhotoResult DecodePng(const unsigned char* data, size_t size, DecodedImage& out)
{
    out = DecodedImage{};

    std::vector<unsigned char> png;
    PhotoResult scan = ScanPng(data, size, png);
    if (!scan.ok)
        return scan;

    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) {
        std::string reason = std::string("PNG header unreadable: ") + image.message;
        png_image_free(&image);
        return Fail(reason);
    }

    // Checked again on what libpng parsed, before anything is allocated.
    if (image.width == 0 || image.height == 0 || image.width > uint32_t(kMaxPhotoSide)
        || image.height > uint32_t(kMaxPhotoSide)) {
        png_image_free(&image);
        return Fail("image larger than " + std::to_string(kMaxPhotoSide) + " pixels");
    }

    // 16-bit files are read as 16-bit so we do the reduction ourselves: the
    // library's own 16-to-8-bit path assumes linear samples (and even with
    // PNG_IMAGE_FLAG_16BIT_sRGB returns shifted values for grey images).
    // Without gamma chunks, the linear format hands back the stored samples.
    const bool wide = (image.format & PNG_FORMAT_FLAG_LINEAR) != 0;
    image.format = wide ? PNG_FORMAT_LINEAR_RGB_ALPHA : PNG_FORMAT_BGRA;

    const size_t width = image.width;
    const size_t height = image.height;
    const size_t component = wide ? 2 : 1;
    size_t rowComponents = 0;
    size_t bufferBytes = 0;
    size_t outBytes = 0;
    if (!CheckedSize(width, 4, 1, rowComponents) || !CheckedSize(rowComponents, height, component, bufferBytes)
        || !CheckedSize(width, height, 3, outBytes)) {
        png_image_free(&image);
        return Fail("image too large");
    }

    std::vector<unsigned char> buffer(bufferBytes);
    // Compositing is done below, so no background colour is passed here:
    // libpng would blend in linear light, which makes half-transparent edges
    // visibly lighter than any viewer shows them.
    const int finished = png_image_finish_read(&image, nullptr, buffer.data(),
                                               static_cast<png_int_32>(rowComponents), nullptr);
    const bool failed = !finished || PNG_IMAGE_FAILED(image);
    std::string message = image.message;
    png_image_free(&image);
    if (failed)
        return Fail("PNG data corrupt: " + message);

    DecodedImage img;
    img.width = static_cast<int>(width);
    img.height = static_cast<int>(height);
    img.bgr.resize(outBytes);
    const size_t pixels = width * height;
    unsigned char* dst = img.bgr.data();
    if (wide) {
        const unsigned char* src = buffer.data();
        for (size_t i = 0; i < pixels; ++i, src += 8, dst += 3) {
            uint16_t rgba[4];
            std::memcpy(rgba, src, sizeof rgba);  // native-endian 16-bit samples
            dst[0] = BlendOnWhite16(rgba[2], rgba[3]);
            dst[1] = BlendOnWhite16(rgba[1], rgba[3]);
            dst[2] = BlendOnWhite16(rgba[0], rgba[3]);
        }
    } else {
        const unsigned char* src = buffer.data();
        for (size_t i = 0; i < pixels; ++i, src += 4, dst += 3) {
            dst[0] = BlendOnWhite8(src[0], src[3]);
            dst[1] = BlendOnWhite8(src[1], src[3]);
            dst[2] = BlendOnWhite8(src[2], src[3]);
        }
    }
    out = std::move(img);
    return PhotoResult{true, {}};
}

std::vector<unsigned char> EncodeBmp(const DecodedImage& img)
{
    if (img.width <= 0 || img.height <= 0)
        return {};
    const size_t width = size_t(img.width);
    const size_t height = size_t(img.height);
    size_t expected = 0;
    if (!CheckedSize(width, height, 3, expected) || img.bgr.size() != expected)
        return {};
    if (width > (0x7FFFFFFFu - 3) / 3)
        return {};
    const size_t stride = (width * 3 + 3) & ~size_t(3);
    size_t pixelBytes = 0;
    if (!CheckedSize(stride, height, 1, pixelBytes) || pixelBytes > 0x7FFFFFFFu - kBmpHeaderSize)
        return {};

    std::vector<unsigned char> bmp = BlankBmp(width, height, pixelBytes);

    const size_t rowBytes = width * 3;
    for (size_t y = 0; y < height; ++y) {
        const unsigned char* src = img.bgr.data() + y * rowBytes;
        unsigned char* dst = bmp.data() + kBmpHeaderSize + (height - 1 - y) * stride;
        std::memcpy(dst, src, rowBytes);
    }
    return bmp;
}

bool QuickPngToBmp(const unsigned char* data, size_t size, std::vector<unsigned char>& bmp)
{
    bmp.clear();
    if (QuickPng().ToBmp(data, size, bmp))
        return true;
    bmp.clear();
    return false;
}

PhotoResult PngToBmp(const unsigned char* data, size_t size, std::vector<unsigned char>& bmp)
{
    bmp.clear();
    if (QuickPngToBmp(data, size, bmp))
        return PhotoResult{true, {}};
    bmp.clear();
    DecodedImage img;
    PhotoResult r = DecodePng(data, size, img);
    if (!r.ok)
        return r;
    bmp = EncodeBmp(img);
    if (bmp.empty())
        return Fail("BMP encoding failed");
    return r;
}

bool DecodeBmp(const unsigned char* data, size_t size, DecodedImage& out)
{
    out = DecodedImage{};
    if (data == nullptr || size < kBmpHeaderSize || data[0] != 'B' || data[1] != 'M')
        return false;

    const uint32_t offBits = ReadLe32(data + 10);
    const uint32_t infoSize = ReadLe32(data + 14);
    const int32_t width = static_cast<int32_t>(ReadLe32(data + 18));
    const int32_t rawHeight = static_cast<int32_t>(ReadLe32(data + 22));
    const uint16_t planes = ReadLe16(data + 26);
    const uint16_t bpp = ReadLe16(data + 28);
    const uint32_t compression = ReadLe32(data + 30);

    if (infoSize < 40 || infoSize > size - 14 || planes != 1 || (bpp != 24 && bpp != 32) || compression != 0)
        return false;
    if (width <= 0 || width > kMaxPhotoSide || rawHeight == 0)
        return false;
    const int64_t height64 = rawHeight < 0 ? -int64_t(rawHeight) : int64_t(rawHeight);
    if (height64 > kMaxPhotoSide)
        return false;
    const bool bottomUp = rawHeight > 0;
    const size_t w = size_t(width);
    const size_t h = size_t(height64);
    const size_t bytesPerPixel = bpp / 8;
    const size_t stride = ((w * bpp + 31) / 32) * 4;
    if (offBits < 14 + uint64_t(infoSize) || offBits > size || stride * h > size - offBits)
        return false;

    DecodedImage img;
    img.width = width;
    img.height = static_cast<int>(h);
    img.bgr.resize(w * h * 3);
    for (size_t y = 0; y < h; ++y) {
        const size_t fileRow = bottomUp ? h - 1 - y : y;
        const unsigned char* src = data + offBits + fileRow * stride;
        unsigned char* dst = img.bgr.data() + y * w * 3;
        for (size_t x = 0; x < w; ++x, src += bytesPerPixel, dst += 3) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
        }
    }
    out = std::move(img);
    return true;
}

std::vector<unsigned char> EncodePng(const DecodedImage& img)
{
    if (img.width <= 0 || img.height <= 0 || img.width > 0x7FFFFFFF / 3)
        return {};
    size_t expected = 0;
    if (!CheckedSize(size_t(img.width), size_t(img.height), 3, expected) || img.bgr.size() != expected)
        return {};

    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(img.width);
    image.height = static_cast<png_uint_32>(img.height);
    image.format = PNG_FORMAT_BGR;

    png_alloc_size_t bytes = 0;
    if (!png_image_write_to_memory(&image, nullptr, &bytes, 0, img.bgr.data(), 0, nullptr)) {
        png_image_free(&image);
        return {};
    }
    std::vector<unsigned char> png(bytes);
    const int ok = png_image_write_to_memory(&image, png.data(), &bytes, 0, img.bgr.data(), 0, nullptr);
    png_image_free(&image);
    if (!ok)
        return {};
    png.resize(bytes);
    return png;
}

}  // namespace photo
