#include "Brivane/desktop/WallpaperService.h"

#include "TestSession.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <map>

namespace brivane {
namespace {

// The desktop as a map, for the service's failure and bookkeeping logic. The real backends
// have their own tests; the crash test runs the service on the real GNOME settings.
class MemoryDesktop : public DesktopPictures {
public:
    struct Shown {
        std::optional<QUrl> url;
        DesktopOptions options = DesktopOptions::object();
    };
    std::map<std::string, Shown> screens;
    std::set<std::string> refusing;
    std::function<void(const ConnectedScreen&)> beforeSet;
    int sets = 0;

    QString desktopName() const override { return QStringLiteral("Memory"); }
    std::optional<QUrl> desktopImageURL(const ConnectedScreen& s) override {
        return screens[s.id].url;
    }
    DesktopOptions desktopImageOptions(const ConnectedScreen& s) override {
        return screens[s.id].options;
    }
    void setDesktopImageURL(const QUrl& url, const ConnectedScreen& s,
                            const DesktopOptions& options) override {
        if (beforeSet)
            beforeSet(s);
        if (refusing.count(s.id))
            throw DesktopPictureError("the desktop refused");
        ++sets;
        screens[s.id] = {url, options};
    }
    DesktopOptions stretchedOptions(const QColor& fill) const override {
        return {{"style", "stretched"}, {"fill", fill.name().toStdString()}};
    }
};

WallpaperImage tinyImage(const WallpaperRequest&) {
    QImage image(4, 3, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "png");
    return {png, QColor(242, 242, 242)};
}

QStringList agendaFiles(const QString& dir) {
    return QDir(dir).entryList({QStringLiteral("agenda-*.png")}, QDir::Files, QDir::Name);
}

class WallpaperServiceTest : public testing::Test {
protected:
    void SetUp() override {
        root = test::freshDirectory(QStringLiteral("service"));
        dir = root + QStringLiteral("/Brivane");
        desktop = std::make_shared<MemoryDesktop>();
        a = test::screen("A", QRect(0, 0, 1440, 900), 2);
        ab = test::screen("A-B", QRect(1440, 0, 1920, 1080), 1);
        userA = test::writeImage(root + QStringLiteral("/lake.jpg"), {8, 8}, Qt::blue);
        userB = test::writeImage(root + QStringLiteral("/hill.png"), {8, 8}, Qt::green);
        desktop->screens["A"] = {userA, {{"style", "zoom"}}};
        desktop->screens["A-B"] = {userB, {{"style", "centered"}}};
    }
    std::unique_ptr<WallpaperService> service(WallpaperImageSource painter = tinyImage) {
        return std::make_unique<WallpaperService>(dir, desktop, std::move(painter));
    }
    OriginalDesktops onDisk() const {
        QFile file(dir + "/original-desktops.json");
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return decodeOriginalDesktops(file.readAll());
    }

