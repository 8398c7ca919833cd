#pragma once

#include "Brivane/render/WallpaperPainter.h"

#include <string>
#include <string_view>

typedef struct _PangoContext PangoContext;
typedef struct _PangoLayout PangoLayout;
typedef struct _PangoFontMap PangoFontMap;
typedef struct _cairo cairo_t;

namespace brivane {

// Text layout shared by drawing and measuring, so that a width measured for the layout is the
// width later drawn. Pango with hinting off and unrounded glyph positions keeps metrics the same
// at every scale. Main thread only.
class WallpaperText {
public:
    static WallpaperText& shared();

    // The family every text is set in: Inter, or the desktop's sans-serif when Inter is missing.
    const std::string& family() const { return family_; }
    bool usesInter() const { return usesInter_; }

    // Width in points of `text` on one line, without truncation.
    double width(std::string_view text, double size, bool bold, bool monospacedDigits = false);

    // A context for drawing on `cr` (already in point coordinates); the caller unrefs it.
    PangoContext* createContext(cairo_t* cr) const;
    // Draws `text` into `rect` on `cr` through a context made by createContext for it.
    void draw(cairo_t* cr, PangoContext* context, std::string_view text, const Rect& rect,
              const TextStyle& style) const;

    // Titles keep their line breaks out: Pango would stop at a hard break without an ellipsis.
    static std::string singleParagraph(std::string_view text);

    // Whether a box of this height shows any line of the style (a box lower than one line shows
    // nothing).
    static bool showsAnyLine(const Rect& rect, const TextStyle& style);

private:
    WallpaperText();
    PangoLayout* layout(PangoContext* context, std::string_view text, const Rect& rect,
                        const TextStyle& style) const;

    PangoFontMap* fontMap_;
    PangoContext* measuring_;
    std::string family_;
    bool usesInter_ = false;
};

} // namespace brivane
