#include "sampledata.h"

#include <QBuffer>

#include <algorithm>
#include <cmath>

namespace idcard::sample {

namespace {

struct Rgb
{
    float r, g, b;
};

Rgb mix(Rgb a, Rgb b, float t)
{
    if (t <= 0.0f)
        return a;
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

uchar channel(float v)
{
    return uchar(std::clamp(v, 0.0f, 255.0f) + 0.5f);
}

// Coverage of pixel (x, y) by an ellipse, with a one-pixel soft edge so shapes are not jagged.
float ellipse(float x, float y, float cx, float cy, float rx, float ry)
{
    const float dx = (x - cx) / rx;
    const float dy = (y - cy) / ry;
    const float d2 = dx * dx + dy * dy;
    const float m = std::min(rx, ry);
    // Only the edge band needs the square root; this runs a few hundred million times per store.
    const float outer = 1.0f + 0.5f / m;
    if (d2 >= outer * outer)
        return 0.0f;
    const float inner = 1.0f - 0.5f / m;
    if (d2 <= inner * inner)
        return 1.0f;
    return std::clamp(0.5f + (1.0f - std::sqrt(d2)) * m, 0.0f, 1.0f);
}

float box(float x, float y, float x0, float y0, float x1, float y1)
{
    const float cx = std::clamp(std::min(x - x0, x1 - x) + 0.5f, 0.0f, 1.0f);
    const float cy = std::clamp(std::min(y - y0, y1 - y) + 0.5f, 0.0f, 1.0f);
    return cx * cy;
}

// Small fast generator for the per-pixel noise (std::mt19937_64 per pixel is needlessly slow).
struct XorShift
{
    std::uint64_t s;
    std::uint32_t next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return std::uint32_t(s >> 32);
    }
    float unit() { return (next() >> 8) * (1.0f / 16777216.0f); }
};

} // namespace

QImage Generator::photo(const Holder &holder) const
{
    XorShift rng{holder.photoSeed | 1};
    auto jitter = [&](float range) { return (rng.unit() * 2.0f - 1.0f) * range; };

    const Rgb backgrounds[] = {{246, 246, 244}, {226, 236, 248}, {236, 236, 236}, {250, 244, 236}};
    const Rgb background = backgrounds[rng.next() % 4];
    const float tone = rng.unit();
    const Rgb skin = mix({240, 208, 180}, {196, 150, 112}, tone);
    const float hairShade = 20 + rng.unit() * 50;
    const Rgb hair = {hairShade + 10, hairShade + 4, hairShade};
    const Rgb clothes = {40 + rng.unit() * 160, 40 + rng.unit() * 160, 40 + rng.unit() * 160};
    const Rgb dark = {40, 30, 28};
    const Rgb lips = mix(skin, {170, 80, 80}, 0.6f);

    const float cx = 51 + jitter(3);
    const float cy = 54 + jitter(3);
    const float rx = 22 + jitter(2);
    const float ry = 29 + jitter(2);
    const float hairLine = cy - ry * (0.25f + rng.unit() * 0.2f);
    const float shoulderTop = cy + ry + 12 + jitter(3);

    const int noise = std::max(0, m_options.photoNoise);

    QImage image(kPhotoWidth, kPhotoHeight, QImage::Format_RGB888);
    for (int y = 0; y < kPhotoHeight; ++y) {
        uchar *line = image.scanLine(y);
        for (int x = 0; x < kPhotoWidth; ++x) {
            const float fx = x + 0.5f;
            const float fy = y + 0.5f;
            Rgb c = mix(background, {background.r - 18, background.g - 18, background.b - 14},
                        fy / kPhotoHeight);
            c = mix(c, clothes, ellipse(fx, fy, 51, shoulderTop + 48, 58, 50));
            c = mix(c, mix(skin, dark, 0.08f), box(fx, fy, cx - 9, cy + ry - 8, cx + 9, shoulderTop + 4));
            c = mix(c, hair, ellipse(fx, fy, cx, cy - 3, rx + 3, ry + 2));
            const float face = ellipse(fx, fy, cx, cy + 2, rx, ry - 1) * box(fx, fy, 0, hairLine, 200, 200);
            c = mix(c, mix(skin, {255, 255, 255}, 0.12f * (1 - (fy - cy) / ry)), face);
            c = mix(c, dark, ellipse(fx, fy, cx - 9, cy + 1, 3.2f, 2.0f));
            c = mix(c, dark, ellipse(fx, fy, cx + 9, cy + 1, 3.2f, 2.0f));
            c = mix(c, lips, ellipse(fx, fy, cx, cy + ry * 0.55f, 6.0f, 1.8f));

            float r = c.r, g = c.g, b = c.b;
            if (noise > 0) {
                // Sensor-like noise: shared brightness grain plus a little per channel.
                const float grain = (rng.unit() + rng.unit() - 1.0f) * noise;
                r += grain + jitter(noise * 0.5f);
                g += grain + jitter(noise * 0.5f);
                b += grain + jitter(noise * 0.5f);
            }
            line[3 * x + 0] = channel(r);
            line[3 * x + 1] = channel(g);
            line[3 * x + 2] = channel(b);
        }
    }
    return image;
}

QByteArray toPng(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG"))
        return {};
    return bytes;
}

QByteArray toBmp(const QImage &image)
{
    // Qt writes 24 bits per pixel for RGB888; converting first keeps alpha or palettes out.
    const QImage rgb = image.format() == QImage::Format_RGB888
                           ? image
                           : image.convertToFormat(QImage::Format_RGB888);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!rgb.save(&buffer, "BMP"))
        return {};
    return bytes;
}

} // namespace idcard::sample
