#include "Brivane/desktop/WallpaperService.h"

#include "BrivaneCore/DesktopRecovery.h"
#include "TestSession.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <sys/stat.h>

// Every fsync of this process passes here (the program's own and Qt's): syncs of directories
// are noted with what the recovery file in that directory held at that moment.
namespace {
std::mutex syncMutex;
std::vector<std::pair<QString, QByteArray>> directorySyncs;
} // namespace

extern "C" int fsync(int fd) {
    using Sync = int (*)(int);
    static const Sync real = reinterpret_cast<Sync>(dlsym(RTLD_NEXT, "fsync"));
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        const QString path = QFileInfo(QStringLiteral("/proc/self/fd/%1").arg(fd)).symLinkTarget();
        QFile recovery(path + QStringLiteral("/original-desktops.json"));
        const QByteArray content = recovery.open(QIODevice::ReadOnly) ? recovery.readAll() : "";
        const std::lock_guard lock(syncMutex);
        directorySyncs.emplace_back(path, content);
    }
    return real(fd);
}

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

// A screen that fails on every apply (locked widgets, a monitor without keys) must not stop
// the cleanup: with a render every five minutes the folder would grow without end.
TEST_F(WallpaperServiceTest, AScreenThatAlwaysFailsLeavesABoundedFolder) {
    // Five hundred applies on a disk would mostly wait for fsync: in memory where possible.
    QTemporaryDir memory(QStringLiteral("/dev/shm/pellora-test-XXXXXX"));
    if (memory.isValid())
        dir = memory.path() + QStringLiteral("/Brivane");
    auto s = service();
    s->apply(snapshot, preferences, {a, ab});
    const QUrl shownByB = *desktop->screens["A-B"].url;
    desktop->refusing.insert("A-B");
    for (int round = 0; round < 500; ++round) {
        const auto result = s->apply(snapshot, preferences, {a, ab});
        ASSERT_EQ(result.errors, (std::vector<std::string>{"Screen A-B: the desktop refused"}));
    }
    const QStringList files = agendaFiles(dir);
    EXPECT_EQ(files.size(), 3) << "A's current and previous image, and what A-B still shows";
    EXPECT_TRUE(QFile::exists(shownByB.toLocalFile())) << "the failed screen still shows it";
    EXPECT_TRUE(QFile::exists(desktop->screens["A"].url->toLocalFile()));
    for (const QString& f : files)
        EXPECT_TRUE(f.startsWith("agenda-A-") || f == QFileInfo(shownByB.toLocalFile()).fileName())
            << f.toStdString() << ": an image written for a refused set is deleted at once";

    // A desktop that cannot even say what it shows keeps what it was last given.
    struct Silent : MemoryDesktop {
        std::optional<QUrl> desktopImageURL(const ConnectedScreen& screen) override {
            if (screen.id == "A-B")
                throw DesktopPictureError("no answer");
            return MemoryDesktop::desktopImageURL(screen);
        }
    };
    auto quiet = std::make_shared<Silent>();
    quiet->screens = desktop->screens;
    quiet->refusing = desktop->refusing;
    desktop = quiet;
    {
        auto first = service();
        desktop->refusing.clear();
        first->apply(snapshot, preferences, {a, ab});
        const QUrl lastGiven = *desktop->screens["A-B"].url;
        desktop->refusing.insert("A-B");
        for (int round = 0; round < 5; ++round)
            first->apply(snapshot, preferences, {a, ab});
        EXPECT_TRUE(QFile::exists(lastGiven.toLocalFile()));
        EXPECT_EQ(agendaFiles(dir).size(), 3);
    }
}

