#include "Brivane/render/WallpaperLayout.h"
#include "Brivane/render/WallpaperRenderer.h"
#include "Brivane/render/WallpaperRendererText.h"
#include "Brivane/render/WallpaperText.h"
#include "BrivaneCore/AgendaLanguage.h"
#include "BrivaneCore/AgendaSelection.h"

#include <algorithm>
#include <cmath>

namespace brivane {

namespace {

constexpr double minimumSection = WallpaperRenderer::reminderSectionLeast;

// A reminder section: its heading, then a row per task (the mark, the title's lines, the due
// line) or a message; the overflow line under the rows.
constexpr double headingTop = 4;
constexpr double headingHeight = 20;
constexpr double rowsTop = 30;
constexpr double neededAboveRows = 34; // heading and margins, when every row is shown
constexpr double budgetAboveRows = 32; // what a row may not reach into
constexpr double overflowLine = 18;    // kept for "+N tasks" when not every row fits
constexpr double overflowHeight = 19;
constexpr double markWidth = 17;
constexpr double markHeight = 22;
constexpr double titleIndent = 21;
constexpr double titleLine = 20;
constexpr double titleSize = 16;
constexpr double mostTitleLines = 3;
constexpr double dueLine = 18;
constexpr double dueHeight = 16;
constexpr double rowGap = 9;
constexpr double messageHeight = 22;
constexpr double wrappedMessageHeight = 42;

// A day of the week: its heading, then a block per group (half of the rest each): the group's
// name line and its events' lines. A block lower than compactGroup has one line: name and count.
constexpr double dayHeadingHeight = 21;
constexpr double groupEventsTop = 17;
constexpr double eventRow = 21;
constexpr int mostEventRows = 3;
constexpr double compactGroup = 40;
constexpr double absentHeight = 20;

// A message in place of a section's tasks, on one line or up to two.
constexpr TextStyle message{.size = 14, .color = Palette::secondary};
constexpr TextStyle wrappedMessage{.size = 14, .color = Palette::secondary, .wraps = true};

double rowHeight(const ReminderItem& item, int lines) {
    return titleLine * lines + (item.due ? dueLine : 0) + rowGap;
}

} // namespace

int WallpaperRenderer::reminderTitleLines(const ReminderItem& item, double width) const {
    const double measured = WallpaperText::shared().width(item.title, titleSize, false);
    const double lines = std::ceil(measured / std::max(width - titleIndent, 1.0));
    return static_cast<int>(std::clamp(lines, 1.0, mostTitleLines));
}

namespace {

// The row heights of a section's tasks at a width; none when the section shows a message instead.
std::vector<double> sectionRows(const WallpaperRenderer& renderer, ReminderSection section,
                                double width) {
    const ReminderSnapshot& data = renderer.snapshot.reminders;
    if (data.state != ReminderAvailability::available)
        return {};
    if (renderer.reminderMode == ReminderGrouping::namedLists && !data.hasList(section))
        return {};
    std::vector<double> rows;
    for (const auto& item : data.itemsIn(section, renderer.reminderMode, renderer.snapshot.date,
                                         renderer.calendar, renderer.reminderListIDs))
        rows.push_back(rowHeight(item, renderer.reminderTitleLines(item, width)));
    return rows;
}

// The heading and margins above the rows, and the rows; at least the smallest section.
double neededHeight(const std::vector<double>& rows) {
    double total = neededAboveRows;
    for (double row : rows)
        total += row;
    return rows.empty() ? minimumSection : std::max(minimumSection, total);
}

// How many rows a section of height `h` shows, and the points they take: all of them when they
// fit under the heading, otherwise as many as fit with room kept for the overflow line.
struct ShownRows {
    std::size_t count = 0;
    double used = 0;
};

ShownRows shownRows(const std::vector<double>& rows, double h) {
    double total = 0;
    for (double row : rows)
        total += row;
    const double budget = total <= h - budgetAboveRows
                              ? std::max(0.0, h - budgetAboveRows)
                              : std::max(0.0, h - (budgetAboveRows + overflowLine));
    ShownRows shown;
    for (double row : rows) {
        if (shown.used + row > budget)
            break;
        shown.used += row;
        ++shown.count;
    }
    return shown;
}

} // namespace

double WallpaperRenderer::reminderNeededHeight(ReminderSection section, double width) const {
    return neededHeight(sectionRows(*this, section, width));
}

double WallpaperRenderer::reminderLeastHeight(ReminderSection section, double width) const {
    const auto rows = sectionRows(*this, section, width);
    if (rows.empty())
        return minimumSection;
    // The first row with the heading and overflow line around it (see `reminders`).
    return std::min(neededHeight(rows),
                    std::max(minimumSection, budgetAboveRows + overflowLine + rows.front()));
}

double WallpaperRenderer::reminderFilledHeight(ReminderSection section, double width,
                                               double height) const {
    const auto rows = sectionRows(*this, section, width);
    if (rows.empty())
        return minimumSection;
    const ShownRows shown = shownRows(rows, height);
    if (shown.count == rows.size())
        return std::min(height, neededHeight(rows));
    return std::max(minimumSection, shown.used + (budgetAboveRows + overflowLine));
}

void WallpaperRenderer::reminders(Painter& painter, ReminderSection section,
                                  const Rect& rect) const {
    const double x = rect.x;
    const double y = rect.y;
    const double w = rect.width;
    const double h = rect.height;
    const Date now = snapshot.date;
    const ReminderSnapshot& data = snapshot.reminders;

    std::string heading;
    if (reminderMode == ReminderGrouping::selectedLists) {
        if (auto chosen = data.selectedListTitle(section, reminderListIDs)) {
            heading = *chosen;
        } else {
            const auto position =
                std::find(allReminderSections.begin(), allReminderSections.end(), section) -
                allReminderSections.begin() + 1;
            heading = AgendaLanguage::text("BLOCCO ", "BLOCK ") + std::to_string(position);
        }
    } else {
        heading = title(section);
    }
    text(painter, "TO-DO / " + upperCased(heading, calendar),
         Rect{x, y + headingTop, w, headingHeight}, WallpaperTextStyle::heading);

    const double Y = y + rowsTop;
    if (data.state != ReminderAvailability::available) {
        text(painter, label(data.state), Rect{x, Y, w, wrappedMessageHeight}, wrappedMessage);
        return;
    }
    if (reminderMode == ReminderGrouping::selectedLists &&
        !data.hasSelectedList(section, reminderListIDs)) {
        text(painter,
             AgendaLanguage::text("Seleziona un elenco nelle impostazioni",
                                  "Choose a list in Settings"),
             Rect{x, Y, w, wrappedMessageHeight}, wrappedMessage);
        return;
    }
    if (reminderMode == ReminderGrouping::namedLists && !data.hasList(section)) {
        text(painter, AgendaLanguage::text("Elenco non disponibile", "List unavailable"),
             Rect{x, Y, w, messageHeight}, message);
        return;
    }
    const auto items = data.itemsIn(section, reminderMode, now, calendar, reminderListIDs);
    if (items.empty()) {
        text(painter, AgendaLanguage::text("Nessuna attività", "No tasks"),
             Rect{x, Y, w, messageHeight}, WallpaperTextStyle::absent);
        return;
    }

    std::vector<int> lines;
    std::vector<double> rows;
    for (const auto& item : items) {
        lines.push_back(reminderTitleLines(item, w));
        rows.push_back(rowHeight(item, lines.back()));
    }
    const std::size_t shown = shownRows(rows, h).count;
    double used = 0;
    std::size_t drawn = 0;
    for (; drawn < shown; ++drawn) {
        const ReminderItem& item = items[drawn];
        const int n = lines[drawn];
        const double RY = Y + used;
        const bool overdue = item.overdue(now, calendar);
        const Color flag = overdue ? Palette::accent : Palette::secondary;
        text(painter, "○", Rect{x, RY, markWidth, markHeight}, {.size = 15, .color = flag});
        text(painter, item.title, Rect{x + titleIndent, RY, w - titleIndent, titleLine * n},
             {.size = titleSize, .bold = overdue, .color = Palette::ink, .wraps = n > 1});
        if (item.due)
            text(painter, item.dueLabel(now, calendar),
                 Rect{x + titleIndent, RY + titleLine * n, w - titleIndent, dueHeight},
                 {.size = 11, .color = flag});
        used += rows[drawn];
    }
    if (drawn < items.size()) {
        text(painter,
             hiddenTaskCount(items.size() - drawn) +
                 AgendaLanguage::text(" · nel menu", " · in menu"),
             Rect{x, Y + used, w, overflowHeight}, {.size = 12, .color = Palette::secondary});
    }
}

void WallpaperRenderer::future(Painter& painter, Date date, const Rect& rect) const {
    const double x = rect.x;
    const double y = rect.y;
    const double w = rect.width;
    const double h = rect.height;
    text(painter, upperCased(AgendaDates::string(date, "EEE d", calendar), calendar),
         Rect{x, y, w, dayHeadingHeight}, {.size = 16, .bold = true, .color = Palette::ink});

    const double groupH = (h - WallpaperLayout::Day::headingBand) * 0.5;
    const int maxRows =
        std::clamp(static_cast<int>((groupH - groupEventsTop) / eventRow), 0, mostEventRows);
    const bool compact = groupH < compactGroup;
    const Date dayStart = calendar.startOfDay(date);
    for (std::size_t i = 0; i < allAgendaGroups.size(); ++i) {
        const AgendaGroup group = allAgendaGroups[i];
        const double top = y + WallpaperLayout::Day::headingBand + groupH * static_cast<double>(i);
        const auto events = snapshot.eventsOn(date, group, calendar);
        const auto found = snapshot.availability.find(group);
        const bool hasData = found != snapshot.availability.end() && found->second.hasData();
        const std::string name = upperCased(groupName(group), calendar);
        const std::string none = AgendaLanguage::text("Nessun evento", "No events");
        const std::string unavailable = AgendaLanguage::text("Non disponibile", "Unavailable");

        if (compact) {
            std::string summary = unavailable;
            if (hasData && !events.empty()) {
                summary = eventCount(events.size());
            } else if (hasData) {
                summary = none;
            }
            text(painter, name + " · " + summary,
                 Rect{x, top, w, std::max(groupH, WallpaperLayout::Day::nameLine)},
                 {.size = 13, .color = eventAccent(group)});
            continue;
        }

        const auto visible = AgendaSelection::visible(events, maxRows, snapshot.date, false);
        const std::size_t hidden = events.size() - visible.size();
        std::string line = name;
        if (hidden >= 1) {
            line += " · +" + eventCount(hidden);
        }
        text(painter, line, Rect{x, top, w, WallpaperLayout::Day::nameLine},
             {.size = 11, .bold = true, .color = eventAccent(group)});
        if (hasData && !events.empty()) {
            for (std::size_t j = 0; j < visible.size(); ++j) {
                const AgendaEvent& event = visible[j];
                std::string label;
                if (event.allDay)
                    label = AgendaLanguage::text("Giornata", "All day");
                else if (event.start < dayStart)
                    label = AgendaLanguage::text("Continua", "Continues");
                else
                    label = AgendaDates::string(event.start, "HH:mm", calendar);
                text(painter, label + "  " + event.title,
                     Rect{x, top + groupEventsTop + eventRow * static_cast<double>(j), w, eventRow},
                     WallpaperTextStyle::eventLine);
            }
        } else {
            text(painter, hasData ? none : unavailable,
                 Rect{x, top + groupEventsTop, w, absentHeight}, WallpaperTextStyle::absent);
        }
    }
}

} // namespace brivane
