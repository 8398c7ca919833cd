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
// A strip with no room for rows keeps its "+N" line where its heading would be.
constexpr double hintOnlyStrip = 11 + 17;
// The text line of an hour label (size 11 × 1.18); two labels closer than that would touch.
constexpr double hourLabelLine = 11 * 1.18;

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

} // namespace

double WallpaperRenderer::timelineLeastHeight() const {
    const double least = gridTopInset + minimumGrid + gridBottomInset;
    return timelineDay(*this).mostStrip > 0 ? least + hintOnlyStrip : least;
}

void WallpaperRenderer::todayTimeline(Painter& painter, const Rect& rect) const {
    const double x = rect.x;
    const double y = rect.y;
    const double w = rect.width;
    const double h = rect.height;
    const Date now = snapshot.date;
    const bool glass = style == WallpaperStyle::glass;

    const TimelineDay day = timelineDay(*this);
    const int startHour = day.startHour;
    const int endHour = day.endHour;
    const Date dayStart = day.dayStart;
    const Date startDate = day.startDate;
    const Date endDate = day.endDate;
    const auto& columns = day.columns;
    const double span = std::max(1.0, seconds(startDate, endDate));
    const double gap = w >= 720 ? 24 : 13;
    const double colW = std::max(30.0, (w - 51 - gap) * 0.5);
    auto columnX = [&](std::size_t i) { return x + 51 + (colW + gap) * static_cast<double>(i); };

    const std::size_t cap = h < 300 ? 1 : 3;
    std::size_t stripRows = std::min(cap, day.mostStrip);
    auto overflows = [&](std::size_t rows) {
        return std::any_of(columns.begin(), columns.end(), [&](const TimelineColumn& column) {
            return column.stripEvents.size() > rows;
        });
    };
    auto stripHeight = [&](std::size_t rows) {
        if (day.mostStrip == 0)
            return 0.0;
        if (rows == 0)
            return hintOnlyStrip;
        return 19.0 * static_cast<double>(rows) + 27 + (overflows(rows) ? 17 : 0);
    };
    // A timeline too low for its smallest grid and the strip gives up rows of the strip rather
    // than spilling over what lies below; the "+N" line stays, so no event goes without a hint.
    const double insets = gridTopInset + gridBottomInset;
    while (stripRows > 0 && h - insets - stripHeight(stripRows) < minimumGrid)
        --stripRows;
    const double stripH = stripHeight(stripRows);
    const double gridTop = y + gridTopInset;
    const double gridH = std::max(minimumGrid, h - insets - stripH);
    const double gridBottom = gridTop + gridH;
    auto yOf = [&](Date t) {
        return gridTop + gridH * std::clamp(seconds(startDate, t) / span, 0.0, 1.0);
    };
    auto hhmm = [&](Date t) { return AgendaDates::string(t, "HH:mm", calendar); };

    // 1. Group headers.
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const TimelineColumn& column = columns[i];
        const GroupAvailability& a = column.availability;
        const std::string count =
            a.hasData() ? twoDigits(static_cast<int>(column.dayEvents.size())) : "—";
        text(painter, upperCased(groupName(column.group), calendar) + " (" + count + ")",
             Rect{columnX(i), y + 2, colW, 25}, 17, true, eventAccent(column.group), false, 1);
        if (!a.hasData())
            text(painter, a.label(), Rect{columnX(i), gridTop + 12, colW, 35}, 13, false,
                 Palette::secondary, false, 2);
        else if (a.kind() == GroupAvailability::Kind::partial)
            text(painter, a.label(), Rect{columnX(i), y + 25, colW, 16}, 11, false,
                 Palette::secondary, false, 1);
    }

    // 2. Hour grid.
    const bool nowVisible = startDate <= now && now < endDate;
    const double nowY = yOf(now);
    // On a short grid the labels would pile up: one is skipped when its line would touch the
    // last one's.
    constexpr double labelHeight = 16;
    double lastLabelY = -std::numeric_limits<double>::infinity();
    for (int hour = startHour; hour <= endHour; ++hour) {
        const Date instant =
            hour == 24 ? endDate : atTime(dayStart, hour, 0, calendar).value_or(endDate);
        const double Y = yOf(instant);
        if (!(nowVisible && std::abs(nowY - Y) < 25) && Y - lastLabelY >= hourLabelLine) {
            text(painter, twoDigits(hour) + ":00", Rect{x, Y - 8, 43, labelHeight}, 11, false,
                 Palette::secondary, true, 1);
            lastLabelY = Y;
        }
        const bool last = hour == endHour;
        const Color line =
            glass ? Palette::ink.withAlpha(last ? 0.28 : 0.11) : Palette::rule.withAlpha(0.5);
        painter.fillRect(Rect{x + 51, Y, w - 51, last ? 1.0 : 0.6}, line);
        if (hour < endHour) {
            if (auto half = atTime(dayStart, hour, 30, calendar);
                half && *half > startDate && *half < endDate) {
                const double hy = yOf(*half);
                painter.dashedLine(Point{x + 51, hy}, Point{x + w, hy}, 0.7, 3, 5,
                                   glass ? Palette::ink.withAlpha(0.14)
                                         : Palette::rule.withAlpha(0.42));
            }
        }
    }

    // 3. Now line.
    if (nowVisible) {
        painter.fillRect(Rect{x + 48, nowY - 1, w - 48, 2}, nowRed);
        painter.fillEllipse(Rect{x + 44, nowY - 5, 10, 10}, nowRed);
        text(painter, hhmm(now), Rect{x, nowY - 21, 46, 18}, 11, true, nowRed, true, 1);
    }

    // 4–6. Per group: lanes, event blocks, the strip of other events.
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const TimelineColumn& column = columns[i];
        if (!column.availability.hasData())
            continue;
        const Color accent = eventAccent(column.group);
        const auto placed = assignLanes(column.timed);
        for (std::size_t k = 0; k < placed.size(); ++k) {
            const Placed& item = placed[k];
            const AgendaEvent& event = item.event;
            const int lane = item.lane;
            const int lanes = laneCount(item, placed);
            const Date vs = std::max(event.start, startDate);
            const Date ve = std::min(event.end, endDate);
            const double laneW = (colW - 3.0 * (lanes - 1)) / lanes;
            const double bx = columnX(i) + (laneW + 3) * lane;
            const double top = yOf(vs) + 2;
            double height = std::min(std::max(13.0, yOf(ve) - top - 2), gridBottom - top - 1);
            // A short event's smallest block stops above the next block of its lane, keeping a
            // sliver when that one starts right after it.
            const auto next =
                std::find_if(placed.begin() + static_cast<std::ptrdiff_t>(k) + 1, placed.end(),
                             [&](const Placed& p) { return p.lane == lane; });
            if (next != placed.end()) {
                const double nextTop = yOf(std::max(next->event.start, startDate)) + 2;
                height = std::min(height, std::max(2.0, nextTop - top - 1));
            }
            const bool current = event.start <= now && now < event.end;
            const bool past = event.end <= now;
            const Rect block{bx, top, laneW, height};

            painter.fillRoundedRect(block, 6,
                                    current ? accent.withAlpha(0.23)
                                            : Color::rgb(1, 1, 1).withAlpha(past ? 0.4 : 0.65));
            painter.pushRoundedClip(block, 6);
            painter.fillRect(Rect{bx, top, current ? 4.0 : 3.0, height},
                             current ? accent : accent.withAlpha(past ? 0.35 : 0.68));
            painter.popClip();

            // A block cut to a sliver by the grid bottom or the next block of its lane has no room
            // even for the letters of a line.
            if (height < minimumTextBlock)
                continue;
            const double tx = bx + 9;
            const double tw = std::max(12.0, laneW - 14);
            const bool large = laneW >= 125;
            const std::string start = hhmm(event.start);
            const std::string range = start + "–" + hhmm(event.end);
            const Color firstColor = current ? accent : Palette::secondary;
            const Color titleColor = past ? Palette::secondary : Palette::ink;
            if (height >= 40) {
                const std::string prefix =
                    current ? AgendaLanguage::text("● ORA  ·  ", "● NOW  ·  ") : "";
                text(painter, prefix + range, Rect{tx, top + 4, tw, 15}, 11, current, firstColor,
                     !current, 1);
                text(painter, event.title, Rect{tx, top + 20, tw, height - 22}, large ? 13 : 11,
                     current, titleColor, false, height > 58 ? 2 : 1);
            } else if (height >= 26) {
                text(painter, tw >= 95 ? range : start, Rect{tx, top + 1, tw, 12}, 10, current,
                     firstColor, true, 1);
                text(painter, event.title, Rect{tx, top + 13, tw, height - 14}, large ? 11 : 10,
                     current, titleColor, false, 1);
            } else {
                const std::string line = (tw >= 160 ? range : start) + "  " + event.title;
                const double size = large ? 10 : 9;
                const double lineHeight = size * 1.18;
                if (height >= lineHeight + 1) {
                    text(painter, line, Rect{tx, top + 1, tw, std::max(11.0, height - 2)}, size,
                         current, titleColor, false, 1);
                } else {
                    // A block cut below its line by the next block of its lane or the grid
                    // bottom: the line is centred on it and cut to it, so that its letters stay
                    // inside rather than run under what follows.
                    painter.pushRoundedClip(block, 0);
                    text(painter, line, Rect{tx, top + (height - lineHeight) / 2, tw, lineHeight},
                         size, current, titleColor, false, 1);
                    painter.popClip();
                }
            }
        }

        if (column.stripEvents.empty())
            continue;
        if (stripRows == 0) {
            text(painter,
                 "+" + eventCount(column.stripEvents.size()) +
                     AgendaLanguage::text(" nel menu", " in menu"),
                 Rect{columnX(i), gridBottom + 11, colW, 16}, 11, false, Palette::secondary, false,
                 1);
            continue;
        }
        text(painter, AgendaLanguage::text("ALTRI EVENTI", "OTHER EVENTS"),
             Rect{columnX(i), gridBottom + 11, colW, 15}, 10, true, Palette::secondary, false, 1);
        const std::size_t shown = std::min(stripRows, column.stripEvents.size());
        for (std::size_t j = 0; j < shown; ++j) {
            const AgendaEvent& event = column.stripEvents[j];
            const std::string label =
                event.allDay ? AgendaLanguage::text("Giornata", "All day") : hhmm(event.start);
            text(painter, label + "  " + event.title,
                 Rect{columnX(i), gridBottom + 27 + 19.0 * static_cast<double>(j), colW, 18}, 12,
                 false, Palette::ink, false, 1);
        }
        if (column.stripEvents.size() > stripRows) {
            text(
                painter,
                "+" + eventCount(column.stripEvents.size() - stripRows) +
                    AgendaLanguage::text(" nel menu", " in menu"),
                Rect{columnX(i), gridBottom + 27 + 19.0 * static_cast<double>(stripRows), colW, 16},
                11, false, Palette::secondary, false, 1);
        }
    }
}

} // namespace brivane
