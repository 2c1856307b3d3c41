#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Card holder photos: the handheld delivers PNG, the card store keeps a
// Windows BMP file image (24-bit BGR, bottom-up, rows padded to 4 bytes).

namespace photo {

// Tightly packed, top-down, 3 bytes per pixel in B, G, R order.
struct DecodedImage {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> bgr;
};

struct PhotoResult {
    bool ok = false;
    std::string error;  // short English reason when !ok
};

// Larger photos are refused before any pixel buffer is allocated.
constexpr int kMaxPhotoSide = 1024;
// Real photos are a few KB; anything beyond this is not a photo.
constexpr size_t kMaxPhotoBytes = 32u * 1024u * 1024u;

// Decodes a PNG held in memory. Samples are taken as they are stored
// (gamma and colour profile chunks are ignored) and transparency is
// blended onto white the way ordinary viewers show it. On failure `out`
// is left empty.
PhotoResult DecodePng(const unsigned char* data, size_t size, DecodedImage& out);

// Builds a BMP file image; returns an empty vector if `img` is inconsistent.
std::vector<unsigned char> EncodeBmp(const DecodedImage& img);

// The photos handheld readers deliver are 8-bit RGB or RGBA, not interlaced. For those the whole
// image is inflated in one call and unfiltered straight into the BMP rows, several times faster
// than through libpng. False, with `bmp` empty, for anything else and for anything it does not
// accept in full (a checksum, a chunk not known to be harmless, image data too short or too long):
// PngToBmp then takes the general path, which also words the error.
bool QuickPngToBmp(const unsigned char* data, size_t size, std::vector<unsigned char>& bmp);

// The quick path when it applies, else DecodePng and EncodeBmp.
PhotoResult PngToBmp(const unsigned char* data, size_t size, std::vector<unsigned char>& bmp);

// Reads uncompressed 24- and 32-bit BMP file images (bottom-up or top-down).
bool DecodeBmp(const unsigned char* data, size_t size, DecodedImage& out);

// 8-bit RGB PNG of `img`; empty on failure.
std::vector<unsigned char> EncodePng(const DecodedImage& img);

}  // namespace photo
