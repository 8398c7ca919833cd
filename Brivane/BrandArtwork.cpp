#include "Brivane/AppIdentity.h"
#include "Brivane/WallpaperRenderer.h"

#include <cairo.h>

namespace brivane {

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

std::shared_ptr<RasterImage> BrandArtwork::icon() {
    static const std::shared_ptr<RasterImage> loaded = [] {
        const auto path = AppInformation::resource(iconFileName);
        return path.empty() ? nullptr : RasterImage::fromPng(path.string());
    }();
    return loaded;
}

} // namespace brivane