    QString root, dir;
    std::shared_ptr<MemoryDesktop> desktop;
    ConnectedScreen a, ab;
    QUrl userA, userB;
    AgendaSnapshot snapshot;
    Preferences preferences;
};

TEST_F(WallpaperServiceTest, AppliesRecordingTheUsersWallpaperFirst) {
    auto s = service();
    EXPECT_EQ(QFileInfo(dir).permissions() & 0x7777,
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                  QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
    std::vector<WallpaperRequest> requests;
    desktop->beforeSet = [&](const ConnectedScreen& screen) {
        // The record is on disk before the desktop changes.
        EXPECT_TRUE(onDisk().count(screen.id)) << screen.id;
    };
    const auto result = s->apply(snapshot, preferences, {a, ab});
    EXPECT_EQ(result.names, (std::vector<std::string>{"Screen A", "Screen A-B"}));
    EXPECT_TRUE(result.errors.empty());

    const OriginalDesktops originals = onDisk();
    ASSERT_EQ(originals.size(), 2u);
    EXPECT_EQ(originals.at("A").url, userA);
    EXPECT_EQ(nlohmann::json::parse(originals.at("A").options->toStdString()),
              (nlohmann::json{{"style", "zoom"}}));
    EXPECT_EQ(QFileInfo(dir + "/original-desktops.json").permissions() & 0x7700,
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                  QFileDevice::WriteUser);

    const QStringList files = agendaFiles(dir);
    ASSERT_EQ(files.size(), 2);
    for (const QString& f : files) {
        EXPECT_TRUE(QRegularExpression("^agenda-(A|A-B)-[0-9A-F]{8}-[0-9A-F-]{27}\\.png$")
                        .match(f)
                        .hasMatch())
            << f.toStdString();
        EXPECT_EQ(QFileInfo(dir + '/' + f).permissions() & 0x0077, 0) << "owner only";
    }
    const auto shown = desktop->screens["A"];
    EXPECT_EQ(shown.options, (DesktopOptions{{"style", "stretched"}, {"fill", "#f2f2f2"}}));
    EXPECT_TRUE(shown.url->toLocalFile().startsWith(dir + "/agenda-A-"));

    // A second apply keeps the first record: the user's wallpaper, not our image.
    s->apply(snapshot, preferences, {a, ab});
    EXPECT_EQ(onDisk().at("A").url, userA);
}

TEST_F(WallpaperServiceTest, DefaultMarginsAndTimelineForAScreenWithoutSettings) {
    auto s = service([&](const WallpaperRequest& r) {
        EXPECT_EQ(r.screen, ScreenPreferences{});
        EXPECT_EQ(r.screen.top, 0.05);
        EXPECT_EQ(r.screen.bottom, 0.08);
        EXPECT_EQ(r.screen.right, 0.12);
        EXPECT_EQ(r.screen.left, 0.05);
        EXPECT_EQ(r.size, QSize(1440, 900));
        EXPECT_EQ(r.scale, 2.0);
        return tinyImage(r);
    });
    EXPECT_EQ(s->apply(snapshot, preferences, {a}).names.size(), 1u);
}

TEST_F(WallpaperServiceTest, ImagesStayWhileShownOrSetByTheLastCall) {
    auto s = service();
    s->apply(snapshot, preferences, {a});
    const QStringList first = agendaFiles(dir);
    s->apply(snapshot, preferences, {a});
    EXPECT_EQ(agendaFiles(dir).size(), 2) << "the first image is retained for one more call";
    s->apply(snapshot, preferences, {a});
    QStringList now = agendaFiles(dir);
    EXPECT_EQ(now.size(), 2);
    EXPECT_FALSE(now.contains(first.front()));

    // An image still on display survives, even when no call set it lately: A-B, switched
    // off and never changed by us, mirrors A's current image.
    const QUrl mirrored = *desktop->screens["A"].url;
    desktop->screens["A-B"] = {mirrored, {}};
    preferences.screens["A-B"].enabled = false;
    s->apply(snapshot, preferences, {a, ab});
    s->apply(snapshot, preferences, {a, ab});
    s->apply(snapshot, preferences, {a, ab});
    EXPECT_TRUE(QFile::exists(mirrored.toLocalFile()));
    EXPECT_EQ(agendaFiles(dir).size(), 3);

    // The temporary file of a write a crash interrupted goes too; other files stay.
    QFile(dir + "/agenda-A-1.png.Ab12Cd").open(QIODevice::WriteOnly);
    QFile(dir + "/agenda-notes.txt").open(QIODevice::WriteOnly);
    // With no screens the cleanup still runs, keeping only what the last call set.
    const auto result = s->apply(snapshot, preferences, {});
    EXPECT_TRUE(result.names.empty() && result.errors.empty());
    EXPECT_TRUE(s->retainedURLs().empty());
    EXPECT_FALSE(QFile::exists(dir + "/agenda-A-1.png.Ab12Cd"));
    EXPECT_TRUE(QFile::exists(dir + "/agenda-notes.txt"));
}

TEST_F(WallpaperServiceTest, NothingIsDeletedWhenAScreenFails) {
    auto s = service();
    s->apply(snapshot, preferences, {a});
    s->apply(snapshot, preferences, {a});
    desktop->refusing.insert("A-B");
    const auto result = s->apply(snapshot, preferences, {a, ab});
    ASSERT_EQ(result.errors, (std::vector<std::string>{"Screen A-B: the desktop refused"}));
    EXPECT_EQ(agendaFiles(dir).size(), 4) << "three of A and the written one of A-B";
}

TEST_F(WallpaperServiceTest, AScreenWithoutAPictureIsNeverChanged) {
    desktop->screens["A"].url.reset();
    auto s = service();
    const auto result = s->apply(snapshot, preferences, {a, ab});
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0], "Screen A: " + std::string(WallpaperError().what()));
    EXPECT_EQ(result.names, std::vector<std::string>{"Screen A-B"});
    EXPECT_FALSE(desktop->screens["A"].url.has_value());
    EXPECT_FALSE(onDisk().count("A"));
}

TEST_F(WallpaperServiceTest, AScreenShowingAnotherScreensImageInheritsItsRecord) {
    {
        auto s = service();
        s->apply(snapshot, preferences, {a});
    } // ended without restoring
    // Another monitor now shows the image made for A (mirroring, a moved cable …).
    ConnectedScreen c = test::screen("C", QRect(0, 0, 800, 600), 1);
    desktop->screens["C"] = desktop->screens["A"];
    ConnectedScreen d = test::screen("D", QRect(0, 0, 800, 600), 1);
    desktop->screens["D"] = {QUrl::fromLocalFile(dir + "/agenda-Z-1.png"), {}};
    auto s = service();
    const auto result = s->apply(snapshot, preferences, {c, d});
    EXPECT_EQ(result.names, std::vector<std::string>{"Screen C"});
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(onDisk().at("C"), onDisk().at("A"));
    EXPECT_EQ(desktop->screens["D"].url, QUrl::fromLocalFile(dir + "/agenda-Z-1.png"));
}

TEST_F(WallpaperServiceTest, SwitchedOffScreenIsPutBackAndListedNowhere) {
    auto s = service();
    s->apply(snapshot, preferences, {a, ab});
    preferences.screens["A-B"].enabled = false;
    const auto result = s->apply(snapshot, preferences, {a, ab});
    EXPECT_EQ(result.names, std::vector<std::string>{"Screen A"});
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(desktop->screens["A-B"].url, userB);
    EXPECT_EQ(desktop->screens["A-B"].options, (DesktopOptions{{"style", "centered"}}));
    EXPECT_FALSE(onDisk().count("A-B"));
}

TEST_F(WallpaperServiceTest, RestoreAllPutsBackAndReportsWhatFailed) {
    {
        auto s = service();
        s->apply(snapshot, preferences, {a, ab});
    }
    auto s = service(); // as after a crash: the records come from disk
    desktop->refusing.insert("A");
    auto failures = s->restoreAll({a, ab});
    EXPECT_EQ(failures, std::vector<std::string>{"Screen A: the desktop refused"});
    EXPECT_EQ(desktop->screens["A-B"].url, userB);
    EXPECT_TRUE(onDisk().count("A")) << "the record stays until the screen is back";
    desktop->refusing.clear();
    EXPECT_TRUE(s->restoreAll({a, ab}).empty());
    EXPECT_EQ(desktop->screens["A"].url, userA);
    QFile file(dir + "/original-desktops.json");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "{}");
}

