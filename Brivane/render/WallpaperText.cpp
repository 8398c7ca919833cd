#include "Brivane/render/WallpaperText.h"

#include <cairo.h>
#include <cmath>
#include <cstdio>
#include <fontconfig/fontconfig.h>
#include <memory>
#include <pango/pangocairo.h>

namespace brivane {

namespace {

constexpr const char* preferredFamily = "Inter";

// The family fontconfig really gives for `name` (an unknown family silently falls back).
std::string resolvedFamily(const char* name) {
    std::string result;
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(name));
    if (!pattern)
        return result;
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult status = FcResultNoMatch;
    if (FcPattern* match = FcFontMatch(nullptr, pattern, &status)) {
        FcChar8* family = nullptr;
        if (FcPatternGetString(match, FC_FAMILY, 0, &family) == FcResultMatch && family)
            result = reinterpret_cast<const char*>(family);
        FcPatternDestroy(match);
    }
    FcPatternDestroy(pattern);
    return result;
}

void configure(PangoContext* context) {
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    pango_cairo_context_set_font_options(context, options);
    cairo_font_options_destroy(options);
    pango_context_set_round_glyph_positions(context, FALSE);
}

int pangoUnits(double points) {
    return static_cast<int>(std::lround(points * PANGO_SCALE));
}

} // namespace

WallpaperText& WallpaperText::shared() {
    static WallpaperText instance;
    return instance;
}

WallpaperText::WallpaperText()
    : fontMap_(pango_cairo_font_map_new()), measuring_(pango_font_map_create_context(fontMap_)) {
    configure(measuring_);
    const std::string found = resolvedFamily(preferredFamily);
    usesInter_ = found == preferredFamily;
    if (usesInter_) {
        family_ = preferredFamily;
    } else {
        family_ = resolvedFamily("sans-serif");
        if (family_.empty())
            family_ = "sans-serif";
        std::fprintf(stderr,
                     "pellora: warning: the Inter font is not installed (package fonts-inter); "
                     "drawing with %s instead\n",
                     family_.c_str());
    }
}

std::string WallpaperText::singleParagraph(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n' || c == '\r' || c == '\t' || c == '\v' || c == '\f') {
            // A CR LF pair is one break.
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            result += ' ';
        } else if (c == '\xE2' && i + 2 < text.size() && text[i + 1] == '\x80' &&
                   (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
            // U+2028 LINE SEPARATOR and U+2029 PARAGRAPH SEPARATOR.
            result += ' ';
            i += 2;
        } else {
            result += c;
        }
    }
    return result;
}

bool WallpaperText::showsAnyLine(const Rect& rect, const TextStyle& style) {
    if (!(rect.width > 0))
        return false;
    // A single line is always set (the day number's line is taller than its box). Wrapped text
    // shows only the lines that fit; Pango would still show one, so a box lower than a line is
    // skipped here. A hair of tolerance keeps boxes of exactly one line.
    return !style.wraps || rect.height + 1e-6 >= style.lineHeight();
}

PangoLayout* WallpaperText::layout(PangoContext* context, std::string_view text, const Rect& rect,
                                   const TextStyle& style) const {
    PangoLayout* result = pango_layout_new(context);
    const std::string clean = singleParagraph(text);
    pango_layout_set_text(result, clean.c_str(), static_cast<int>(clean.size()));

    PangoFontDescription* font = pango_font_description_new();
    pango_font_description_set_family(font, family_.c_str());
    pango_font_description_set_weight(font, style.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
    pango_font_description_set_absolute_size(font, style.size * PANGO_SCALE);
    pango_layout_set_font_description(result, font);
    pango_font_description_free(font);

    PangoAttrList* attributes = pango_attr_list_new();
    pango_attr_list_insert(attributes,
                           pango_attr_line_height_new_absolute(pangoUnits(style.lineHeight())));
    if (style.monospacedDigits)
        pango_attr_list_insert(attributes, pango_attr_font_features_new("tnum 1"));
    pango_layout_set_attributes(result, attributes);
    pango_attr_list_unref(attributes);

    if (rect.width > 0) {
        pango_layout_set_width(result, pangoUnits(rect.width));
        pango_layout_set_ellipsize(result, PANGO_ELLIPSIZE_END);
        if (style.wraps) {
            pango_layout_set_wrap(result, PANGO_WRAP_WORD_CHAR);
            pango_layout_set_height(result, pangoUnits(rect.height));
        } else {
            pango_layout_set_height(result, -1);
        }
    }
    return result;
}

double WallpaperText::width(std::string_view text, double size, bool bold, bool monospacedDigits) {
    TextStyle style;
    style.size = size;
    style.bold = bold;
    style.monospacedDigits = monospacedDigits;
    PangoLayout* measured = layout(measuring_, text, Rect{}, style);
    PangoRectangle logical{};
    pango_layout_get_extents(measured, nullptr, &logical);
    g_object_unref(measured);
    return static_cast<double>(logical.width) / PANGO_SCALE;
}

PangoContext* WallpaperText::createContext(cairo_t* cr) const {
    PangoContext* context = pango_font_map_create_context(fontMap_);
    pango_cairo_update_context(cr, context);
    configure(context);
    return context;
}

void WallpaperText::draw(cairo_t* cr, PangoContext* context, std::string_view text,
                         const Rect& rect, const TextStyle& style) const {
    if (!showsAnyLine(rect, style) || text.empty())
        return;
    PangoLayout* drawn = layout(context, text, rect, style);
    cairo_save(cr);
    cairo_set_source_rgba(cr, style.color.red, style.color.green, style.color.blue,
                          style.color.alpha);
    cairo_move_to(cr, rect.x, rect.y);
    pango_cairo_show_layout(cr, drawn);
    cairo_restore(cr);
    g_object_unref(drawn);
}

} // namespace brivane
