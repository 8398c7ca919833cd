#include "Brivane/render/CairoPainter.h"

#include "Brivane/render/WallpaperText.h"

#include <algorithm>
#include <cairo.h>
#include <cmath>
#include <numbers>
#include <pango/pangocairo.h>

namespace brivane {

std::shared_ptr<RasterImage> RasterImage::create(int pixelWidth, int pixelHeight, double scale) {
    if (pixelWidth <= 0 || pixelHeight <= 0 || !(scale > 0))
        return nullptr;
    cairo_surface_t* surface =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pixelWidth, pixelHeight);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS ||
        !cairo_image_surface_get_data(surface)) {
        cairo_surface_destroy(surface);
        return nullptr;
    }
    return std::shared_ptr<RasterImage>(new RasterImage(surface, pixelWidth, pixelHeight, scale));
}

std::shared_ptr<RasterImage> RasterImage::fromPng(const std::string& path) {
    cairo_surface_t* loaded = cairo_image_surface_create_from_png(path.c_str());
    if (cairo_surface_status(loaded) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(loaded);
        return nullptr;
    }
    const int width = cairo_image_surface_get_width(loaded);
    const int height = cairo_image_surface_get_height(loaded);
    auto image = create(width, height);
    if (image) {
        cairo_t* cr = cairo_create(image->surface());
        cairo_set_source_surface(cr, loaded, 0, 0);
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_paint(cr);
        cairo_destroy(cr);
        image->markChanged();
    }
    cairo_surface_destroy(loaded);
    return image;
}

std::shared_ptr<RasterImage> RasterImage::region(std::shared_ptr<RasterImage> parent, int x, int y,
                                                 int pixelWidth, int pixelHeight, double scale) {
    if (!parent || x < 0 || y < 0 || pixelWidth <= 0 || pixelHeight <= 0 || !(scale > 0) ||
        pixelWidth > parent->width_ - x || pixelHeight > parent->height_ - y)
        return nullptr;
    const std::size_t stride = parent->stride();
    cairo_surface_t* surface = cairo_image_surface_create_for_data(
        parent->data() + stride * static_cast<std::size_t>(y) + 4 * static_cast<std::size_t>(x),
        CAIRO_FORMAT_ARGB32, pixelWidth, pixelHeight, static_cast<int>(stride));
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return nullptr;
    }
    std::shared_ptr<RasterImage> image(new RasterImage(surface, pixelWidth, pixelHeight, scale));
    image->parent_ = std::move(parent);
    return image;
}

RasterImage::RasterImage(cairo_surface_t* surface, int width, int height, double scale)
    : surface_(surface), width_(width), height_(height), scale_(scale) {}

RasterImage::~RasterImage() {
    cairo_surface_destroy(surface_);
}

std::size_t RasterImage::stride() const {
    return static_cast<std::size_t>(cairo_image_surface_get_stride(surface_));
}

std::uint8_t* RasterImage::data() {
    cairo_surface_flush(surface_);
    return cairo_image_surface_get_data(surface_);
}

void RasterImage::markChanged() {
    cairo_surface_mark_dirty(surface_);
}

const std::uint8_t* RasterImage::data() const {
    cairo_surface_flush(surface_);
    return cairo_image_surface_get_data(surface_);
}

std::uint32_t RasterImage::rgba(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return 0;
    std::uint32_t argb = 0;
    const std::uint8_t* row = data() + stride() * static_cast<std::size_t>(y);
    std::copy_n(row + 4 * static_cast<std::size_t>(x), 4, reinterpret_cast<std::uint8_t*>(&argb));
    const std::uint32_t a = argb >> 24;
    auto channel = [&](int shift) -> std::uint32_t {
        const std::uint32_t v = (argb >> shift) & 0xFF;
        return a == 0 ? 0 : std::min<std::uint32_t>(255, (v * 255 + a / 2) / a);
    };
    return channel(16) << 24 | channel(8) << 16 | channel(0) << 8 | a;
}

CairoPainter::CairoPainter(RasterImage& target) : cr_(cairo_create(target.surface())) {
    if (!ok())
        return;
    cairo_scale(cr_, target.scale(), target.scale());
    text_ = WallpaperText::shared().createContext(cr_);
}

