#pragma once

#include "Brivane/render/WallpaperPainter.h"

typedef struct _cairo cairo_t;
typedef struct _PangoContext PangoContext;

namespace brivane {

// Draws into a RasterImage with Cairo, in points (the image's scale maps points to pixels).
class CairoPainter final : public Painter {
public:
    explicit CairoPainter(RasterImage& target);
    ~CairoPainter() override;
    CairoPainter(const CairoPainter&) = delete;
    CairoPainter& operator=(const CairoPainter&) = delete;

    // False when Cairo could not set up drawing on the image (out of memory).
    bool ok() const;

    void fillRect(const Rect& rect, const Color& color) override;
    void fillRoundedRect(const Rect& rect, double radius, const Color& color) override;
    void fillEllipse(const Rect& rect, const Color& color) override;
    void dashedLine(Point from, Point to, double width, double on, double off,
                    const Color& color) override;
    void text(std::string_view text, const Rect& rect, const TextStyle& style) override;
    void image(const RasterImage& image, const Rect& rect, Blend blend) override;
    void pushRoundedClip(const Rect& rect, double radius) override;
    void popClip() override;

private:
    void setColor(const Color& color);
    void roundedPath(const Rect& rect, double radius);

    cairo_t* cr_;
    PangoContext* text_ = nullptr;
};

} // namespace brivane
