#include "Brivane/render/WallpaperLayout.h"
#include "Brivane/render/WallpaperRenderer.h"
#include "Brivane/render/WallpaperRendererText.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace brivane {

namespace {

constexpr Color nowRed = Color::rgb(0.86, 0.28, 0.28);
// Two thirds of the smallest line of an event block (size 9 × 1.18).
constexpr double minimumTextBlock = 7;

double seconds(Date from, Date to) {
    return std::chrono::duration<double>(to - from).count();
}

// The wall time hour:minute on the day that starts at `dayStart`.
std::optional<Date> atTime(Date dayStart, int hour, int minute, const Calendar& calendar) {
    return calendar.date(calendar.component(CalendarComponent::year, dayStart),
                         calendar.component(CalendarComponent::month, dayStart),
                         calendar.component(CalendarComponent::day, dayStart), hour, minute, 0);
}

// What an event occupies of its lane: its own span, and its instant when it has no length, so
// that one starting then does not hide it.
Date occupiedUntil(const AgendaEvent& event) {
    return std::max(event.end, event.start + Date::duration(1));
}

struct Placed {
    AgendaEvent event;
    int lane;
};

bool overlaps(const AgendaEvent& a, const AgendaEvent& b) {
    return a.start < occupiedUntil(b) && occupiedUntil(a) > b.start;
}

// Overlapping events share the column side by side: each takes the first lane free at its start,
// by the events' own instants, so an event that ends as another starts leaves its lane to it.
std::vector<Placed> assignLanes(std::vector<AgendaEvent> timed) {
    std::stable_sort(timed.begin(), timed.end(), [](const AgendaEvent& a, const AgendaEvent& b) {
        return a.start != b.start ? a.start < b.start : a.end < b.end;
    });
    std::vector<Date> laneEnds;
    std::vector<Placed> placed;
    for (auto& event : timed) {
        auto free = std::find_if(laneEnds.begin(), laneEnds.end(),
                                 [&](Date end) { return end <= event.start; });
        int lane;
        if (free != laneEnds.end()) {
            lane = static_cast<int>(free - laneEnds.begin());
            *free = occupiedUntil(event);
        } else {
            lane = static_cast<int>(laneEnds.size());
            laneEnds.push_back(occupiedUntil(event));
        }
        placed.push_back({std::move(event), lane});
    }
    return placed;
}

int laneCount(const Placed& item, const std::vector<Placed>& placed) {
    int largest = 0;
    for (const auto& other : placed)
        if (overlaps(item.event, other.event))
            largest = std::max(largest, other.lane);
    return largest + 1;
}

// The group headers above the grid, the room under it, and the grid's least height.
constexpr double gridTopInset = 43;
constexpr double gridBottomInset = 5;
constexpr double minimumGrid = 50;
// The hour labels' column left of the grid, and the gap between the groups' columns.
constexpr double hourColumn = 51;
constexpr double hourLabelWidth = 43;
constexpr double hourLabelHeight = 16;
constexpr double hourLabelRise = 8;
constexpr double wideTimeline = 720;
constexpr double columnGap[] = {13, 24}; // narrow, wide timeline
constexpr double leastColumnWidth = 30;
// The strip of other events under the grid: its heading and overflow line, and a row per event;
// a low timeline shows at most one row.
constexpr double lowTimeline = 300;
constexpr std::size_t stripRowsLow = 1;
constexpr std::size_t stripRowsMost = 3;
constexpr double stripTop = 11;
constexpr double stripHeadingHeight = 15;
constexpr double stripRowsTop = 27;
constexpr double stripRow = 19;
constexpr double stripRowHeight = 18;
constexpr double stripOverflowLine = 17;
constexpr double stripOverflowHeight = 16;
// A strip with no room for rows keeps its "+N" line where its heading would be.
constexpr double hintOnlyStrip = stripTop + stripOverflowLine;
// The text line of an hour label (size 11 × 1.18); two labels closer than that would touch.
constexpr double hourLabelLine = 11 * 1.18;
// An hour label this close to the now line gives way to its time.
constexpr double nowLabelClearance = 25;
// The group headers: name and count, then a partial group's note or a missing group's message.
constexpr double groupHeaderTop = 2;
constexpr double groupHeaderHeight = 25;
constexpr double partialNoteTop = 25;
constexpr double partialNoteHeight = 16;
constexpr double missingMessageTop = 12;
constexpr double missingMessageHeight = 35;
// The now line starts under its dot, which sits on the grid's left edge, its time above it.
constexpr double nowLineLeft = 48;
constexpr double nowLineWidth = 2;
constexpr double nowDotLeft = 44;
constexpr double nowDot = 10;
constexpr double nowLabelRise = 21;
constexpr double nowLabelWidth = 46;
constexpr double nowLabelHeight = 18;
// Event blocks: the gap between lanes, their inset from the hour lines, least height, corner.
constexpr double laneGap = 3;
constexpr double blockInset = 2;
constexpr double leastBlock = 13;
constexpr double leastSliver = 2;
constexpr double blockRadius = 6;
constexpr double blockBar[] = {3, 4}; // other, current event
// Text inside a block: its inset, and the block heights at which it has two lines (the second
// wrapping when taller still), two small lines, or one.
constexpr double blockTextLeft = 9;
constexpr double blockTextRightInset = 14;
constexpr double blockTextLeastWidth = 12;
constexpr double largeBlockWidth = 125;
constexpr double twoLineBlock = 40;
constexpr double wrappingTitleBlock = 58;
constexpr double twoSmallLineBlock = 26;
constexpr double rangeWidth = 95;          // a small first line shows the range, not the start
constexpr double rangeAndTitleWidth = 160; // a one-line block shows the range before the title

struct TimelineColumn {
    AgendaGroup group = AgendaGroup::ostrid;
    GroupAvailability availability = GroupAvailability::unavailable();
    std::vector<AgendaEvent> dayEvents;
    std::vector<AgendaEvent> stripEvents;
    std::vector<AgendaEvent> timed;
};

// The visible hours of today and each group's events sorted into the grid and the strip.
struct TimelineDay {
    int startHour = 8;
    int endHour = 20;
    Date dayStart;
    Date startDate;
    Date endDate;
    std::vector<TimelineColumn> columns;
    std::size_t mostStrip = 0;
};

TimelineDay timelineDay(const WallpaperRenderer& renderer) {
    const Calendar& calendar = renderer.calendar;
    const Date now = renderer.snapshot.date;
    TimelineDay day;
    day.startHour = std::clamp(renderer.timelineStartHour, 0, 23);
    day.endHour = std::min(std::max(renderer.timelineEndHour, day.startHour + 1), 24);
    day.dayStart = calendar.startOfDay(now);
    day.startDate = atTime(day.dayStart, day.startHour, 0, calendar).value_or(day.dayStart);
    day.endDate = day.endHour < 24 ? atTime(day.dayStart, day.endHour, 0, calendar)
                                         .value_or(day.dayStart + std::chrono::seconds(72000))
                                   : nextDayStart(day.dayStart, calendar);
    for (AgendaGroup group : allAgendaGroups) {
        TimelineColumn column;
        column.group = group;
        if (auto found = renderer.snapshot.availability.find(group);
            found != renderer.snapshot.availability.end())
            column.availability = found->second;
        column.dayEvents = renderer.snapshot.eventsOn(now, group, calendar);
        for (const auto& event : column.dayEvents) {
            if (event.allDay || event.end <= day.startDate || event.start >= day.endDate)
                column.stripEvents.push_back(event);
            else
                column.timed.push_back(event);
        }
        day.mostStrip = std::max(day.mostStrip, column.stripEvents.size());
        day.columns.push_back(std::move(column));
    }
    return day;
}

TimelineLayout timelineLayout(const TimelineDay& day, const Rect& rect) {
    TimelineLayout layout;
    layout.frame = rect;
    layout.start = day.startDate;
    layout.end = day.endDate;
    layout.span = std::max(1.0, seconds(day.startDate, day.endDate));
    layout.columnGap = columnGap[rect.width >= wideTimeline];
    layout.columnWidth =
        std::max(leastColumnWidth, (rect.width - hourColumn - layout.columnGap) * 0.5);

    auto overflows = [&](std::size_t rows) {
        return std::any_of(
            day.columns.begin(), day.columns.end(),
            [&](const TimelineColumn& column) { return column.stripEvents.size() > rows; });
    };
    auto stripHeight = [&](std::size_t rows) {
        if (day.mostStrip == 0)
            return 0.0;
        if (rows == 0)
            return hintOnlyStrip;
        return stripRow * static_cast<double>(rows) + stripRowsTop +
               (overflows(rows) ? stripOverflowLine : 0);
    };
    // A timeline too low for its smallest grid and the strip gives up rows of the strip rather
    // than spilling over what lies below; the "+N" line stays, so no event goes without a hint.
    const double insets = gridTopInset + gridBottomInset;
    std::size_t rows =
        std::min(rect.height < lowTimeline ? stripRowsLow : stripRowsMost, day.mostStrip);
    while (rows > 0 && rect.height - insets - stripHeight(rows) < minimumGrid)
        --rows;
    layout.stripRows = rows;
    layout.stripHeight = stripHeight(rows);
    layout.gridTop = rect.y + gridTopInset;
    layout.gridHeight = std::max(minimumGrid, rect.height - insets - layout.stripHeight);
    layout.gridBottom = layout.gridTop + layout.gridHeight;
    return layout;
}

// Draws today's timeline through the renderer's text and colour rules.
struct TimelinePainter {
    const WallpaperRenderer& renderer;
    Painter& painter;
    const TimelineDay& day;
    const TimelineLayout& layout;

