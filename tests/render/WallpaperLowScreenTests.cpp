#include "Brivane/render/DemoData.h"
#include "Brivane/render/WallpaperLayout.h"
#include "RecordingPainter.h"
#include "RenderTestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace brivane {
namespace {

using testing::RecordingPainter;
using Kind = RecordingPainter::Kind;
using Ops = std::vector<RecordingPainter::Op>;

bool isThinRule(const RecordingPainter::Op& op) {
    return op.kind == Kind::rect && op.rect.height == 0.75;
}

bool intersect(const Rect& a, const Rect& b) {
    constexpr double slack = 1e-6;
    return a.x < b.x + b.width - slack && b.x < a.x + a.width - slack &&
           a.y < b.y + b.height - slack && b.y < a.y + a.height - slack;
}

// The canvas cut into what each section drew, in drawing order: the timeline follows the header
// rule, the reminders start with their rule (narrow) or first heading (wide), the week with its
// rule, and the footer closes it.
struct Sections {
    Ops timeline;
    Ops reminders;
    Ops week;
    Rect footer;
};

// What of `a` shows inside `b`; none when nothing does (a line on the edge still shows).
std::optional<Rect> intersection(const Rect& a, const Rect& b) {
    const double x = std::max(a.x, b.x);
    const double y = std::max(a.y, b.y);
    const double right = std::min(a.x + a.width, b.x + b.width);
    const double bottom = std::min(a.y + a.height, b.y + b.height);
    if (right < x || bottom < y)
        return std::nullopt;
    return Rect{x, y, right - x, bottom - y};
}

Sections sections(const RecordingPainter& painter) {
    Sections result;
    const Ops& ops = painter.ops;
    std::vector<Rect> clips; // what is drawn shows only inside these
    std::size_t i = 0;
    while (i < ops.size() &&
           !(ops[i].kind == Kind::text && ops[i].text.find("SAMPLE DATA") != std::string::npos))
        ++i;
    i += 2; // the subtitle, then the header rule
    Ops* into = &result.timeline;
    for (; i < ops.size(); ++i) {
        const auto& op = ops[i];
        const bool nextIsWeekLabel = i + 1 < ops.size() && ops[i + 1].text == "REST OF THE WEEK";
        if (isThinRule(op) && nextIsWeekLabel)
            into = &result.week;
        else if (into == &result.timeline && (isThinRule(op) || op.text.rfind("TO-DO / ", 0) == 0))
            into = &result.reminders;
        if (op.text.rfind("Last calendar update", 0) == 0) {
            result.footer = op.rect;
            break;
        }
        if (op.kind == Kind::clip) {
            clips.push_back(op.rect);
        } else if (op.kind == Kind::unclip) {
            clips.pop_back();
        } else {
            std::optional<Rect> shown = op.rect;
            for (const Rect& clip : clips)
                if (shown)
                    shown = intersection(*shown, clip);
            if (shown) {
                into->push_back(op);
                into->back().rect = *shown;
            }
        }
    }
    return result;
}

double bottom(const Rect& r) {
    return r.y + r.height;
}

// Every size from a small laptop up, at the default margins: the timeline keeps to its own
// rectangle (on screens too low for it, below 500 points, it is cut there), the reminders and
// the week block never cover each other, and the week's texts keep apart.
TEST(WallpaperCanvas, SectionsNeverOverlapFromSmallScreensUp) {
    testing::testCalendar();
    std::vector<Size> sizes{{1080, 1920}};
    for (double width = 800; width <= 1440; width += 80)
        for (double height = 420; height <= 900; height += 30)
            sizes.push_back(Size{width, height});
    for (const char* variant : {"normal", "dense"}) {
        const WallpaperRenderer renderer{DemoData::snapshot(variant),
                                         AgendaDates::calendar(),
                                         ScreenPreferences{},
                                         WallpaperStyle::paper, // the layout, without backgrounds
                                         ReminderGrouping::dueDate,
                                         {},
                                         {},
                                         8,
                                         20};
        for (const Size& size : sizes) {
            SCOPED_TRACE(std::string(variant) + " " + std::to_string(static_cast<int>(size.width)) +
                         "×" + std::to_string(static_cast<int>(size.height)));
            RecordingPainter painter;
            renderer.draw(painter, size);
            const Sections drawn = sections(painter);
            ASSERT_FALSE(drawn.timeline.empty());
            ASSERT_FALSE(drawn.reminders.empty());
            ASSERT_FALSE(drawn.week.empty());
            const double weekTop = drawn.week.front().rect.y;
            // Narrow: the reminders lie under the timeline, their rule on top.
            const bool under = isThinRule(drawn.reminders.front());
            const double below = under ? drawn.reminders.front().rect.y : weekTop;
            for (const auto& op : drawn.timeline)
                EXPECT_LE(bottom(op.rect), below + 1e-6) << "timeline: " << op.text;
            for (const auto& op : drawn.reminders) {
                if (under) {
                    EXPECT_LE(bottom(op.rect), weekTop + 1e-6) << "reminders: " << op.text;
                }
                for (const auto& cell : drawn.week)
                    EXPECT_FALSE(intersect(op.rect, cell.rect))
                        << "reminders: " << op.text << " / week: " << cell.text;
            }
            Ops texts;
            for (const auto& op : drawn.week) {
                EXPECT_LE(bottom(op.rect), drawn.footer.y + 1e-6) << "week: " << op.text;
                if (op.kind == Kind::text)
                    texts.push_back(op);
            }
            for (std::size_t a = 0; a < texts.size(); ++a)
                for (std::size_t b = a + 1; b < texts.size(); ++b)
                    EXPECT_FALSE(intersect(texts[a].rect, texts[b].rect))
                        << texts[a].text << " / " << texts[b].text;
        }
    }
}

// Where two rows of compact cells would still squeeze the timeline, or leave every task section
// with nothing but its "+N" line, the week puts its days in one row; where both have room, the
// week keeps its rows.
TEST(WallpaperCanvas, WeekGivesWayOnlyWhereTheTimelineOrTheTasksAreShort) {
    testing::testCalendar();
    const WallpaperRenderer renderer{DemoData::snapshot("normal"),
                                     AgendaDates::calendar(),
                                     ScreenPreferences{},
                                     WallpaperStyle::paper,
                                     ReminderGrouping::dueDate,
                                     {},
                                     {},
                                     8,
                                     20};
    struct Drawn {
        double tuesday, sunday, timeline;
        std::size_t tasks;
    };
    auto draw = [&](Size size) {
        RecordingPainter painter;
        renderer.draw(painter, size);
        const double timelineTop = size.height * 0.05 + 120;
        const double reminderRule = painter.text("TO-DO / TODAY")->rect.y - 4 - 8;
        return Drawn{painter.text("TUE 29")->rect.y, painter.text("SUN 4")->rect.y,
                     reminderRule - 10 - timelineTop, painter.texts("○").size()};
    };
    const Drawn low = draw(Size{960, 540});
    EXPECT_DOUBLE_EQ(low.tuesday, low.sunday);
    EXPECT_GE(low.timeline, renderer.timelineLeastHeight() - 1e-9);

    // 800 × 600: two rows of compact cells would leave the sections 68 points, no task each.
    const Drawn short_ = draw(Size{800, 600});
    EXPECT_DOUBLE_EQ(short_.tuesday, short_.sunday);
    EXPECT_GE(short_.tasks, 3u);

    const Drawn fits = draw(Size{800, 700});
    EXPECT_GT(fits.sunday, fits.tuesday);
    EXPECT_GE(fits.tasks, 3u);
}

bool within(const Rect& inner, const Rect& outer) {
    constexpr double slack = 1e-6;
    return inner.x >= outer.x - slack && inner.y >= outer.y - slack &&
           inner.x + inner.width <= outer.x + outer.width + slack &&
           bottom(inner) <= bottom(outer) + slack;
}

// From a small laptop to 8K, portrait and ultrawide, with the default, no and lopsided margins:
// every part stays inside the area the margins leave (the footer in the bottom margin under it,
// off the screen when the margin has no room for it), the parts follow each other down the
// screen, and neither sections nor days overlap.
TEST(WallpaperLayout, PartsStayInsideTheMarginsAndApart) {
    testing::testCalendar();
    ScreenPreferences lopsided;
    lopsided.top = 0.2;
    lopsided.bottom = 0.02;
    lopsided.left = 0.3;
    lopsided.right = 0.01;
    const Size sizes[] = {{1024, 768},  {1366, 768},  {1080, 1920}, {720, 1280},
                          {3440, 1440}, {5120, 1440}, {7680, 4320}};
    ScreenPreferences none;
    none.top = none.bottom = none.left = none.right = 0;
    for (const ScreenPreferences& margins : {ScreenPreferences{}, none, lopsided}) {
        for (const char* variant : {"normal", "dense"}) {
            WallpaperRenderer renderer = testing::testRenderer();
            renderer.snapshot = DemoData::snapshot(variant);
            renderer.preferences = margins;
            for (const Size& size : sizes) {
                SCOPED_TRACE(std::string(variant) + " " + std::to_string(size.width) + "×" +
                             std::to_string(size.height) + " left " + std::to_string(margins.left));
                const WallpaperLayout layout = WallpaperLayout::of(renderer, size);
                const Rect& content = layout.content;
                EXPECT_TRUE(within(content, Rect{0, 0, size.width, size.height}));
                const auto& header = layout.header;
                for (const Rect& part :
                     {header.brandIcon, header.brandName, header.weekday, header.month,
                      header.subtitle, header.rule, layout.timeline, layout.weekHeading})
                    EXPECT_TRUE(within(part, content));
                EXPECT_LE(header.weekday.x + header.weekday.width, header.brandIcon.x);
                EXPECT_LE(bottom(header.subtitle), header.rule.y);
                EXPECT_LE(bottom(header.rule), layout.timeline.y);
                EXPECT_GE(layout.footer.y, bottom(content));
                if (size.height - bottom(content) >= 30) { // room for the footer in the margin
                    EXPECT_LE(bottom(layout.footer), size.height);
                }

                const double timelineEnd =
                    layout.timelineClip ? bottom(*layout.timelineClip) : bottom(layout.timeline);
                ASSERT_EQ(layout.reminderSections.size(), allReminderSections.size());
                for (std::size_t i = 0; i < layout.reminderSections.size(); ++i) {
                    const Rect& section = layout.reminderSections[i];
                    EXPECT_TRUE(within(section, content)) << "section " << i;
                    if (layout.wide) {
                        EXPECT_GE(section.x, layout.timeline.x + layout.timeline.width);
                    } else {
                        EXPECT_GE(section.y, timelineEnd);
                    }
                    // Narrow, the band lies over the week; wide, the column beside it.
                    if (!layout.wide) {
                        EXPECT_LE(bottom(section), layout.weekRule.y) << "section " << i;
                    }
                    for (std::size_t j = i + 1; j < layout.reminderSections.size(); ++j)
                        EXPECT_FALSE(intersect(section, layout.reminderSections[j]));
                }
                EXPECT_FALSE(layout.days.empty());
                for (std::size_t i = 0; i < layout.days.size(); ++i) {
                    const Rect& cell = layout.days[i].cell;
                    EXPECT_TRUE(within(cell, content)) << "day " << i;
                    EXPECT_GE(cell.y, bottom(layout.weekHeading));
                    for (std::size_t j = i + 1; j < layout.days.size(); ++j)
                        EXPECT_FALSE(intersect(cell, layout.days[j].cell));
                }
            }
        }
    }
}

// The group columns of the timeline keep apart and inside it, from a narrow portrait column to
// an 8K one, and the grid lies between the headers and the strip.
TEST(TimelineLayout, ColumnsStayApartAndInsideTheFrame) {
    WallpaperRenderer renderer = testing::testRenderer();
    renderer.snapshot = DemoData::snapshot("dense");
    for (double width : {200.0, 480.0, 719.0, 720.0, 1300.0, 4800.0}) {
        for (double height : {150.0, 299.0, 300.0, 900.0}) {
            SCOPED_TRACE(std::to_string(width) + "×" + std::to_string(height));
            const Rect frame{37, 140, width, height};
            const TimelineLayout layout = TimelineLayout::of(renderer, frame);
            const double first = layout.columnX(0);
            const double second = layout.columnX(1);
            EXPECT_GT(first, frame.x);
            EXPECT_LE(first + layout.columnWidth, second);
            EXPECT_LE(second + layout.columnWidth, frame.x + frame.width + 1e-6);
            EXPECT_GT(layout.gridTop, frame.y);
            EXPECT_LE(layout.gridBottom + layout.stripHeight, bottom(frame) + 1e-6);
        }
    }
}

} // namespace
} // namespace brivane
