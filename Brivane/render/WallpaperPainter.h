#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

typedef struct _cairo_surface cairo_surface_t;

namespace brivane {

// An sRGB colour with straight (not premultiplied) alpha.
struct Color {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1;

    static constexpr Color rgb(double r, double g, double b) { return {r, g, b, 1}; }
    static constexpr Color bytes(int r, int g, int b) {
        return {r / 255.0, g / 255.0, b / 255.0, 1};
    }
    constexpr Color withAlpha(double a) const { return {red, green, blue, a}; }
    bool operator==(const Color&) const = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const Rect&) const = default;
};

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

// How one text box is set: a single line truncated at the tail, or word-wrapped lines whose
// last visible one ends with an ellipsis. Every line is `size` × 1.18 points high.
struct TextStyle {
    double size = 12;
    bool bold = false;
    Color color;
    bool monospacedDigits = false;
    bool wraps = false;

    double lineHeight() const { return size * 1.18; }
    bool operator==(const TextStyle&) const = default;
};

// A 32-bit bitmap (Cairo ARGB32: native-endian, premultiplied alpha) with its size in points.
class RasterImage {
public:
    // An image of `pixelWidth` × `pixelHeight` pixels; null when it cannot be allocated.
    static std::shared_ptr<RasterImage> create(int pixelWidth, int pixelHeight, double scale = 1);
    // A PNG file decoded; null when it cannot be read.
    static std::shared_ptr<RasterImage> fromPng(const std::string& path);
    // The `pixelWidth` × `pixelHeight` pixels of `parent` from (`x`, `y`) on, drawn in place:
    // what is drawn here is drawn there. Keeps `parent` alive; null when out of its bounds.
    static std::shared_ptr<RasterImage> region(std::shared_ptr<RasterImage> parent, int x, int y,
                                               int pixelWidth, int pixelHeight, double scale = 1);
    ~RasterImage();
    RasterImage(const RasterImage&) = delete;
    RasterImage& operator=(const RasterImage&) = delete;

    int pixelWidth() const { return width_; }
    int pixelHeight() const { return height_; }
    double scale() const { return scale_; }
    double pointWidth() const { return width_ / scale_; }
    double pointHeight() const { return height_ / scale_; }
    std::size_t stride() const;
    std::uint8_t* data();
    // Call after writing through data(): Cairo treats an untouched surface as transparent.
    void markChanged();
    const std::uint8_t* data() const;
    // Red, green, blue, alpha of one pixel, un-premultiplied.
    std::uint32_t rgba(int x, int y) const;
    cairo_surface_t* surface() const { return surface_; }

private:
    RasterImage(cairo_surface_t* surface, int width, int height, double scale);
    cairo_surface_t* surface_;
    std::shared_ptr<RasterImage> parent_;
    int width_;
    int height_;
    double scale_;
};

// The drawing operations the wallpaper is made of. Coordinates are points, origin top-left,
// y growing downwards. CairoPainter makes pixels; the tests record the calls instead.
class Painter {
public:
    enum class Blend { over, copy };

    virtual ~Painter() = default;
    virtual void fillRect(const Rect& rect, const Color& color) = 0;
    virtual void fillRoundedRect(const Rect& rect, double radius, const Color& color) = 0;
    virtual void fillEllipse(const Rect& rect, const Color& color) = 0;
    virtual void dashedLine(Point from, Point to, double width, double on, double off,
                            const Color& color) = 0;
    virtual void text(std::string_view text, const Rect& rect, const TextStyle& style) = 0;
    // The image stretched over `rect` with bilinear filtering and its edge pixels repeated.
    virtual void image(const RasterImage& image, const Rect& rect, Blend blend) = 0;
    // Clips every later operation to a rounded rectangle until the matching popClip.
    virtual void pushRoundedClip(const Rect& rect, double radius) = 0;
    virtual void popClip() = 0;
};

} // namespace brivane