    std::string hhmm(Date instant) const {
        return AgendaDates::string(instant, "HH:mm", renderer.calendar);
    }
    bool nowVisible() const {
        const Date now = renderer.snapshot.date;
        return day.startDate <= now && now < day.endDate;
    }

    void groupHeaders() const {
        const Rect& frame = layout.frame;
        for (std::size_t i = 0; i < day.columns.size(); ++i) {
            const TimelineColumn& column = day.columns[i];
            const GroupAvailability& a = column.availability;
            const double x = layout.columnX(i);
            const std::string count =
                a.hasData() ? twoDigits(static_cast<int>(column.dayEvents.size())) : "—";
            renderer.text(painter,
                          upperCased(renderer.groupName(column.group), renderer.calendar) + " (" +
                              count + ")",
                          Rect{x, frame.y + groupHeaderTop, layout.columnWidth, groupHeaderHeight},
                          {.size = 17, .bold = true, .color = renderer.eventAccent(column.group)});
            if (!a.hasData())
                renderer.text(painter, a.label(),
                              Rect{x, layout.gridTop + missingMessageTop, layout.columnWidth,
                                   missingMessageHeight},
                              {.size = 13, .color = Palette::secondary, .wraps = true});
            else if (a.kind() == GroupAvailability::Kind::partial)
                renderer.text(
                    painter, a.label(),
                    Rect{x, frame.y + partialNoteTop, layout.columnWidth, partialNoteHeight},
                    WallpaperTextStyle::note);
        }
    }

