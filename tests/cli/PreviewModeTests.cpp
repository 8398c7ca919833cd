#include "Brivane/BrivaneApp.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <png.h>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace brivane {
namespace {

namespace fs = std::filesystem;

struct TempDirectory {
    fs::path path;
    TempDirectory() {
        char pattern[] = "/tmp/pellora-render-XXXXXX";
        if (const char* made = mkdtemp(pattern))
            path = made;
    }
    ~TempDirectory() { fs::remove_all(path); }
};

int runMain(const std::vector<std::string>& args) {
    std::string program = "pellora";
    std::vector<std::string> copies = args;
    std::vector<char*> argv{program.data()};
    for (auto& arg : copies)
        argv.push_back(arg.data());
    return BrivaneApp::main(static_cast<int>(argv.size()), argv.data());
}

TEST(PreviewMode, WritesTheTwentySixFilesWithTheirSizes) {
    setenv("LANGUAGE", "it", 1);
    TempDirectory temp;
    const fs::path out = temp.path / "nested" / "previews";
    ASSERT_EQ(runMain({"--render-previews", out.string()}), 0);
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(out))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names.size(), 26u);
    for (const char* name : {"normal-1440x900.png", "dense-3440x1440.png",
                             "unavailable-1080x1920.png", "palette-0.png", "palette-5.png"})
        EXPECT_TRUE(names.count(name)) << name;

    png_image header{};
    header.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&header, (out / "dense-3440x1440.png").c_str()));
    EXPECT_EQ(header.width, 3440u);
    EXPECT_EQ(header.height, 1440u);
    png_image_free(&header);

    // A file where the directory should be is reported, with status 1.
    std::ofstream(temp.path / "file") << "x";
    EXPECT_EQ(runMain({"--render-previews", (temp.path / "file").string()}), 1);
}

} // namespace
} // namespace brivane
