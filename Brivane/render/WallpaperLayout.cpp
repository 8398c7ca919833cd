#include "Brivane/render/WallpaperLayout.h"

#include "Brivane/render/WallpaperRenderer.h"

#include <algorithm>

namespace brivane {

namespace {

// Content widths and heights at which the layout changes.
constexpr double wideWidth = 1000;         // reminders in a column beside timeline and week
constexpr double roomyWidth = 700;         // the larger brand block
constexpr double broadReminderWidth = 850; // the band of sections takes a larger share
constexpr double largeFooterWidth = 1050;
constexpr double tallHeaderHeight = 740;

// The wide layout's split of the content width.
constexpr double timelineShare = 0.65;
constexpr double reminderShare = 0.35;
constexpr double reminderColumnGap = 36;

// Header: its height, the brand block at its right, the date at its left.
constexpr double tallHeader = 146;
constexpr double shortHeader = 120;
// Each pair: narrow, roomy.
constexpr double brandWidth[] = {125, 175};
constexpr double brandIconSize[] = {30, 40};
constexpr double brandIconTop = 4;
constexpr double brandNameGap = 8;
constexpr double brandNameTop = 8;
constexpr double brandNameWidth[] = {87, 127};
constexpr double brandNameHeight = 28;
constexpr double brandNameSize[] = {16, 20};
// The day number's box starts left of and above the content so that its glyphs' own margins
// do not show; its letters are this much smaller than the header.
constexpr double dayNumberLeft = -5;
constexpr double dayNumberTop = -16;
constexpr double dayNumberWidth = 190;
constexpr double dayNumberInset = 18;
// The weekday, month and subtitle stand right of the day number.
constexpr double dateTextLeft[] = {155, 183}; // short, tall header
constexpr double dateTextLeastWidth = 80;
constexpr double dateTextBrandGap = 12;
constexpr double weekdayTop = 4;
constexpr double weekdayHeight = 34;
constexpr double monthTop = 40;
constexpr double monthHeight = 24;
constexpr double subtitleTop = 74;
constexpr double subtitleHeight = 18;
// The accent rule, this far above the header's bottom.
constexpr double headerRuleRise = 12;
constexpr double headerRuleHeight = 2;

// The space above the week, and the band of reminder sections: its gap above, its offset from
// the timeline and its rule's rise above the sections.
constexpr double weekGap = 30;
constexpr double reminderBandGap = 20;
constexpr double reminderBandTop = 18;
constexpr double reminderRuleRise = 8;
constexpr double thinRule = 0.75;
constexpr double reminderSectionGap = 20;
constexpr double reminderColumnSectionGap = 12;
// The band's share of what the week leaves: at least, on a broad band, and at most.
constexpr double reminderBandShare = 0.40;
constexpr double broadReminderBandShare = 0.43;
constexpr double reminderBandMostShare = 0.68;
// A cut timeline still draws this far below its rectangle: down to the rule under it.
constexpr double timelineCutAllowance[] = {10, 30}; // narrow, wide

// The week: its heading band above the rows, the cells' least width, gaps and row heights.
constexpr double weekHeadingBand = 38;
constexpr double weekHeadingTop = 12;
constexpr double weekHeadingHeight = 18;
constexpr double weekRowsTop = 40;
constexpr double weekEndsTop = 38;
constexpr double weekEndsHeight = 23;
constexpr double dayCellLeastWidth = 185;
constexpr int fewestWeekColumns = 2;
constexpr int mostWeekColumns = 6;
constexpr double dayCellGap = 24;
constexpr double dayCellBottomGap = 6;
constexpr double weekShare[] = {0.27, 0.35}; // narrow, wide
constexpr double weekRowLeast = 70;
constexpr double weekRowMost[] = {116, 150}; // narrow, wide
constexpr double emptyWeekHeight = 66;
// A row of compact week cells: the day, a line per group, the gap to the next row.
constexpr double compactWeekRow =
    WallpaperLayout::Day::headingBand + WallpaperLayout::Day::nameLine * 2 + dayCellBottomGap;

constexpr double footerTop = 12;
constexpr double footerHeight = 18;
constexpr double footerTextSize[] = {9, 11};

// The days of the week in rows of cells.
struct WeekGrid {
    int count = 0;
    int columns = 0;
    int rows = 0;