CairoPainter::~CairoPainter() {
    if (text_)
        g_object_unref(text_);
    cairo_destroy(cr_);
}

bool CairoPainter::ok() const {
    return cairo_status(cr_) == CAIRO_STATUS_SUCCESS;
}

void CairoPainter::setColor(const Color& color) {
    cairo_set_source_rgba(cr_, color.red, color.green, color.blue, color.alpha);
}

void CairoPainter::roundedPath(const Rect& r, double radius) {
    const double rad = std::max(0.0, std::min({radius, r.width / 2, r.height / 2}));
    const double half = std::numbers::pi / 2;
    cairo_new_sub_path(cr_);
    cairo_arc(cr_, r.x + r.width - rad, r.y + rad, rad, -half, 0);
    cairo_arc(cr_, r.x + r.width - rad, r.y + r.height - rad, rad, 0, half);
    cairo_arc(cr_, r.x + rad, r.y + r.height - rad, rad, half, 2 * half);
    cairo_arc(cr_, r.x + rad, r.y + rad, rad, 2 * half, 3 * half);
    cairo_close_path(cr_);
}

void CairoPainter::fillRect(const Rect& rect, const Color& color) {
    setColor(color);
    cairo_rectangle(cr_, rect.x, rect.y, rect.width, rect.height);
    cairo_fill(cr_);
}

void CairoPainter::fillRoundedRect(const Rect& rect, double radius, const Color& color) {
    setColor(color);
    roundedPath(rect, radius);
    cairo_fill(cr_);
}

void CairoPainter::fillEllipse(const Rect& rect, const Color& color) {
    if (rect.width <= 0 || rect.height <= 0)
        return;
    setColor(color);
    cairo_save(cr_);
    cairo_translate(cr_, rect.x + rect.width / 2, rect.y + rect.height / 2);
    cairo_scale(cr_, rect.width / 2, rect.height / 2);
    cairo_arc(cr_, 0, 0, 1, 0, 2 * std::numbers::pi);
    cairo_restore(cr_);
    cairo_fill(cr_);
}

void CairoPainter::dashedLine(Point from, Point to, double width, double on, double off,
                              const Color& color) {
    setColor(color);
    const double dashes[] = {on, off};
    cairo_save(cr_);
    cairo_set_line_width(cr_, width);
    cairo_set_line_cap(cr_, CAIRO_LINE_CAP_BUTT);
    cairo_set_dash(cr_, dashes, 2, 0);
    cairo_move_to(cr_, from.x, from.y);
    cairo_line_to(cr_, to.x, to.y);
    cairo_stroke(cr_);
    cairo_restore(cr_);
}

void CairoPainter::text(std::string_view text, const Rect& rect, const TextStyle& style) {
    WallpaperText::shared().draw(cr_, text_, text, rect, style);
}

void CairoPainter::image(const RasterImage& image, const Rect& rect, Blend blend) {
    if (rect.width <= 0 || rect.height <= 0)
        return;
    cairo_save(cr_);
    cairo_rectangle(cr_, rect.x, rect.y, rect.width, rect.height);
    cairo_clip(cr_);
    cairo_translate(cr_, rect.x, rect.y);
    cairo_scale(cr_, rect.width / image.pixelWidth(), rect.height / image.pixelHeight());
    cairo_set_source_surface(cr_, image.surface(), 0, 0);
    cairo_pattern_t* pattern = cairo_get_source(cr_);
    // Bilinear when enlarging (the background); Cairo's good filter averages when shrinking
    // (the icon), where bilinear would alias.
    const bool shrinks = rect.width < image.pointWidth() || rect.height < image.pointHeight();
    cairo_pattern_set_filter(pattern, shrinks ? CAIRO_FILTER_GOOD : CAIRO_FILTER_BILINEAR);
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
    cairo_set_operator(cr_, blend == Blend::copy ? CAIRO_OPERATOR_SOURCE : CAIRO_OPERATOR_OVER);
    cairo_paint(cr_);
    cairo_restore(cr_);
}

void CairoPainter::pushRoundedClip(const Rect& rect, double radius) {
    cairo_save(cr_);
    roundedPath(rect, radius);
    cairo_clip(cr_);
}

void CairoPainter::popClip() {
    cairo_restore(cr_);
}

} // namespace brivane
