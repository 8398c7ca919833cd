#include "Brivane/AppIdentity.h"
#include "Brivane/render/WallpaperRenderer.h"

namespace brivane {

std::shared_ptr<RasterImage> BrandArtwork::icon() {
    static const std::shared_ptr<RasterImage> loaded = [] {
        const auto path = AppInformation::resource(iconFileName);
        return path.empty() ? nullptr : RasterImage::fromPng(path.string());
    }();
    return loaded;
}

} // namespace brivane