    void hourGrid() const {
        const Rect& frame = layout.frame;
        const bool glass = renderer.style == WallpaperStyle::glass;
        const bool showsNow = nowVisible();
        const double nowY = layout.y(renderer.snapshot.date);
        TextStyle label = WallpaperTextStyle::note;
        label.monospacedDigits = true;
        // On a short grid the labels would pile up: one is skipped when its line would touch the
        // last one's.
        double lastLabelY = -std::numeric_limits<double>::infinity();
        for (int hour = day.startHour; hour <= day.endHour; ++hour) {
            const Date instant =
                hour == 24 ? day.endDate
                           : atTime(day.dayStart, hour, 0, renderer.calendar).value_or(day.endDate);
            const double y = layout.y(instant);
            if (!(showsNow && std::abs(nowY - y) < nowLabelClearance) &&
                y - lastLabelY >= hourLabelLine) {
                renderer.text(painter, twoDigits(hour) + ":00",
                              Rect{frame.x, y - hourLabelRise, hourLabelWidth, hourLabelHeight},
                              label);
                lastLabelY = y;
            }
            const bool last = hour == day.endHour;
            const Color line =
                glass ? Palette::ink.withAlpha(last ? 0.28 : 0.11) : Palette::rule.withAlpha(0.5);
            painter.fillRect(
                Rect{frame.x + hourColumn, y, frame.width - hourColumn, last ? 1.0 : 0.6}, line);
            if (hour < day.endHour) {
                if (auto half = atTime(day.dayStart, hour, 30, renderer.calendar);
                    half && *half > day.startDate && *half < day.endDate) {
                    const double halfY = layout.y(*half);
                    painter.dashedLine(Point{frame.x + hourColumn, halfY},
                                       Point{frame.x + frame.width, halfY}, 0.7, 3, 5,
                                       glass ? Palette::ink.withAlpha(0.14)
                                             : Palette::rule.withAlpha(0.42));
                }
            }
        }
    }

