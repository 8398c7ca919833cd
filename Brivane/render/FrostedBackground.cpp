#include "Brivane/render/FrostedBackground.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <vector>

namespace brivane {

namespace {

using Rgb = std::array<double, 3>;
constexpr int blobCount = 5;

constexpr std::array<std::array<Rgb, blobCount>, 6> palettes{{
    {{{0.39, 0.68, 0.91},
      {0.76, 0.72, 0.94},
      {0.99, 0.64, 0.54},
      {0.45, 0.82, 0.83},
      {0.99, 0.84, 0.67}}},
    {{{0.55, 0.81, 0.66},
      {0.74, 0.67, 0.93},
      {0.95, 0.70, 0.80},
      {0.74, 0.87, 0.65},
      {0.98, 0.84, 0.69}}},
    {{{0.99, 0.68, 0.47},
      {0.98, 0.76, 0.68},
      {0.42, 0.78, 0.79},
      {0.66, 0.83, 0.95},
      {0.96, 0.62, 0.66}}},
    {{{0.64, 0.59, 0.91},
      {0.49, 0.68, 0.95},
      {0.99, 0.77, 0.49},
      {0.79, 0.70, 0.92},
      {0.95, 0.85, 0.69}}},
    {{{0.37, 0.76, 0.71},
      {0.68, 0.87, 0.78},
      {0.98, 0.64, 0.70},
      {0.99, 0.81, 0.65},
      {0.70, 0.79, 0.94}}},
    {{{0.79, 0.58, 0.76},
      {0.95, 0.67, 0.67},
      {0.52, 0.75, 0.95},
      {0.73, 0.79, 0.97},
      {0.99, 0.83, 0.64}}},
}};

struct Blob {
    double cx, cy, sx, sy;
};
constexpr std::array<Blob, blobCount> blobs{{
    {0.18, 0.76, 0.34, 0.38},
    {0.48, 0.46, 0.31, 0.37},
    {0.82, 0.69, 0.35, 0.41},
    {0.68, 0.20, 0.38, 0.34},
    {0.18, 0.22, 0.40, 0.32},
}};

constexpr Rgb base{0.951, 0.959, 0.967};
const Color fillColor = Color::rgb(0.95, 0.96, 0.97);

std::map<std::string, std::shared_ptr<RasterImage>>& cache() {
    static std::map<std::string, std::shared_ptr<RasterImage>> images;
    return images;
}

int positiveModulo(int value, int modulus) {
    const int r = value % modulus;
    return r < 0 ? r + modulus : r;
}

} // namespace

std::shared_ptr<RasterImage> FrostedBackground::makeImage(int width, int height, int palette) {
    auto image = RasterImage::create(width, height);
    if (!image)
        return nullptr;
    const auto& colours = palettes[static_cast<std::size_t>(positiveModulo(palette, 6))];
    std::array<Rgb, blobCount> delta{};
    for (int j = 0; j < blobCount; ++j) {
        const Rgb& c = colours[static_cast<std::size_t>(positiveModulo(palette + j, blobCount))];
        for (std::size_t k = 0; k < 3; ++k)
            delta[static_cast<std::size_t>(j)][k] = c[k] - base[k];
    }

    // e^(−1.9 (a² + b²)) = e^(−1.9 a²) · e^(−1.9 b²): one exponential per column and per row
    // instead of one per pixel. The 0.72 goes with the row factor.
    const auto w = static_cast<std::size_t>(width);
    std::vector<double> columnFactor(w * blobCount);
    for (std::size_t c = 0; c < w; ++c) {
        const double fx = static_cast<double>(c) / width;
        for (std::size_t j = 0; j < blobCount; ++j) {
            const double dx = (fx - blobs[j].cx) / blobs[j].sx;
            columnFactor[c * blobCount + j] = std::exp(-1.9 * (dx * dx));
        }
    }

    std::uint8_t* pixels = image->data();
    const std::size_t stride = image->stride();
    for (int r = 0; r < height; ++r) {
        const double fy = static_cast<double>(r) / height;
        std::array<double, blobCount> rowFactor{};
        for (std::size_t j = 0; j < blobCount; ++j) {
            const double dy = (fy - blobs[j].cy) / blobs[j].sy;
            rowFactor[j] = 0.72 * std::exp(-1.9 * (dy * dy));
        }
        auto* row = reinterpret_cast<std::uint32_t*>(pixels + stride * static_cast<std::size_t>(r));
        const auto ur = static_cast<std::uint32_t>(r);
        for (std::size_t c = 0; c < w; ++c) {
            Rgb value = base;
            for (std::size_t j = 0; j < blobCount; ++j) {
                const double weight = rowFactor[j] * columnFactor[c * blobCount + j];
                for (std::size_t k = 0; k < 3; ++k)
                    value[k] += weight * delta[j][k];
            }
            // Ordered noise breaks up banding in the smooth gradients.
            const std::uint32_t h32 = ur * 668265263u + static_cast<std::uint32_t>(c) * 374761393u;
            const std::uint32_t k8 = ((h32 ^ (h32 >> 13)) * 97u) & 255u;
            const double noise = (k8 / 255.0 - 0.5) * 0.016;
            std::uint32_t argb = 0xFF000000u;
            for (std::size_t k = 0; k < 3; ++k) {
                const double byte = std::clamp((value[k] + noise) * 255.0, 0.0, 255.0);
                argb |= static_cast<std::uint32_t>(byte) << (16 - 8 * k);
            }
            row[c] = argb;
        }
    }
    image->markChanged();
    return image;
}

std::string FrostedBackground::cacheKey(double width, double height, int palette) {
    const int h = std::max(1, static_cast<int>(height * imageWidth / width));
    return std::to_string(imageWidth) + "x" + std::to_string(h) + "-" + std::to_string(palette);
}

void FrostedBackground::draw(Painter& painter, const Rect& rect, int palette) {
    if (!(rect.width > 0) || !(rect.height > 0))
        return;
    const int h = std::max(1, static_cast<int>(rect.height * imageWidth / rect.width));
    const std::string key = cacheKey(rect.width, rect.height, palette);
    auto& images = cache();
    auto found = images.find(key);
    if (found == images.end()) {
        if (images.size() > cacheLimit - 1)
            images.clear();
        if (auto made = makeImage(imageWidth, h, palette))
            found = images.emplace(key, std::move(made)).first;
    }
    painter.fillRect(rect, fillColor);
    if (found != images.end())
        painter.image(*found->second, rect, Painter::Blend::copy);
}

std::size_t FrostedBackground::cacheSize() {
    return cache().size();
}

void FrostedBackground::clearCache() {
    cache().clear();
}

} // namespace brivane