// Screen ids are the system's text; in file names they keep to a safe alphabet, and an image
// left on a screen is still traced back to the screen it was made for.
TEST_F(WallpaperServiceTest, ScreenIdsMakeSafeFileNames) {
    const std::vector<std::string> ids = {
        "../../etc/evil",      "DP-1/2",   "..",    ".hidden", "Dell \"U2720Q\" $(id) `x` 'q'\n",
        std::string(300, 'L'), "HDMI-A-1", "DP-1.2"};
    std::vector<ConnectedScreen> screens;
    for (const std::string& id : ids) {
        screens.push_back(test::screen(id, QRect(0, 0, 800, 600), 1));
        desktop->screens[id] = {userA, {}};
    }
    {
        auto s = service();
        const auto result = s->apply(snapshot, preferences, screens);
        EXPECT_TRUE(result.errors.empty()) << result.errors.front();
        EXPECT_EQ(result.names.size(), ids.size());
    }
    const QStringList files = agendaFiles(dir);
    ASSERT_EQ(files.size(), int(ids.size()));
    EXPECT_EQ(QDir(root).entryList(QDir::Files).size(), 2) << "nothing written outside";
    std::set<QString> names;
    for (const ConnectedScreen& screen : screens) {
        const QUrl shown = *desktop->screens[screen.id].url;
        const QString name = shown.fileName();
        EXPECT_EQ(QFileInfo(shown.toLocalFile()).absolutePath(), dir) << screen.id;
        EXPECT_TRUE(QRegularExpression("^agenda-[A-Za-z0-9_%.-]+-[0-9A-F-]{36}\\.png$")
                        .match(name)
                        .hasMatch())
            << name.toStdString();
        EXPECT_FALSE(name.contains("..")) << name.toStdString();
        EXPECT_LT(name.size(), 200);
        names.insert(name);
    }
    EXPECT_EQ(names.size(), ids.size());
    EXPECT_TRUE(desktop->screens["HDMI-A-1"].url->fileName().startsWith("agenda-HDMI-A-1-"))
        << "plain ids stay readable";
    EXPECT_TRUE(desktop->screens["DP-1.2"].url->fileName().startsWith("agenda-DP-1.2-"));

    // After a crash, each monitor (here shown another's image) inherits the right record.
    ConnectedScreen other = test::screen("other", QRect(0, 0, 800, 600), 1);
    for (const ConnectedScreen& screen : screens) {
        desktop->screens["other"] = desktop->screens[screen.id];
        auto s = service();
        OriginalDesktops records = s->originals();
        records.erase("other");
        ASSERT_TRUE(s->apply(snapshot, preferences, {other}).errors.empty()) << screen.id;
        EXPECT_EQ(s->originals().at("other"), records.at(screen.id));
        EXPECT_TRUE(s->restoreAll({other}).empty());
    }
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

// Every restore takes our images with it (a few megabytes each), except one a screen still
// shows; a recorded wallpaper whose file is gone is named in the failure.
TEST_F(WallpaperServiceTest, RestoreRemovesOurImagesAndNamesAMissingOriginal) {
    auto s = service();
    s->apply(snapshot, preferences, {a, ab});
    s->apply(snapshot, preferences, {a, ab});
    EXPECT_EQ(agendaFiles(dir).size(), 4);
    EXPECT_TRUE(s->restoreAll({a, ab}).empty());
    EXPECT_TRUE(agendaFiles(dir).isEmpty()) << agendaFiles(dir).join(", ").toStdString();

    s->apply(snapshot, preferences, {a, ab});
    ASSERT_TRUE(QFile::remove(userB.toLocalFile()));
    const auto failures = s->restoreAll({a, ab});
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find(userB.toLocalFile().toStdString() + "” no longer exists"),
              std::string::npos)
        << failures[0];
    EXPECT_EQ(desktop->screens["A"].url, userA);
    EXPECT_EQ(agendaFiles(dir), QStringList{desktop->screens["A-B"].url->fileName()});
    EXPECT_TRUE(onDisk().count("A-B")) << "the record stays for a later try";
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

// The record names the user's wallpaper before the desktop changes; a power cut after the
// rename but before the directory reached the disk could bring back the old record while the
// desktop keeps the new picture.
TEST_F(WallpaperServiceTest, TheRecordIsOnDiskBeforeTheDesktopChanges) {
    auto s = service();
    {
        const std::lock_guard lock(syncMutex);
        directorySyncs.clear();
    }
    std::vector<std::pair<QString, QByteArray>> seenAtSet;
    desktop->beforeSet = [&](const ConnectedScreen&) {
        const std::lock_guard lock(syncMutex);
        seenAtSet = directorySyncs;
    };
    ASSERT_TRUE(s->apply(snapshot, preferences, {a}).errors.empty());
    QFile file(dir + "/original-desktops.json");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray record = file.readAll();
    const QString canonical = QFileInfo(dir).canonicalFilePath();
    EXPECT_TRUE(std::any_of(seenAtSet.begin(), seenAtSet.end(), [&](const auto& sync) {
        return sync.first == canonical && sync.second == record;
    })) << "the folder was synced after the record was renamed into place, before the set";
}

// Each screen's file is encoded by a memory of that screen's last image: applies that change a
// few rows write files that hold exactly the new pixels, never another screen's rows.
TEST_F(WallpaperServiceTest, EachScreensFileHoldsItsNewPixelsWhenOnlySomeRowsChanged) {
    int call = 0;
    std::map<std::string, std::shared_ptr<const RasterImage>> drawn; // by screen width
    auto s = service([&](const WallpaperRequest& r) {
        // Both screens' images have one size; each its own pixels, with one row that moves.
        auto raster = RasterImage::create(64, 40);
        const std::uint32_t base = r.size.width() == 1440 ? 0xFF204060u : 0xFF604020u;
        for (int y = 0; y < 40; ++y) {
            auto* row = reinterpret_cast<std::uint32_t*>(raster->data() + raster->stride() * y);
            for (int x = 0; x < 64; ++x)
                row[x] = y == 5 + 3 * call ? 0xFFFFFFFFu : base + std::uint32_t((x * 7 + y) % 31);
        }
        raster->markChanged();
        drawn[std::to_string(r.size.width())] = raster;
        return WallpaperImage{{}, QColor(242, 242, 242), raster};
    });
    for (call = 0; call < 3; ++call) {
        SCOPED_TRACE(call);
        ASSERT_TRUE(s->apply(snapshot, preferences, {a, ab}).errors.empty());
        for (const auto& [screen, width] : {std::pair{&a, "1440"}, std::pair{&ab, "1920"}}) {
            const QImage file(desktop->screens[screen->id].url->toLocalFile());
            ASSERT_EQ(file.size(), QSize(64, 40));
            const RasterImage& expected = *drawn[width];
            int differences = 0;
            for (int y = 0; y < 40; ++y)
                for (int x = 0; x < 64; ++x)
                    differences += (file.pixel(x, y) << 8 | 0xFFu) != expected.rgba(x, y);
            EXPECT_EQ(differences, 0) << screen->id;
        }
    }
}

} // namespace
} // namespace brivane
