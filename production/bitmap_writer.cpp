#include "production/bitmap_writer.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace corvid {

namespace {

constexpr int kSide = 48;
constexpr int kBytesPerPixel = 3;
constexpr int kRowBytes = (kSide * kBytesPerPixel + 3) / 4 * 4;  // rows are padded to 4 bytes

// BITMAPFILEHEADER then BITMAPINFOHEADER, little-endian.
constexpr std::size_t kFileHeaderSize = 14;
constexpr std::size_t kInfoHeaderSize = 40;
constexpr std::size_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;
constexpr std::size_t kOffType = 0;          // "BM"
constexpr std::size_t kOffFileSize = 2;      // 32-bit
constexpr std::size_t kOffPixelOffset = 10;  // 32-bit
constexpr std::size_t kOffInfoSize = 14;     // 32-bit, 40
constexpr std::size_t kOffWidth = 18;        // 32-bit
constexpr std::size_t kOffHeight = 22;       // 32-bit, positive: rows bottom-up
constexpr std::size_t kOffPlanes = 26;       // 16-bit, 1
constexpr std::size_t kOffBitCount = 28;     // 16-bit, 24
constexpr std::size_t kOffImageSize = 34;    // 32-bit
constexpr std::size_t kOffXPelsPerMeter = 38;
constexpr std::size_t kOffYPelsPerMeter = 42;
constexpr std::uint32_t kPelsPerMeter = 2835;  // 72 dpi

struct Rgb {
    std::uint8_t r, g, b;
};

void putLe(std::uint8_t* at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// Distance from point p to the segment a-b.
double segmentDistance(double px, double py, double ax, double ay, double bx, double by) {
    const double dx = bx - ax;
    const double dy = by - ay;
    double t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy);
    t = t < 0.0 ? 0.0 : (t > 1.0 ? 1.0 : t);
    return std::hypot(px - (ax + t * dx), py - (ay + t * dy));
}

// Colour of the pixel at (x, y), y counted from the top.
Rgb pixelAt(VerdictPicture picture, int x, int y) {
    const Rgb white{255, 255, 255};
    const Rgb colour = picture == VerdictPicture::Pass ? Rgb{0, 160, 60} : Rgb{210, 20, 20};
    const double cx = x + 0.5;
    const double cy = y + 0.5;
    const double centre = kSide / 2.0;
    const double radius = kSide / 2.0 - 1.0;
    if (std::hypot(cx - centre, cy - centre) > radius) {
        return white;
    }
    constexpr double kStroke = 3.5;
    bool onMark = false;
    if (picture == VerdictPicture::Pass) {
        onMark = segmentDistance(cx, cy, 12, 25, 20, 34) < kStroke ||
                 segmentDistance(cx, cy, 20, 34, 36, 14) < kStroke;
    } else {
        onMark = segmentDistance(cx, cy, 15, 15, 33, 33) < kStroke ||
                 segmentDistance(cx, cy, 33, 15, 15, 33) < kStroke;
    }
    return onMark ? white : colour;
}

}  // namespace

void writeVerdictBitmap(const std::filesystem::path& path, VerdictPicture picture) {
    const std::uint32_t imageSize = kRowBytes * kSide;
    std::array<std::uint8_t, kHeadersSize> header{};
    header[kOffType] = 'B';
    header[kOffType + 1] = 'M';
    putLe(&header[kOffFileSize], kHeadersSize + imageSize, 4);
    putLe(&header[kOffPixelOffset], kHeadersSize, 4);
    putLe(&header[kOffInfoSize], kInfoHeaderSize, 4);
    putLe(&header[kOffWidth], kSide, 4);
    putLe(&header[kOffHeight], kSide, 4);
    putLe(&header[kOffPlanes], 1, 2);
    putLe(&header[kOffBitCount], 8 * kBytesPerPixel, 2);
    putLe(&header[kOffImageSize], imageSize, 4);
    putLe(&header[kOffXPelsPerMeter], kPelsPerMeter, 4);
    putLe(&header[kOffYPelsPerMeter], kPelsPerMeter, 4);

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(header.data()), header.size());
    std::vector<std::uint8_t> row(kRowBytes, 0);
    for (int rowFromBottom = 0; rowFromBottom < kSide; ++rowFromBottom) {
        const int y = kSide - 1 - rowFromBottom;
        for (int x = 0; x < kSide; ++x) {
            const Rgb rgb = pixelAt(picture, x, y);
            row[x * kBytesPerPixel] = rgb.b;  // pixels are stored blue, green, red
            row[x * kBytesPerPixel + 1] = rgb.g;
            row[x * kBytesPerPixel + 2] = rgb.r;
        }
        out.write(reinterpret_cast<const char*>(row.data()), row.size());
    }
    if (!out.flush()) {
        throw std::runtime_error("The picture file " + path.string() + " cannot be written.");
    }
}

}  // namespace corvid