    // The height of the week: its share of the content height within its rows' least and most.
    double height(double contentHeight, bool wide) const {
        const double most =
            count == 0 ? emptyWeekHeight : rows * weekRowMost[wide] + weekHeadingBand;
        return std::min(
            std::max(contentHeight * weekShare[wide], rows * weekRowLeast + weekHeadingBand), most);
    }
    double compactHeight() const { return rows * compactWeekRow + weekHeadingBand; }
};

WeekGrid weekGrid(int count, double width) {
    WeekGrid week;
    week.count = count;
    const int fit =
        std::clamp(static_cast<int>(width / dayCellLeastWidth), fewestWeekColumns, mostWeekColumns);
    week.columns = std::min(std::max(count, 1), fit);
    week.rows = count == 0 ? 0 : (count + week.columns - 1) / week.columns;
    return week;
}

// What the layout is worked out from: the canvas, its content area and what the agenda needs.
struct Frame {
    double width = 0;
    double height = 0;
    double left = 0;
    double top = 0;
    double bottom = 0; // the bottom margin
    double contentWidth = 0;
    double contentHeight = 0;
    bool wide = false;
    double timelineWidth = 0;
    double headerHeight = 0;
    double reminderWidth = 0;
};

Frame frameOf(const ScreenPreferences& margins, Size size) {
    Frame f;
    f.width = size.width;
    f.height = size.height;
    f.left = f.width * margins.left;
    f.contentWidth = f.width - f.width * margins.left - f.width * margins.right;
    f.top = f.height * margins.top;
    f.bottom = f.height * margins.bottom;
    f.contentHeight = f.height - f.top - f.bottom;
    f.wide = f.contentWidth >= wideWidth;
    f.timelineWidth = f.wide ? f.contentWidth * timelineShare : f.contentWidth;
    f.headerHeight = f.contentHeight >= tallHeaderHeight ? tallHeader : shortHeader;
    const double sections = static_cast<double>(allReminderSections.size());
    f.reminderWidth = f.wide ? f.contentWidth * reminderShare - reminderColumnGap
                             : (f.contentWidth - reminderSectionGap * (sections - 1)) / sections;
    return f;
}

// On low screens (960 × 540, 1024 × 768) the shares leave the timeline lower than its headers
// and smallest grid, or every reminder section showing nothing but "+N". The week gives way
// first: its rows get shorter, down to compact cells, and where those are still too tall, its
// days go in fewer, wider rows. Returns the week's height.
double fitWeek(WeekGrid& week, const Frame& f, double timelineLeast, double reminderLeast) {
    double height = week.height(f.contentHeight, f.wide);
    const double room = f.contentHeight - f.headerHeight - weekGap -
                        (f.wide ? 0 : reminderLeast + reminderBandGap) - timelineLeast;
    if (week.count > 0 && height > room) {
        if (week.rows > 1 && week.compactHeight() > room) {
            while (week.rows > 1 && week.compactHeight() > room) {
                week.columns = (week.count + week.rows - 2) / (week.rows - 1);
                week.rows = (week.count + week.columns - 1) / week.columns;
            }
            height = week.height(f.contentHeight, f.wide);
        }
        height = std::max(week.compactHeight(), std::min(height, room));
    }
    return height;
}

// The least the reminder band can have while each section still shows its first task.
double reminderBandLeast(const WallpaperRenderer& renderer, const Frame& f) {
    double least = WallpaperRenderer::reminderSectionLeast;
    if (!f.wide)
        for (ReminderSection section : allReminderSections)
            least = std::max(least, renderer.reminderLeastHeight(section, f.reminderWidth));
    return least;
}

// The height of the band of reminder sections out of `room`, what the week leaves.
double reminderBandHeight(const WallpaperRenderer& renderer, const Frame& f, double room,
                          double timelineLeast) {
    const double least = WallpaperRenderer::reminderSectionLeast;
    double need = 0;
    for (ReminderSection section : allReminderSections)
        need = std::max(need, renderer.reminderNeededHeight(section, f.reminderWidth));
    const double share =
        f.contentWidth >= broadReminderWidth ? broadReminderBandShare : reminderBandShare;
    double height = std::min(std::max(need, room * share), room * reminderBandMostShare);
    // Where that share would push the timeline past its rectangle into the reminders, they give
    // way, down to their smallest section, and show the rest as "+N" in their overflow line.
    if (room - height - reminderBandGap < timelineLeast) {
        height = std::min(height, std::max(least, room - reminderBandGap - timelineLeast));
        // Giving way, they also give back what their sections leave empty.
        double filled = least;
        for (ReminderSection section : allReminderSections)
            filled =
                std::max(filled, renderer.reminderFilledHeight(section, f.reminderWidth, height));
        height = std::min(height, filled);
    }
    return height;
}

// The sections stacked in the column beside the timeline: each its needed height, or when they
// do not all fit, the least each plus a part of what is left in proportion to what it lacks.
std::vector<Rect> reminderColumn(const WallpaperRenderer& renderer, const Frame& f, double top) {
    const double least = WallpaperRenderer::reminderSectionLeast;
    const double x = f.left + f.contentWidth * timelineShare + reminderColumnGap;
    const double k = static_cast<double>(allReminderSections.size());
    const double room = std::max(0.0, f.contentHeight - f.headerHeight - weekGap -
                                          reminderColumnSectionGap * (k - 1));
    const double extra = std::max(0.0, room - least * k);
    std::vector<double> need;
    double total = 0;
    double surplus = 0;
    for (ReminderSection section : allReminderSections) {
        need.push_back(renderer.reminderNeededHeight(section, f.reminderWidth));
        total += need.back();
        surplus += std::max(0.0, need.back() - least);
    }
    std::vector<Rect> sections;
    double y = top;
    for (double needed : need) {
        double h = needed;
        if (total > room)
            h = surplus <= 0 ? least : least + extra * std::max(0.0, needed - least) / surplus;
        sections.push_back(Rect{x, y, f.reminderWidth, h});
        y += h + reminderColumnSectionGap;
    }
    return sections;
}

WallpaperLayout::Header headerOf(const Frame& f) {
    WallpaperLayout::Header header;
    const double left = f.left;
    const double top = f.top;
    header.height = f.headerHeight;
    const bool roomy = f.contentWidth >= roomyWidth;
    const double brandX = left + f.contentWidth - brandWidth[roomy];
    const double icon = brandIconSize[roomy];
    header.brandIcon = Rect{brandX, top + brandIconTop, icon, icon};
    header.brandName = Rect{brandX + icon + brandNameGap, top + brandNameTop, brandNameWidth[roomy],
                            brandNameHeight};
    header.brandNameSize = brandNameSize[roomy];
    header.dayNumber =
        Rect{left + dayNumberLeft, top + dayNumberTop, dayNumberWidth, f.headerHeight};
    header.dayNumberSize = f.headerHeight - dayNumberInset;
    const double x = left + dateTextLeft[f.headerHeight == tallHeader];
    const double width = std::max(dateTextLeastWidth, brandX - x - dateTextBrandGap);
    header.weekday = Rect{x, top + weekdayTop, width, weekdayHeight};
    header.month = Rect{x, top + monthTop, width, monthHeight};
    header.subtitle = Rect{x, top + subtitleTop, width, subtitleHeight};
    header.rule =
        Rect{left, top + f.headerHeight - headerRuleRise, f.contentWidth, headerRuleHeight};
    return header;
}

} // namespace

WallpaperLayout WallpaperLayout::of(const WallpaperRenderer& renderer, Size size) {
    const Frame f = frameOf(renderer.preferences, size);
    const std::vector<Date> dates =
        AgendaDates::remainingDays(renderer.snapshot.date, renderer.calendar);
    WeekGrid week = weekGrid(static_cast<int>(dates.size()), f.timelineWidth);
    const double timelineLeast = renderer.timelineLeastHeight();
    const double weekHeight = fitWeek(week, f, timelineLeast, reminderBandLeast(renderer, f));
    const double room = std::max(0.0, f.contentHeight - f.headerHeight - weekHeight - weekGap);
    double bandHeight = 0;
    double timelineHeight = room;
    if (!f.wide) {
        bandHeight = reminderBandHeight(renderer, f, room, timelineLeast);
        timelineHeight = room - bandHeight - reminderBandGap;
    }

    WallpaperLayout layout;
    layout.content = Rect{f.left, f.top, f.contentWidth, f.contentHeight};
    layout.wide = f.wide;
    layout.header = headerOf(f);

    const double timelineTop = f.top + f.headerHeight;
    layout.timeline = Rect{f.left, timelineTop, f.timelineWidth, timelineHeight};
    if (timelineHeight < timelineLeast)
        layout.timelineClip = Rect{f.left, timelineTop, f.timelineWidth,
                                   std::max(0.0, timelineHeight + timelineCutAllowance[f.wide])};

    if (!f.wide) {
        const double top = timelineTop + timelineHeight + reminderBandTop;
        layout.reminderRule = Rect{f.left, top - reminderRuleRise, f.contentWidth, thinRule};
        for (std::size_t i = 0; i < allReminderSections.size(); ++i)
            layout.reminderSections.push_back(
                Rect{f.left + (f.reminderWidth + reminderSectionGap) * static_cast<double>(i), top,
                     f.reminderWidth, bandHeight});
    } else {
        layout.reminderSections = reminderColumn(renderer, f, timelineTop);
    }

    const double weekTop = f.top + f.contentHeight - weekHeight;
    layout.weekRule = Rect{f.left, weekTop, f.timelineWidth, thinRule};
    layout.weekHeading = Rect{f.left, weekTop + weekHeadingTop, f.timelineWidth, weekHeadingHeight};
    layout.weekEnds = Rect{f.left, weekTop + weekEndsTop, f.timelineWidth, weekEndsHeight};
    if (week.count > 0) {
        const double cellWidth = (f.timelineWidth - dayCellGap * (week.columns - 1)) / week.columns;
        const double pitch = (weekHeight - weekHeadingBand) / week.rows;
        for (int d = 0; d < week.count; ++d) {
            const int row = d / week.columns;
            const int column = d - row * week.columns;
            layout.days.push_back(
                {dates[static_cast<std::size_t>(d)],
                 Rect{f.left + (cellWidth + dayCellGap) * column,
                      weekTop + weekRowsTop + pitch * row, cellWidth, pitch - dayCellBottomGap}});
        }
    }

    layout.footer = Rect{f.left, f.height - f.bottom + footerTop, f.contentWidth, footerHeight};
    layout.footerSize = footerTextSize[f.contentWidth >= largeFooterWidth];
    return layout;
}

} // namespace brivane