TEST_F(WallpaperServiceTest, RestoreFallsBackToTheFileAllRecordsAgreeOn) {
    desktop->screens["A-B"] = desktop->screens["A"];
    {
        auto s = service();
        s->apply(snapshot, preferences, {a, ab});
    }
    // A's record was written by an older run from a desktop showing our own image.
    QFile file(dir + "/original-desktops.json");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    auto json = nlohmann::json::parse(file.readAll().toStdString());
    file.close();
    json["A"]["url"] = QUrl::fromLocalFile(dir + "/agenda-A-B-OLD.png").toString().toStdString();
    QFile::remove(dir + "/original-desktops.json");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray::fromStdString(json.dump()));
    file.close();

    auto s = service();
    EXPECT_TRUE(s->restoreAll({a, ab}).empty());
    EXPECT_EQ(desktop->screens["A"].url, userA) << "the common file of the usable records";

    // Two different user files: no guessing.
    const OriginalDesktops two = {{"A", {QUrl::fromLocalFile(dir + "/agenda-A-B-x.png"), {}}},
                                  {"A-B", {QUrl::fromLocalFile(root + "/gone.png"), {}}},
                                  {"C", {userA, {}}},
                                  {"D", {userB, {}}}};
    EXPECT_EQ(OriginalDesktop::recover(two.at("A"), two), std::nullopt);
}