    void nowLine() const {
        if (!nowVisible())
            return;
        const Rect& frame = layout.frame;
        const Date now = renderer.snapshot.date;
        const double y = layout.y(now);
        painter.fillRect(Rect{frame.x + nowLineLeft, y - nowLineWidth / 2,
                              frame.width - nowLineLeft, nowLineWidth},
                         nowRed);
        painter.fillEllipse(Rect{frame.x + nowDotLeft, y - nowDot / 2, nowDot, nowDot}, nowRed);
        renderer.text(painter, hhmm(now),
                      Rect{frame.x, y - nowLabelRise, nowLabelWidth, nowLabelHeight},
                      {.size = 11, .bold = true, .color = nowRed, .monospacedDigits = true});
    }

    // The blocks of a group's timed events, side by side in lanes where they overlap.
    void events(const TimelineColumn& column, std::size_t index) const {
        const Date now = renderer.snapshot.date;
        const Color accent = renderer.eventAccent(column.group);
        const auto placed = assignLanes(column.timed);
        for (std::size_t k = 0; k < placed.size(); ++k) {
            const Placed& item = placed[k];
            const AgendaEvent& event = item.event;
            const int lanes = laneCount(item, placed);
            const double laneWidth = (layout.columnWidth - laneGap * (lanes - 1)) / lanes;
            const double top = layout.y(std::max(event.start, day.startDate)) + blockInset;
            double height = std::min(
                std::max(leastBlock, layout.y(std::min(event.end, day.endDate)) - top - blockInset),
                layout.gridBottom - top - 1);
            // A short event's smallest block stops above the next block of its lane, keeping a
            // sliver when that one starts right after it.
            const auto next =
                std::find_if(placed.begin() + static_cast<std::ptrdiff_t>(k) + 1, placed.end(),
                             [&](const Placed& p) { return p.lane == item.lane; });
            if (next != placed.end()) {
                const double nextTop =
                    layout.y(std::max(next->event.start, day.startDate)) + blockInset;
                height = std::min(height, std::max(leastSliver, nextTop - top - 1));
            }
            const bool current = event.start <= now && now < event.end;
            const bool past = event.end <= now;
            const Rect block{layout.columnX(index) + (laneWidth + laneGap) * item.lane, top,
                             laneWidth, height};

            painter.fillRoundedRect(block, blockRadius,
                                    current ? accent.withAlpha(0.23)
                                            : Color::rgb(1, 1, 1).withAlpha(past ? 0.4 : 0.65));
            painter.pushRoundedClip(block, blockRadius);
            painter.fillRect(Rect{block.x, top, blockBar[current], height},
                             current ? accent : accent.withAlpha(past ? 0.35 : 0.68));
            painter.popClip();

            // A block cut to a sliver by the grid bottom or the next block of its lane has no room
            // even for the letters of a line.
            if (height >= minimumTextBlock)
                blockText(event, block, current ? accent : Palette::secondary, current, past);
        }
    }

