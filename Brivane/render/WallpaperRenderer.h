#pragma once

#include "Brivane/render/WallpaperLayout.h"
#include "Brivane/render/WallpaperPainter.h"
#include "BrivaneCore/AgendaDates.h"
#include "BrivaneCore/AgendaSnapshot.h"
#include "BrivaneCore/Preferences.h"
#include "BrivaneCore/ReminderModel.h"
#include "BrivaneCore/WallpaperStyle.h"

#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brivane {

class PngEncoder;

// Rendering failed: the bitmap could not be made, or not encoded.
class RenderError : public std::exception {
public:
    enum class Kind { allocation, encoding };

    explicit RenderError(Kind kind);
    Kind kind() const { return kind_; }
    // The user-visible text, in the language of the moment.
    std::string description() const;
    const char* what() const noexcept override { return message_.c_str(); }

private:
    Kind kind_;
    std::string message_;
};

// The paper colours; glass resolves some of them differently (WallpaperRenderer::resolved).
struct Palette {
    static constexpr Color background = Color::rgb(230 / 255.0, 227 / 255.0, 220 / 255.0);
    static constexpr Color ink = Color::rgb(32 / 255.0, 33 / 255.0, 31 / 255.0);
    static constexpr Color secondary = Color::rgb(94 / 255.0, 96 / 255.0, 91 / 255.0);
    static constexpr Color accent = Color::rgb(181 / 255.0, 61 / 255.0, 11 / 255.0);
    static constexpr Color rule = Color::rgb(0.63, 0.63, 0.60);
};

// The text styles the wallpaper repeats.
struct WallpaperTextStyle {
    // Section headings: "REST OF THE WEEK", "TO-DO / …".
    static constexpr TextStyle heading{.size = 13, .bold = true, .color = Palette::accent};
    // A line in place of what is missing: "No tasks", "No events", "The week ends today".
    static constexpr TextStyle absent{.size = 16, .color = Palette::secondary};
    // Small notes: hour labels, "+N … in menu", a group's partial availability.
    static constexpr TextStyle note{.size = 11, .color = Palette::secondary};
    // An event's line in the week: its time and title.
    static constexpr TextStyle eventLine{.size = 16, .color = Palette::ink};
};

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

// The application icon drawn in the wallpaper's header, loaded once; null when not installed.
struct BrandArtwork {
    // Installed with the program beside Info.json; also the name of the desktop entry's icon.
    static constexpr const char* iconFileName = "it.quillmere.Brivane.png";
    static std::shared_ptr<RasterImage> icon();
};

// Draws the agenda image of one screen. Built for one image and dropped; `snapshot.date` is
// "now" for every decision of the render.
struct WallpaperRenderer {
    AgendaSnapshot snapshot;
    Calendar calendar;
    ScreenPreferences preferences;
    WallpaperStyle style = WallpaperStyle::glass;
    ReminderGrouping reminderMode = ReminderGrouping::dueDate;
    ReminderListIDs reminderListIDs;
    std::map<std::string, std::string> groupNames;
    int timelineStartHour = 8;
    int timelineEndHour = 20;

    // The least height of a reminder section: its heading and one line.
    static constexpr double reminderSectionLeast = 68;

    // The whole canvas of `size` points at `scale` pixels per point. Throws RenderError.
    std::shared_ptr<RasterImage> image(Size size, double scale) const;
    // The same canvas drawn into `target`, at its scale, over whatever it held. Throws
    // RenderError.
    void paint(RasterImage& target, Size size) const;
    // The PNG bytes of an image; through `encoder`, which reuses what it kept of the last image.
    // Throw RenderError.
    static std::vector<std::uint8_t> png(const RasterImage& image);
    static std::vector<std::uint8_t> png(const RasterImage& image, PngEncoder& encoder);

    // The layout, drawn through any painter (the tests record it).
    void draw(Painter& painter, Size size) const;
    void header(Painter& painter, const WallpaperLayout::Header& header) const;
    void footer(Painter& painter, const WallpaperLayout& layout) const;
    void todayTimeline(Painter& painter, const Rect& rect) const;
    // Below this height the timeline's headers, smallest grid and the "+N" line of its other
    // events run past its rectangle; the strip's rows give way before that.
    double timelineLeastHeight() const;
    double reminderNeededHeight(ReminderSection section, double width) const;
    // The least height at which the section still shows its first task (all of them when they
    // fit); the needed height when it has no tasks to show.
    double reminderLeastHeight(ReminderSection section, double width) const;
    // The part of `height` the section fills: its shown tasks with heading and overflow line, or
    // its message; at that height it shows the same tasks.
    double reminderFilledHeight(ReminderSection section, double width, double height) const;
    void reminders(Painter& painter, ReminderSection section, const Rect& rect) const;
    int reminderTitleLines(const ReminderItem& item, double width) const;
    void future(Painter& painter, Date date, const Rect& rect) const;

    // The one way text is drawn; the style's colour goes through the glass colour rule.
    void text(Painter& painter, std::string_view string, const Rect& rect, TextStyle style) const;
    std::string groupName(AgendaGroup group) const;
    Color eventAccent(AgendaGroup group) const;
    // The glass colour rule: secondary and accent become their glass values in glass style.
    Color resolved(const Color& color) const;
    // Thin rules: the rule colour, or ink at 24 % in glass.
    Color ruleColor() const;
};

} // namespace brivane
