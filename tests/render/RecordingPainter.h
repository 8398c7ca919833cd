#pragma once

#include "Brivane/render/WallpaperPainter.h"
#include "Brivane/render/WallpaperText.h"

#include <optional>
#include <string>
#include <vector>

namespace brivane::testing {

// Records what the renderer draws, so layout rules can be checked without pixels.
class RecordingPainter final : public Painter {
public:
    enum class Kind { rect, roundedRect, ellipse, dashedLine, text, image, clip, unclip };
    struct Op {
        Kind kind;
        Rect rect;
        Color color;
        std::string text;
        TextStyle style;
    };
    std::vector<Op> ops;

    void fillRect(const Rect& r, const Color& c) override {
        ops.push_back({Kind::rect, r, c, {}, {}});
    }
    void fillRoundedRect(const Rect& r, double, const Color& c) override {
        ops.push_back({Kind::roundedRect, r, c, {}, {}});
    }
    void fillEllipse(const Rect& r, const Color& c) override {
        ops.push_back({Kind::ellipse, r, c, {}, {}});
    }
    void dashedLine(Point a, Point b, double, double, double, const Color& c) override {
        ops.push_back({Kind::dashedLine, Rect{a.x, a.y, b.x - a.x, b.y - a.y}, c, {}, {}});
    }
    void text(std::string_view t, const Rect& r, const TextStyle& s) override {
        ops.push_back({Kind::text, r, s.color, std::string(t), s});
    }
    void image(const RasterImage&, const Rect& r, Blend) override {
        ops.push_back({Kind::image, r, {}, {}, {}});
    }
    void pushRoundedClip(const Rect& r, double) override {
        ops.push_back({Kind::clip, r, {}, {}, {}});
    }
    void popClip() override { ops.push_back({Kind::unclip, {}, {}, {}, {}}); }

    std::vector<Op> of(Kind kind) const {
        std::vector<Op> result;
        for (const auto& op : ops)
            if (op.kind == kind)
                result.push_back(op);
        return result;
    }
    // Texts that contain `part`.
    std::vector<Op> texts(const std::string& part) const {
        std::vector<Op> result;
        for (const auto& op : ops)
            if (op.kind == Kind::text && op.text.find(part) != std::string::npos)
                result.push_back(op);
        return result;
    }
    std::optional<Op> text(const std::string& part) const {
        auto found = texts(part);
        if (found.empty())
            return std::nullopt;
        return found.front();
    }
};

} // namespace brivane::testing