TEST_F(WallpaperServiceTest, UnusableRecordsAreNotRestored) {
    const std::set<std::string> ids = {"A"};
    EXPECT_FALSE(OriginalDesktop::isOriginalFile({QUrl::fromLocalFile(root), {}}, ids)) << "folder";
    EXPECT_FALSE(
        OriginalDesktop::isOriginalFile({QUrl::fromLocalFile(root + "/gone.jpg"), {}}, ids));
    EXPECT_FALSE(OriginalDesktop::isOriginalFile({QUrl("https://example.com/a.jpg"), {}}, ids));
    EXPECT_TRUE(OriginalDesktop::isOriginalFile({userA, {}}, ids));
    const QUrl own = test::writeImage(root + "/agenda-A-1.png", {2, 2}, Qt::red);
    EXPECT_FALSE(OriginalDesktop::isOriginalFile({own, {}}, ids)) << "our own image";
    // A foreign record whose file is gone has no fallback.
    const OriginalDesktops map = {{"A", {QUrl::fromLocalFile(root + "/gone.jpg"), {}}},
                                  {"B", {userA, {}}}};
    EXPECT_EQ(OriginalDesktop::recover(map.at("A"), map), std::nullopt);
}

TEST_F(WallpaperServiceTest, BadRecoveryDataAndDirectoriesAreReportedAndNothingIsLost) {
    QDir().mkpath(dir);
    const QByteArray corrupt = R"({"A":{"url":"file:///x.jpg"},"B":)";
    {
        QFile f(dir + "/original-desktops.json");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(corrupt);
    }
    EXPECT_THROW(service(), RecoveryDataError);
    QFile f(dir + "/original-desktops.json");
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), corrupt) << "left for the user to inspect";

    EXPECT_THROW(decodeOriginalDesktops(R"({"A":{"options":"AA=="}})"), RecoveryDataError);
    EXPECT_THROW(decodeOriginalDesktops(R"({"A":{"url":"file:///x","options":"%%"}})"),
                 RecoveryDataError);
    EXPECT_THROW(decodeOriginalDesktops(R"([1])"), RecoveryDataError);
    const auto ok =
        decodeOriginalDesktops(R"({"A":{"url":"file:///my%20x.jpg","options":"e30="}})");
    EXPECT_EQ(ok.at("A").url.toLocalFile(), "/my x.jpg");
    EXPECT_EQ(ok.at("A").options, QByteArray("{}"));
    EXPECT_EQ(decodeOriginalDesktops(encodeOriginalDesktops(ok)), ok);

    const QString file = root + "/plain-file";
    QFile(file).open(QIODevice::WriteOnly);
    EXPECT_THROW(WallpaperService(file, desktop, tinyImage), std::system_error);
}

TEST_F(WallpaperServiceTest, AnUnwritableDirectoryLeavesTheDesktopAlone) {
    auto s = service();
    // The recovery file cannot be replaced (a folder took its name; as root, permissions
    // would not stop the write).
    QDir().mkpath(dir + "/original-desktops.json/x");
    const auto result = s->apply(snapshot, preferences, {a});
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(desktop->sets, 0);
    EXPECT_EQ(desktop->screens["A"].url, userA);
    EXPECT_TRUE(s->originals().empty());
}

} // namespace
} // namespace brivane
