#pragma once

#include <map>
#include <string>
#include <utility>

namespace brivane {

// CPU time of the stages a wallpaper goes through (drawing, composing, encoding, writing),
// summed since the process started, per stage and detail (the image's size). Cheap enough to
// stay on; the benchmarks print it to show where an apply's time goes. Main thread only.
class StageCost {
public:
    struct Total {
        int count = 0;
        double seconds = 0;
    };
    using Key = std::pair<std::string, std::string>; // stage, detail

    // Adds the process's CPU time (every thread: the encoder may use two) from its making to its
    // end to one stage.
    class Measure {
    public:
        explicit Measure(const char* stage, std::string detail = {});
        ~Measure();
        Measure(const Measure&) = delete;
        Measure& operator=(const Measure&) = delete;

    private:
        const char* stage_;
        std::string detail_;
        double start_;
    };

    // The detail naming an image's size: "2560x1440".
    static std::string size(int pixelWidth, int pixelHeight);

    static const std::map<Key, Total>& totals();
    static void reset();
};

} // namespace brivane
