#include "Brivane/render/WallpaperRenderer.h"

#include "Brivane/render/CairoPainter.h"
#include "Brivane/render/FrostedBackground.h"
#include "Brivane/render/PngEncoding.h"
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
constexpr double minimumReminderHeight = 68;
// A row of compact week cells: the day, a line per group, the gap to the next row.
constexpr double compactWeekRow = 27 + 16 * 2 + 6;

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
                             double size, bool bold, std::optional<Color> color, bool mono,
                             int lines) const {
    TextStyle textStyle;
    textStyle.size = size;
    textStyle.bold = bold;
    textStyle.color = resolved(color.value_or(Palette::ink));
    textStyle.monospacedDigits = mono;
    textStyle.wraps = lines > 1;
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
    const double W = size.width;
    const double H = size.height;
    const Date now = snapshot.date;
    const double L = W * preferences.left;
    const double CW = W - W * preferences.left - W * preferences.right;
    const double T = H * preferences.top;
    const double B = H * preferences.bottom;
    const double CH = H - T - B;
    const bool wide = CW >= 1000;
    const double TW = wide ? CW * 0.65 : CW;
    const std::vector<Date> days = AgendaDates::remainingDays(now, calendar);
    const int n = static_cast<int>(days.size());
    const int c = std::clamp(static_cast<int>(TW / 185), 2, 6);
    int cols = std::min(std::max(n, 1), c);
    int rows = n == 0 ? 0 : (n + cols - 1) / cols;
    const double HH = CH >= 740 ? 146 : 120;
    auto weekHeight = [&] {
        const double weekMaximum = n == 0 ? 66 : rows * (CW >= 1000 ? 150 : 116) + 38;
        return std::min(std::max(CH * (wide ? 0.35 : 0.27), rows * 70.0 + 38), weekMaximum);
    };
    double WH = weekHeight();
    const double RW = wide ? CW * 0.35 - 36 : (CW - 40) / 3;
    const double timelineLeast = timelineLeastHeight();
    // The least the reminder band can have while each section still shows its first task.
    double reminderLeast = minimumReminderHeight;
    if (!wide)
        for (ReminderSection section : allReminderSections)
            reminderLeast = std::max(reminderLeast, reminderLeastHeight(section, RW));
    // On low screens (960 × 540, 1024 × 768) the shares below leave the timeline lower than its
    // headers and smallest grid, or every reminder section showing nothing but "+N". The week
    // gives way first: its rows get shorter, down to compact cells, and where those are still
    // too tall, its days go in fewer, wider rows. Then the reminders give way (below).
    const double weekRoom = CH - HH - 30 - (wide ? 0 : reminderLeast + 20) - timelineLeast;
    if (n > 0 && WH > weekRoom) {
        if (rows > 1 && rows * compactWeekRow + 38 > weekRoom) {
            while (rows > 1 && rows * compactWeekRow + 38 > weekRoom) {
                cols = (n + rows - 2) / (rows - 1);
                rows = (n + cols - 1) / cols;
            }
            WH = weekHeight();
        }
        WH = std::max(rows * compactWeekRow + 38, std::min(WH, weekRoom));
    }
    const double avail = std::max(0.0, CH - HH - WH - 30);
    double RH = 0;
    double TH = avail;
    if (!wide) {
        double need = 0;
        for (ReminderSection section : allReminderSections)
            need = std::max(need, reminderNeededHeight(section, RW));
        const double f = CW >= 850 ? 0.43 : 0.40;
        RH = std::min(std::max(need, avail * f), avail * 0.68);
        // Where that share would push the timeline past its rectangle into the reminders, they
        // give way, down to their smallest section, and show the rest as "+N" in their overflow
        // line.
        if (avail - RH - 20 < timelineLeast) {
            RH = std::min(RH, std::max(minimumReminderHeight, avail - 20 - timelineLeast));
            // Giving way, they also give back what their sections leave empty.
            double filled = minimumReminderHeight;
            for (ReminderSection section : allReminderSections)
                filled = std::max(filled, reminderFilledHeight(section, RW, RH));
            RH = std::min(RH, filled);
        }
        TH = avail - RH - 20;
    }

    // 1. Background.
    if (style == WallpaperStyle::glass)
        FrostedBackground::draw(painter, Rect{0, 0, W, H}, GlassHarmony::at(now).index);
    else
        painter.fillRect(Rect{0, 0, W, H}, Palette::background);

    // 2. Brand block, right-aligned in the header.
    const bool roomy = CW >= 700;
    const double BW = roomy ? 175 : 125;
    const double BX = L + CW - BW;
    const double S = roomy ? 40 : 30;
    if (auto icon = BrandArtwork::icon())
        painter.image(*icon, Rect{BX, T + 4, S, S}, Painter::Blend::over);
    text(painter, "Pellora", Rect{BX + S + 8, T + 8, roomy ? 127.0 : 87.0, 28}, roomy ? 20 : 16,
         true, Palette::ink, false, 1);

    // 3. Day number.
    text(painter, AgendaDates::string(now, "dd", calendar), Rect{L - 5, T - 16, 190, HH}, HH - 18,
         true, Palette::accent, true, 1);

    // 4. Weekday, month and subtitle beside it.
    const double X = HH >= 130 ? L + 183 : L + 155;
    const double XW = std::max(80.0, BX - X - 12);
    text(painter, upperCased(AgendaDates::string(now, "EEEE", calendar), calendar),
         Rect{X, T + 4, XW, 34}, 26, true, Palette::ink, false, 1);
    text(painter, upperCased(AgendaDates::string(now, "MMMM yyyy", calendar), calendar),
         Rect{X, T + 40, XW, 24}, 16, false, Palette::secondary, false, 1);
    text(painter,
         snapshot.demonstration
             ? AgendaLanguage::text("ANTEPRIMA · DATI DIMOSTRATIVI", "PREVIEW · SAMPLE DATA")
             : AgendaLanguage::text("OGGI · CALENDARIO E PROMEMORIA",
                                    "TODAY · CALENDAR AND REMINDERS"),
         Rect{X, T + 74, XW, 18}, 12, true, Palette::accent, false, 1);

    // 5. Header rule.
    const double Y0 = T + HH;
    painter.fillRect(Rect{L, Y0 - 12, CW, 2}, resolved(Palette::accent));

    // 6. Today's timeline. On a screen too low even for what the week gives up, it is cut at the
    // rule under it rather than drawn over the reminders.
    const bool cut = TH < timelineLeast;
    if (cut)
        painter.pushRoundedClip(Rect{L, Y0, TW, std::max(0.0, TH + (wide ? 30 : 10))}, 0);
    todayTimeline(painter, Rect{L, Y0, TW, TH});
    if (cut)
        painter.popClip();

    // 7. Reminders.
    if (!wide) {
        const double Y1 = Y0 + TH + 18;
        painter.fillRect(Rect{L, Y1 - 8, CW, 0.75}, ruleColor());
        for (std::size_t i = 0; i < allReminderSections.size(); ++i)
            reminders(painter, allReminderSections[i],
                      Rect{L + (RW + 20) * static_cast<double>(i), Y1, RW, RH});
    } else {
        const double X2 = L + CW * 0.65 + 36;
        const double k = static_cast<double>(allReminderSections.size());
        const double room = std::max(0.0, CH - HH - 30 - 12 * (k - 1));
        const double extra = std::max(0.0, room - 68 * k);
        std::vector<double> need;
        double total = 0;
        double surplus = 0;
        for (ReminderSection section : allReminderSections) {
            need.push_back(reminderNeededHeight(section, RW));
            total += need.back();
            surplus += std::max(0.0, need.back() - 68);
        }
        double y = Y0;
        for (std::size_t i = 0; i < need.size(); ++i) {
            double h = need[i];
            if (total > room)
                h = surplus <= 0 ? 68 : 68 + extra * std::max(0.0, need[i] - 68) / surplus;
            reminders(painter, allReminderSections[i], Rect{X2, y, RW, h});
            y += h + 12;
        }
    }

    // 8. Rest of the week.
    const double YW = T + CH - WH;
    painter.fillRect(Rect{L, YW, TW, 0.75}, ruleColor());
    text(painter, AgendaLanguage::text("RESTO DELLA SETTIMANA", "REST OF THE WEEK"),
         Rect{L, YW + 12, TW, 18}, 13, true, Palette::accent, false, 1);
    if (n > 0) {
        const double cellW = (TW - 24 * (cols - 1)) / cols;
        const double pitch = (WH - 38) / rows;
        for (int d = 0; d < n; ++d) {
            const int r = d / cols;
            const int col = d - r * cols;
            future(painter, days[static_cast<std::size_t>(d)],
                   Rect{L + (cellW + 24) * col, YW + 40 + pitch * r, cellW, pitch - 6});
        }
    } else {
        text(painter, AgendaLanguage::text("La settimana si conclude oggi", "The week ends today"),
             Rect{L, YW + 38, TW, 23}, 16, false, Palette::secondary, false, 1);
    }

    // 9. Footer.
    auto time = [this](std::optional<Date> instant) {
        return instant ? AgendaDates::string(*instant, "HH:mm", calendar) : std::string("—");
    };
    const std::string palette =
        style == WallpaperStyle::glass ? time(GlassHarmony::nextChange(now)) : std::string("—");
    const std::string footer =
        AgendaLanguage::text("Ultimo aggiornamento calendario: ", "Last calendar update: ") +
        time(snapshot.fetchedAt) + " | " +
        AgendaLanguage::text("Ultimo aggiornamento promemoria: ", "Last reminders update: ") +
        time(snapshot.reminders.fetchedAt) + " | " +
        AgendaLanguage::text("Prossima palette colore: ", "Next color palette: ") + palette;
    text(painter, footer, Rect{L, H - B + 12, CW, 18}, CW >= 1050 ? 11 : 9, false,
         Palette::secondary, false, 1);
}

} // namespace brivane