    void blockText(const AgendaEvent& event, const Rect& block, Color firstColor, bool current,
                   bool past) const {
        const double x = block.x + blockTextLeft;
        const double top = block.y;
        const double height = block.height;
        const double width = std::max(blockTextLeastWidth, block.width - blockTextRightInset);
        const bool large = block.width >= largeBlockWidth;
        const std::string start = hhmm(event.start);
        const std::string range = start + "–" + hhmm(event.end);
        const Color titleColor = past ? Palette::secondary : Palette::ink;
        if (height >= twoLineBlock) {
            const std::string prefix =
                current ? AgendaLanguage::text("● ORA  ·  ", "● NOW  ·  ") : "";
            renderer.text(
                painter, prefix + range, Rect{x, top + 4, width, 15},
                {.size = 11, .bold = current, .color = firstColor, .monospacedDigits = !current});
            renderer.text(painter, event.title, Rect{x, top + 20, width, height - 22},
                          {.size = large ? 13.0 : 11.0,
                           .bold = current,
                           .color = titleColor,
                           .wraps = height > wrappingTitleBlock});
        } else if (height >= twoSmallLineBlock) {
            renderer.text(
                painter, width >= rangeWidth ? range : start, Rect{x, top + 1, width, 12},
                {.size = 10, .bold = current, .color = firstColor, .monospacedDigits = true});
            renderer.text(painter, event.title, Rect{x, top + 13, width, height - 14},
                          {.size = large ? 11.0 : 10.0, .bold = current, .color = titleColor});
        } else {
            const std::string line =
                (width >= rangeAndTitleWidth ? range : start) + "  " + event.title;
            const TextStyle style{.size = large ? 10.0 : 9.0, .bold = current, .color = titleColor};
            const double lineHeight = style.size * 1.18;
            if (height >= lineHeight + 1) {
                renderer.text(painter, line, Rect{x, top + 1, width, std::max(11.0, height - 2)},
                              style);
            } else {
                // A block cut below its line by the next block of its lane or the grid bottom:
                // the line is centred on it and cut to it, so that its letters stay inside rather
                // than run under what follows.
                painter.pushRoundedClip(block, 0);
                renderer.text(painter, line,
                              Rect{x, top + (height - lineHeight) / 2, width, lineHeight}, style);
                painter.popClip();
            }
        }
    }

    // The events of the day outside the grid: all-day ones and those outside the visible hours.
    void strip(const TimelineColumn& column, std::size_t index) const {
        if (column.stripEvents.empty())
            return;
        const double x = layout.columnX(index);
        const double width = layout.columnWidth;
        const double top = layout.gridBottom + stripTop;
        auto hidden = [&](std::size_t count, double y) {
            renderer.text(painter,
                          "+" + eventCount(count) + AgendaLanguage::text(" nel menu", " in menu"),
                          Rect{x, y, width, stripOverflowHeight}, WallpaperTextStyle::note);
        };
        if (layout.stripRows == 0) {
            hidden(column.stripEvents.size(), top);
            return;
        }
        renderer.text(painter, AgendaLanguage::text("ALTRI EVENTI", "OTHER EVENTS"),
                      Rect{x, top, width, stripHeadingHeight},
                      {.size = 10, .bold = true, .color = Palette::secondary});
        auto rowY = [&](std::size_t row) {
            return layout.gridBottom + stripRowsTop + stripRow * static_cast<double>(row);
        };
        const std::size_t shown = std::min(layout.stripRows, column.stripEvents.size());
        for (std::size_t j = 0; j < shown; ++j) {
            const AgendaEvent& event = column.stripEvents[j];
            const std::string label =
                event.allDay ? AgendaLanguage::text("Giornata", "All day") : hhmm(event.start);
            renderer.text(painter, label + "  " + event.title,
                          Rect{x, rowY(j), width, stripRowHeight},
                          {.size = 12, .color = Palette::ink});
        }
        if (column.stripEvents.size() > layout.stripRows)
            hidden(column.stripEvents.size() - layout.stripRows, rowY(layout.stripRows));
    }
};

} // namespace

double TimelineLayout::columnX(std::size_t column) const {
    return frame.x + hourColumn + (columnWidth + columnGap) * static_cast<double>(column);
}

double TimelineLayout::y(Date instant) const {
    return gridTop + gridHeight * std::clamp(seconds(start, instant) / span, 0.0, 1.0);
}

TimelineLayout TimelineLayout::of(const WallpaperRenderer& renderer, const Rect& rect) {
    return timelineLayout(timelineDay(renderer), rect);
}

double WallpaperRenderer::timelineLeastHeight() const {
    const double least = gridTopInset + minimumGrid + gridBottomInset;
    return timelineDay(*this).mostStrip > 0 ? least + hintOnlyStrip : least;
}

void WallpaperRenderer::todayTimeline(Painter& painter, const Rect& rect) const {
    const TimelineDay day = timelineDay(*this);
    const TimelineLayout layout = timelineLayout(day, rect);
    const TimelinePainter timeline{*this, painter, day, layout};
    timeline.groupHeaders();
    timeline.hourGrid();
    timeline.nowLine();
    for (std::size_t i = 0; i < day.columns.size(); ++i) {
        if (!day.columns[i].availability.hasData())
            continue;
        timeline.events(day.columns[i], i);
        timeline.strip(day.columns[i], i);
    }
}

} // namespace brivane
