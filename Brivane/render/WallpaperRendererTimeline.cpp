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

struct Placed {
    AgendaEvent event;
    int lane;
    Date shownStart;
    Date shownEnd;
};

bool overlaps(const Placed& a, const Placed& b) {
    return a.shownStart < b.shownEnd && a.shownEnd > b.shownStart;
}

// Overlapping events share the column side by side: each takes the first lane free at its start.
// An event occupies at least the time its smallest block covers on the grid (`shortest`), so
// that short blocks never cover the one that follows them.
std::vector<Placed> assignLanes(std::vector<AgendaEvent> timed, Date gridStart,
                                Date::duration shortest) {
    std::stable_sort(timed.begin(), timed.end(), [](const AgendaEvent& a, const AgendaEvent& b) {
        return a.start != b.start ? a.start < b.start : a.end < b.end;
    });
    std::vector<Date> laneEnds;
    std::vector<Placed> placed;
    for (auto& event : timed) {
        const Date shownStart = event.start;
        const Date shownEnd = std::max(event.end, std::max(event.start, gridStart) + shortest);
        auto free = std::find_if(laneEnds.begin(), laneEnds.end(),
                                 [&](Date end) { return end <= shownStart; });
        int lane;
        if (free != laneEnds.end()) {
            lane = static_cast<int>(free - laneEnds.begin());
            *free = shownEnd;
        } else {
            lane = static_cast<int>(laneEnds.size());
            laneEnds.push_back(shownEnd);
        }
        placed.push_back({std::move(event), lane, shownStart, shownEnd});
    }
    return placed;
}

int laneCount(const Placed& item, const std::vector<Placed>& placed) {
    int largest = 0;
    for (const auto& other : placed)
        if (overlaps(item, other))
            largest = std::max(largest, other.lane);
    return largest + 1;
}

// The group headers above the grid, the room under it, and the grid's least height.
constexpr double gridTopInset = 43;
constexpr double gridBottomInset = 5;
constexpr double minimumGrid = 50;

} // namespace

double WallpaperRenderer::timelineLeastHeight() {
    return gridTopInset + minimumGrid + gridBottomInset;
}

void WallpaperRenderer::todayTimeline(Painter& painter, const Rect& rect) const {
    const double x = rect.x;
    const double y = rect.y;
    const double w = rect.width;
    const double h = rect.height;
    const Date now = snapshot.date;
    const bool glass = style == WallpaperStyle::glass;

    const int startHour = std::clamp(timelineStartHour, 0, 23);
    const int endHour = std::min(std::max(timelineEndHour, startHour + 1), 24);
    const Date dayStart = calendar.startOfDay(now);
    const Date startDate = atTime(dayStart, startHour, 0, calendar).value_or(dayStart);
    const Date endDate = endHour < 24 ? atTime(dayStart, endHour, 0, calendar)
                                            .value_or(dayStart + std::chrono::seconds(72000))
                                      : nextDayStart(dayStart, calendar);
    const double span = std::max(1.0, seconds(startDate, endDate));
    const double gap = w >= 720 ? 24 : 13;
    const double colW = std::max(30.0, (w - 51 - gap) * 0.5);
    auto columnX = [&](std::size_t i) { return x + 51 + (colW + gap) * static_cast<double>(i); };

    struct Column {
        AgendaGroup group = AgendaGroup::ostrid;
        GroupAvailability availability = GroupAvailability::unavailable();
        std::vector<AgendaEvent> dayEvents;
        std::vector<AgendaEvent> stripEvents;
        std::vector<AgendaEvent> timed;
    };
    std::vector<Column> columns;
    std::size_t mostStrip = 0;
    for (AgendaGroup group : allAgendaGroups) {
        Column column;
        column.group = group;
        if (auto found = snapshot.availability.find(group); found != snapshot.availability.end())
            column.availability = found->second;
        column.dayEvents = snapshot.eventsOn(now, group, calendar);
        for (const auto& event : column.dayEvents) {
            if (event.allDay || event.end <= startDate || event.start >= endDate)
                column.stripEvents.push_back(event);
            else
                column.timed.push_back(event);
        }
        mostStrip = std::max(mostStrip, column.stripEvents.size());
        columns.push_back(std::move(column));
    }

    const std::size_t cap = h < 300 ? 1 : 3;
    std::size_t stripRows = std::min(cap, mostStrip);
    auto overflows = [&](std::size_t rows) {
        return std::any_of(columns.begin(), columns.end(),
                           [&](const Column& column) { return column.stripEvents.size() > rows; });
    };
    auto stripHeight = [&](std::size_t rows) {
        return rows == 0 ? 0.0 : 19.0 * static_cast<double>(rows) + 27 + (overflows(rows) ? 17 : 0);
    };
    // A timeline too low for its smallest grid and the strip drops the strip rather than
    // spilling it over what lies below.
    const double insets = gridTopInset + gridBottomInset;
    if (stripRows > 0 && h - insets - stripHeight(stripRows) < minimumGrid)
        stripRows = 0;
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
        const Column& column = columns[i];
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
    // On a short grid the labels would pile up: one is skipped when it would overlap the last.
    constexpr double labelHeight = 16;
    double lastLabelY = -std::numeric_limits<double>::infinity();
    for (int hour = startHour; hour <= endHour; ++hour) {
        const Date instant =
            hour == 24 ? endDate : atTime(dayStart, hour, 0, calendar).value_or(endDate);
        const double Y = yOf(instant);
        if (!(nowVisible && std::abs(nowY - Y) < 25) && Y - lastLabelY >= labelHeight) {
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
        const Column& column = columns[i];
        if (!column.availability.hasData())
            continue;
        const Color accent = eventAccent(column.group);
        // The smallest block is 13 points high, 2 below its start.
        const auto shortest = std::chrono::duration_cast<Date::duration>(
            std::chrono::duration<double>(13.0 * span / gridH));
        const auto placed = assignLanes(column.timed, startDate, shortest);
        for (const auto& item : placed) {
            const AgendaEvent& event = item.event;
            const int lane = item.lane;
            const int lanes = laneCount(item, placed);
            const Date vs = std::max(event.start, startDate);
            const Date ve = std::min(event.end, endDate);
            const double laneW = (colW - 3.0 * (lanes - 1)) / lanes;
            const double bx = columnX(i) + (laneW + 3) * lane;
            const double top = yOf(vs) + 2;
            const double height = std::min(std::max(13.0, yOf(ve) - top - 2), gridBottom - top - 1);
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

            // A block cut short by the grid bottom on a cramped grid has no room for a line;
            // its text would run into what lies below.
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
                text(painter, (tw >= 160 ? range : start) + "  " + event.title,
                     Rect{tx, top + 1, tw, std::max(11.0, height - 2)}, large ? 10 : 9, current,
                     titleColor, false, 1);
            }
        }

        if (stripRows == 0 || column.stripEvents.empty())
            continue;
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
