#pragma once

#include "Brivane/render/WallpaperPainter.h"
#include "BrivaneCore/AgendaDates.h"

#include <cstddef>
#include <optional>
#include <vector>

namespace brivane {

struct WallpaperRenderer;
struct Size;

// Where every part of one wallpaper goes, in points, worked out before anything is drawn: the
// header, today's timeline, the reminder sections, the rest of the week and the footer. The
// parts share the screen's area inside its margins; on a low screen the week gives way first,
// then the reminders, and the timeline is cut only when even that is not enough.
struct WallpaperLayout {
    // The screen's area inside its margins.
    Rect content;
    // A wide area puts the reminders in a column beside the timeline and the week; a narrow one
    // in a band of sections between them.
    bool wide = false;

    struct Header {
        double height = 0;
        Rect brandIcon;
        Rect brandName;
        double brandNameSize = 0;
        Rect dayNumber;
        double dayNumberSize = 0;
        Rect weekday;
        Rect month;
        Rect subtitle;
        Rect rule;
    } header;

    Rect timeline;
    // Set when the timeline is lower than its least height: drawing is cut at the rule under it.
    std::optional<Rect> timelineClip;

    // The rule above the band of sections (narrow only), and one rectangle per section in the
    // order of allReminderSections.
    std::optional<Rect> reminderRule;
    std::vector<Rect> reminderSections;

    struct Day {
        // A cell: the day's heading, then per group its name line and its events' lines.
        static constexpr double headingBand = 27;
        static constexpr double nameLine = 16;

        Date date;
        Rect cell;
    };
    Rect weekRule;
    Rect weekHeading;
    // The remaining days of the week, in rows of cells; the line that says there are none.
    std::vector<Day> days;
    Rect weekEnds;

    Rect footer;
    double footerSize = 0;

    static WallpaperLayout of(const WallpaperRenderer& renderer, Size size);
};

// Where the parts of today's timeline go inside its rectangle: the hour labels on the left, one
// column per group with its header above the grid, the strip of other events under the grid.
struct TimelineLayout {
    Rect frame;
    double columnGap = 0;
    double columnWidth = 0;
    // Rows of other events shown under the grid, and the height of that strip (0 without any).
    std::size_t stripRows = 0;
    double stripHeight = 0;
    double gridTop = 0;
    double gridHeight = 0;
    double gridBottom = 0;
    Date start;
    Date end;
    // Seconds from start to end, at least one.
    double span = 1;

    double columnX(std::size_t column) const;
    // The grid's y of an instant, clamped to the visible hours.
    double y(Date instant) const;

    static TimelineLayout of(const WallpaperRenderer& renderer, const Rect& rect);
};

} // namespace brivane
