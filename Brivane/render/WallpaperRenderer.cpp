#include "Brivane/render/WallpaperRenderer.h"

#include "Brivane/render/CairoPainter.h"
#include "Brivane/render/FrostedBackground.h"
#include "Brivane/render/PngEncoding.h"
#include "Brivane/render/WallpaperLayout.h"
#include "Brivane/render/WallpaperRendererText.h"
#include "BrivaneCore/AgendaLanguage.h"
#include "BrivaneCore/TextRules.h"

#include <algorithm>
#include <cmath>

namespace brivane {

RenderError::RenderError(Kind kind) : kind_(kind), message_(description()) {}

std::string RenderError::description() const {
    return AgendaLanguage::text("Impossibile generare l’immagine dello sfondo.",
                                "Could not generate the wallpaper image.");
}

namespace {

constexpr Color glassSecondary = Color::rgb(0.25, 0.28, 0.28);
constexpr Color glassAccent = Color::rgb(0.15, 0.31, 0.56);
constexpr Color personalAccent = Color::rgb(0.43, 0.25, 0.54);

} // namespace

Color WallpaperRenderer::resolved(const Color& color) const {
    if (style != WallpaperStyle::glass)
        return color;
    if (color == Palette::secondary)
        return glassSecondary;
    if (color == Palette::accent)
        return glassAccent;
    return color;
}

Color WallpaperRenderer::ruleColor() const {
    return style == WallpaperStyle::glass ? Palette::ink.withAlpha(0.24) : Palette::rule;
}

Color WallpaperRenderer::eventAccent(AgendaGroup group) const {
    if (group == AgendaGroup::personal)
        return personalAccent;
    return style == WallpaperStyle::glass ? glassAccent : Palette::accent;
}

std::string WallpaperRenderer::groupName(AgendaGroup group) const {
    if (auto found = groupNames.find(std::string(rawValue(group))); found != groupNames.end()) {
        std::string name = text::trimmed(found->second);
        if (!name.empty())
            return name;
    }
    return title(group);
}

void WallpaperRenderer::text(Painter& painter, std::string_view string, const Rect& rect,
                             TextStyle textStyle) const {
    textStyle.color = resolved(textStyle.color);
    painter.text(string, rect, textStyle);
}

std::shared_ptr<RasterImage> WallpaperRenderer::image(Size size, double scale) const {
    const double w = size.width * scale;
    const double h = size.height * scale;
    // Guard the conversion: NaN or huge products cannot become a bitmap.
    if (!(w >= 1) || !(h >= 1) || w > 32767 || h > 32767)
        throw RenderError(RenderError::Kind::allocation);
    auto result = RasterImage::create(static_cast<int>(w), static_cast<int>(h), scale);
    if (!result)
        throw RenderError(RenderError::Kind::allocation);
    paint(*result, size);
    return result;
}

void WallpaperRenderer::paint(RasterImage& target, Size size) const {
    {
        CairoPainter painter(target);
        if (!painter.ok())
            throw RenderError(RenderError::Kind::allocation);
        draw(painter, size);
    }
    target.markChanged();
}

std::vector<std::uint8_t> WallpaperRenderer::png(const RasterImage& image) {
    PngEncoder encoder;
    return png(image, encoder);
}

std::vector<std::uint8_t> WallpaperRenderer::png(const RasterImage& image, PngEncoder& encoder) {
    auto bytes = encoder.encode(image);
    if (!bytes)
        throw RenderError(RenderError::Kind::encoding);
    return std::move(*bytes);
}

void WallpaperRenderer::draw(Painter& painter, Size size) const {
    const WallpaperLayout layout = WallpaperLayout::of(*this, size);
    const Date now = snapshot.date;

    // 1. Background.
    const Rect canvas{0, 0, size.width, size.height};
    if (style == WallpaperStyle::glass)
        FrostedBackground::draw(painter, canvas, GlassHarmony::at(now).index);
    else
        painter.fillRect(canvas, Palette::background);

    header(painter, layout.header);

    // Today's timeline. On a screen too low even for what the week gives up, it is cut at the
    // rule under it rather than drawn over the reminders.
    if (layout.timelineClip)
        painter.pushRoundedClip(*layout.timelineClip, 0);
    todayTimeline(painter, layout.timeline);
    if (layout.timelineClip)
        painter.popClip();

    if (layout.reminderRule)
        painter.fillRect(*layout.reminderRule, ruleColor());
    for (std::size_t i = 0; i < allReminderSections.size(); ++i)
        reminders(painter, allReminderSections[i], layout.reminderSections[i]);

    // The rest of the week.
    painter.fillRect(layout.weekRule, ruleColor());
    text(painter, AgendaLanguage::text("RESTO DELLA SETTIMANA", "REST OF THE WEEK"),
         layout.weekHeading, WallpaperTextStyle::heading);
    for (const WallpaperLayout::Day& day : layout.days)
        future(painter, day.date, day.cell);
    if (layout.days.empty())
        text(painter, AgendaLanguage::text("La settimana si conclude oggi", "The week ends today"),
             layout.weekEnds, WallpaperTextStyle::absent);

    footer(painter, layout);
}

void WallpaperRenderer::header(Painter& painter, const WallpaperLayout::Header& header) const {
    const Date now = snapshot.date;
    // The brand block, right-aligned.
    if (auto icon = BrandArtwork::icon())
        painter.image(*icon, header.brandIcon, Painter::Blend::over);
    text(painter, "Pellora", header.brandName,
         {.size = header.brandNameSize, .bold = true, .color = Palette::ink});

    // The day number, and the weekday, month and subtitle beside it.
    text(painter, AgendaDates::string(now, "dd", calendar), header.dayNumber,
         {.size = header.dayNumberSize,
          .bold = true,
          .color = Palette::accent,
          .monospacedDigits = true});
    text(painter, upperCased(AgendaDates::string(now, "EEEE", calendar), calendar), header.weekday,
         {.size = 26, .bold = true, .color = Palette::ink});
    text(painter, upperCased(AgendaDates::string(now, "MMMM yyyy", calendar), calendar),
         header.month, {.size = 16, .color = Palette::secondary});
    text(painter,
         snapshot.demonstration
             ? AgendaLanguage::text("ANTEPRIMA · DATI DIMOSTRATIVI", "PREVIEW · SAMPLE DATA")
             : AgendaLanguage::text("OGGI · CALENDARIO E PROMEMORIA",
                                    "TODAY · CALENDAR AND REMINDERS"),
         header.subtitle, {.size = 12, .bold = true, .color = Palette::accent});

    painter.fillRect(header.rule, resolved(Palette::accent));
}

void WallpaperRenderer::footer(Painter& painter, const WallpaperLayout& layout) const {
    auto time = [this](std::optional<Date> instant) {
        return instant ? AgendaDates::string(*instant, "HH:mm", calendar) : std::string("—");
    };
    const std::string palette = style == WallpaperStyle::glass
                                    ? time(GlassHarmony::nextChange(snapshot.date))
                                    : std::string("—");
    const std::string footer =
        AgendaLanguage::text("Ultimo aggiornamento calendario: ", "Last calendar update: ") +
        time(snapshot.fetchedAt) + " | " +
        AgendaLanguage::text("Ultimo aggiornamento promemoria: ", "Last reminders update: ") +
        time(snapshot.reminders.fetchedAt) + " | " +
        AgendaLanguage::text("Prossima palette colore: ", "Next color palette: ") + palette;
    text(painter, footer, layout.footer, {.size = layout.footerSize, .color = Palette::secondary});
}

} // namespace brivane
