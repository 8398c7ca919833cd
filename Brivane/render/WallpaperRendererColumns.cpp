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

// A message in place of a section's tasks, on one line or up to two.
constexpr TextStyle message{.size = 14, .color = Palette::secondary};
constexpr TextStyle wrappedMessage{.size = 14, .color = Palette::secondary, .wraps = true};

double rowHeight(const ReminderItem& item, int lines) {
    return 20.0 * lines + (item.due ? 18 : 0) + 9;
}

} // namespace

int WallpaperRenderer::reminderTitleLines(const ReminderItem& item, double width) const {
    const double measured = WallpaperText::shared().width(item.title, 16, false);
    const double lines = std::ceil(measured / std::max(width - 21, 1.0));
    return static_cast<int>(std::clamp(lines, 1.0, 3.0));
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

// 34 points of heading and margins above the rows, at least the smallest section.
double neededHeight(const std::vector<double>& rows) {
    double total = 34;
    for (double row : rows)
        total += row;
    return rows.empty() ? minimumSection : std::max(minimumSection, total);
}

// How many rows a section of height `h` shows, and the points they take: all of them when they
// fit under the heading, otherwise as many as fit with 18 more points kept for the overflow line.
struct ShownRows {
    std::size_t count = 0;
    double used = 0;
};

ShownRows shownRows(const std::vector<double>& rows, double h) {
    double total = 0;
    for (double row : rows)
        total += row;
    const double budget = total <= h - 32 ? std::max(0.0, h - 32) : std::max(0.0, h - 50);
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
    // The first row and the 50 points of heading and overflow line around it (see `reminders`).
    return std::min(neededHeight(rows), std::max(minimumSection, 50 + rows.front()));
}

double WallpaperRenderer::reminderFilledHeight(ReminderSection section, double width,
                                               double height) const {
    const auto rows = sectionRows(*this, section, width);
    if (rows.empty())
        return minimumSection;
    const ShownRows shown = shownRows(rows, height);
    if (shown.count == rows.size())
        return std::min(height, neededHeight(rows));
    return std::max(minimumSection, shown.used + 50);
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
    text(painter, "TO-DO / " + upperCased(heading, calendar), Rect{x, y + 4, w, 20},
         WallpaperTextStyle::heading);

    const double Y = y + 30;
    if (data.state != ReminderAvailability::available) {
        text(painter, label(data.state), Rect{x, Y, w, 42}, wrappedMessage);
        return;
    }
    if (reminderMode == ReminderGrouping::selectedLists &&
        !data.hasSelectedList(section, reminderListIDs)) {
        text(painter,
             AgendaLanguage::text("Seleziona un elenco nelle impostazioni",
                                  "Choose a list in Settings"),
             Rect{x, Y, w, 42}, wrappedMessage);
        return;
    }
    if (reminderMode == ReminderGrouping::namedLists && !data.hasList(section)) {
        text(painter, AgendaLanguage::text("Elenco non disponibile", "List unavailable"),
             Rect{x, Y, w, 22}, message);
        return;
    }
    const auto items = data.itemsIn(section, reminderMode, now, calendar, reminderListIDs);
    if (items.empty()) {
        text(painter, AgendaLanguage::text("Nessuna attività", "No tasks"), Rect{x, Y, w, 22},
             WallpaperTextStyle::absent);
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
        text(painter, "○", Rect{x, RY, 17, 22}, {.size = 15, .color = flag});
        text(painter, item.title, Rect{x + 21, RY, w - 21, 20.0 * n},
             {.size = 16, .bold = overdue, .color = Palette::ink, .wraps = n > 1});
        if (item.due)
            text(painter, item.dueLabel(now, calendar), Rect{x + 21, RY + 20.0 * n, w - 21, 16},
                 {.size = 11, .color = flag});
        used += rows[drawn];
    }
    if (drawn < items.size()) {
        text(painter,
             hiddenTaskCount(items.size() - drawn) +
                 AgendaLanguage::text(" · nel menu", " · in menu"),
             Rect{x, Y + used, w, 19}, {.size = 12, .color = Palette::secondary});
    }
}

void WallpaperRenderer::future(Painter& painter, Date date, const Rect& rect) const {
    const double x = rect.x;
    const double y = rect.y;
    const double w = rect.width;
    const double h = rect.height;
    text(painter, upperCased(AgendaDates::string(date, "EEE d", calendar), calendar),
         Rect{x, y, w, 21}, {.size = 16, .bold = true, .color = Palette::ink});

    const double groupH = (h - 27) * 0.5;
    const int maxRows = std::clamp(static_cast<int>((groupH - 17) / 21), 0, 3);
    const bool compact = groupH < 40;
    const Date dayStart = calendar.startOfDay(date);
    for (std::size_t i = 0; i < allAgendaGroups.size(); ++i) {
        const AgendaGroup group = allAgendaGroups[i];
        const double top = y + 27 + groupH * static_cast<double>(i);
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
            text(painter, name + " · " + summary, Rect{x, top, w, std::max(groupH, 16.0)},
                 {.size = 13, .color = eventAccent(group)});
            continue;
        }

        const auto visible = AgendaSelection::visible(events, maxRows, snapshot.date, false);
        const std::size_t hidden = events.size() - visible.size();
        std::string line = name;
        if (hidden >= 1) {
            line += " · +" + eventCount(hidden);
        }
        text(painter, line, Rect{x, top, w, 16},
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
                     Rect{x, top + 17 + 21.0 * static_cast<double>(j), w, 21},
                     WallpaperTextStyle::eventLine);
            }
        } else {
            text(painter, hasData ? none : unavailable, Rect{x, top + 17, w, 20},
                 WallpaperTextStyle::absent);
        }
    }
}

} // namespace brivane
