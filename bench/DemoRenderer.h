#pragma once

// The demo agenda's renderer the drawing benchmarks share: the usual 08–20 day, no screen of
// the user's own.

#include "Brivane/render/DemoData.h"
#include "Brivane/render/WallpaperRenderer.h"
#include "BrivaneCore/AgendaDates.h"

namespace brivane::bench {

inline WallpaperRenderer demoRenderer(const char* variant = "normal",
                                      WallpaperStyle style = WallpaperStyle::glass) {
    return WallpaperRenderer{DemoData::snapshot(variant),
                             AgendaDates::calendar(),
                             ScreenPreferences{},
                             style,
                             ReminderGrouping::dueDate,
                             {},
                             {},
                             8,
                             20};
}

} // namespace brivane::bench
