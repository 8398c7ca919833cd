#include "Brivane/desktop/GSettingsDesktopPictures.h"

#include "Brivane/desktop/GnomeBackgroundXml.h"
#include "Brivane/desktop/WallpaperService.h"
#include "Brivane/render/DemoData.h"
#include "TestSession.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <gio/gio.h>
#include <gtest/gtest.h>

namespace brivane {
namespace {

using Flavour = GSettingsDesktopPictures::Flavour;
using test::run;

QString gsettings(const char* schema, const char* key) {
    // A fresh process: what the desktop itself would read.
    return run(QStringLiteral("gsettings"),
               {QStringLiteral("get"), QString::fromLatin1(schema), QString::fromLatin1(key)})
        .trimmed();
}

QStringList composites(const QString& dir) {
    return QDir(dir).entryList({QStringLiteral("pellora-spanned-*")}, QDir::Files);
}

// Back to the schema defaults, in this process (the keyfile backend of this process would
// see another process's change only once the main loop ran).
void resetSchema(const char* id) {
    GSettings* settings = g_settings_new(id);
    GSettingsSchema* schema = nullptr;
    g_object_get(settings, "settings-schema", &schema, nullptr);
    gchar** keys = g_settings_schema_list_keys(schema);
    for (gchar** key = keys; *key; ++key)
        g_settings_reset(settings, *key);
    g_strfreev(keys);
    g_settings_schema_unref(schema);
    g_settings_sync();
    g_object_unref(settings);
}

class GSettingsTest : public testing::Test {
protected:
    void SetUp() override {
        for (const char* id : {"org.gnome.desktop.background", "org.cinnamon.desktop.background",
                               "org.mate.background"})
            resetSchema(id);
        dir = test::freshDirectory(QStringLiteral("gsettings"));
        a = test::screen("A", QRect(0, 0, 1440, 900), 2.0);
        b = test::screen("B", QRect(1440, 0, 1920, 1080), 1.0);
        user = test::writeImage(dir + QStringLiteral("/my photo.png"), {64, 40}, Qt::blue);
    }
    QString dir;
    ConnectedScreen a, b;
    QUrl user;
};

TEST_F(GSettingsTest, OneScreenIsSetDirectlyAndRestoredExactly) {
    GSettingsDesktopPictures gnome(Flavour::gnome, [&] { return std::vector{a}; });
    const DesktopOptions userOptions = {{"picture-uri-dark", "file:///usr/share/dark%20one.jpg"},
                                        {"picture-options", "zoom"},
                                        {"primary-color", "#123456"},
                                        {"color-shading-type", "vertical"}};
    gnome.setDesktopImageURL(user, a, userOptions);
    ASSERT_EQ(gnome.desktopImageURL(a), user);
    const DesktopOptions recorded = gnome.desktopImageOptions(a);
    DesktopOptions withPicture = userOptions;
    withPicture["picture-uri"] = user.toString(QUrl::FullyEncoded).toStdString();
    EXPECT_EQ(recorded, withPicture);

    const QUrl agenda =
        test::writeImage(dir + QStringLiteral("/agenda-A-1.png"), {2880, 1800}, Qt::red);
    gnome.setDesktopImageURL(agenda, a, gnome.stretchedOptions(QColor(242, 242, 242)));
    const QString uri = QLatin1Char('\'') + agenda.toString(QUrl::FullyEncoded) + QLatin1Char('\'');
    EXPECT_EQ(gsettings("org.gnome.desktop.background", "picture-uri"), uri);
    EXPECT_EQ(gsettings("org.gnome.desktop.background", "picture-uri-dark"), uri);
    EXPECT_EQ(gsettings("org.gnome.desktop.background", "picture-options"), "'stretched'");
    EXPECT_EQ(gsettings("org.gnome.desktop.background", "primary-color"), "'#f2f2f2'");
    EXPECT_EQ(gsettings("org.gnome.desktop.background", "color-shading-type"), "'solid'");

    gnome.setDesktopImageURL(user, a, recorded);
    EXPECT_EQ(gsettings("org.gnome.desktop.background", "picture-uri"),
              "'" + user.toString(QUrl::FullyEncoded) + "'");
    EXPECT_EQ(gsettings("org.gnome.desktop.background", "picture-uri-dark"),
              "'file:///usr/share/dark%20one.jpg'");
    EXPECT_EQ(gnome.desktopImageOptions(a), withPicture);
    EXPECT_TRUE(composites(dir).isEmpty());
}

TEST_F(GSettingsTest, SeveralScreensShareOneSpannedImageAndEachAnswersForItself) {
    GSettingsDesktopPictures gnome(Flavour::gnome, [&] { return std::vector{a, b}; });
    const DesktopOptions userOptions = {{"picture-uri-dark", user.toString().toStdString()},
                                        {"picture-options", "zoom"},
                                        {"primary-color", "#000000"},
                                        {"color-shading-type", "solid"}};
    GSettingsDesktopPictures(Flavour::gnome, [&] {
        return std::vector{a};
    }).setDesktopImageURL(user, a, userOptions);
    ASSERT_EQ(gnome.desktopImageURL(b), user);
    const DesktopOptions originalA = gnome.desktopImageOptions(a);
    const DesktopOptions originalB = gnome.desktopImageOptions(b);

    const QUrl agendaA =
        test::writeImage(dir + QStringLiteral("/agenda-A-1.png"), {2880, 1800}, Qt::red);
    gnome.setDesktopImageURL(agendaA, a, gnome.stretchedOptions(Qt::white));
    EXPECT_EQ(gnome.desktopImageURL(a), agendaA);
    EXPECT_EQ(gnome.desktopImageURL(b), user) << "B still shows the user's picture";
    EXPECT_EQ(gnome.desktopImageOptions(b), originalB);
    EXPECT_EQ(gsettings("org.gnome.desktop.background", "picture-options"), "'spanned'");
    ASSERT_EQ(composites(dir).size(), 2) << "the composite and its sidecar";

    const QUrl agendaB =
        test::writeImage(dir + QStringLiteral("/agenda-B-1.png"), {1920, 1080}, Qt::green);
    gnome.setDesktopImageURL(agendaB, b, gnome.stretchedOptions(Qt::white));
    EXPECT_EQ(gnome.desktopImageURL(a), agendaA);
    EXPECT_EQ(gnome.desktopImageURL(b), agendaB);
    const QStringList files = composites(dir);
    ASSERT_EQ(files.size(), 2) << "the previous composite is gone";

    // Laid out like the monitors, at the sharpest monitor's scale.
    const QString shown =
        QUrl(gsettings("org.gnome.desktop.background", "picture-uri").mid(1).chopped(1))
            .toLocalFile();
    QImage composite(shown);
    ASSERT_EQ(composite.size(), QSize(3360 * 2, 1080 * 2));
    EXPECT_EQ(composite.pixelColor(100, 100), QColor(Qt::red));
    EXPECT_EQ(composite.pixelColor(2880 + 100, 100), QColor(Qt::green));
    EXPECT_EQ(composite.pixelColor(6719, 2159), QColor(Qt::green));
    EXPECT_EQ(composite.pixelColor(100, 1900), QColor(Qt::white)) << "below A: the fill colour";
    EXPECT_EQ(gsettings("org.gnome.desktop.background", "picture-uri-dark"),
              gsettings("org.gnome.desktop.background", "picture-uri"));

    // Putting every screen back shows the user's picture with the user's options again.
    gnome.setDesktopImageURL(user, a, originalA);
    EXPECT_EQ(gnome.desktopImageURL(a), user);
    EXPECT_EQ(gnome.desktopImageURL(b), agendaB);
    gnome.setDesktopImageURL(user, b, originalB);
    EXPECT_EQ(gsettings("org.gnome.desktop.background", "picture-uri"),
              "'" + user.toString(QUrl::FullyEncoded) + "'");
    EXPECT_EQ(gsettings("org.gnome.desktop.background", "picture-options"), "'zoom'");
    EXPECT_EQ(gnome.desktopImageOptions(b), originalB);
    EXPECT_TRUE(composites(dir).isEmpty());
}

TEST_F(GSettingsTest, ABatchIsComposedOnceAtItsEnd) {
    GSettingsDesktopPictures(Flavour::gnome, [&] {
        return std::vector{a};
    }).setDesktopImageURL(user, a, {{"picture-options", "zoom"}});
    const QString before = gsettings("org.gnome.desktop.background", "picture-uri");
    GSettingsDesktopPictures gnome(Flavour::gnome, [&] { return std::vector{a, b}; });
    const QUrl agendaA =
        test::writeImage(dir + QStringLiteral("/agenda-A-1.png"), {2880, 1800}, Qt::red);
    const QUrl agendaB =
        test::writeImage(dir + QStringLiteral("/agenda-B-1.png"), {1920, 1080}, Qt::green);
    gnome.beginBatch();
    gnome.setDesktopImageURL(agendaA, a, gnome.stretchedOptions(Qt::white));
    gnome.setDesktopImageURL(agendaB, b, gnome.stretchedOptions(Qt::white));
    EXPECT_EQ(gsettings("org.gnome.desktop.background", "picture-uri"), before)
        << "nothing shown before the end";
    EXPECT_TRUE(composites(dir).isEmpty());
    gnome.endBatch();
    EXPECT_EQ(composites(dir).size(), 2);
    EXPECT_EQ(gnome.desktopImageURL(a), agendaA);
    EXPECT_EQ(gnome.desktopImageURL(b), agendaB);
}

TEST_F(GSettingsTest, OnX11TheCompositeIsLaidOutInDevicePixels) {
    // Qt on X11 keeps a screen's position in device pixels and scales only its size.
    a = test::screen("A", QRect(0, 0, 960, 540), 2.0);
    a.layout = QRect(0, 0, 1920, 1080);
    a.layoutScale = 1;
    b = test::screen("B", QRect(1920, 0, 1920, 1200), 1.0);
    b.layout = b.geometry;
    b.layoutScale = 1;
    GSettingsDesktopPictures(Flavour::gnome, [&] {
        return std::vector{a};
    }).setDesktopImageURL(user, a, {{"picture-options", "zoom"}});
    GSettingsDesktopPictures gnome(Flavour::gnome, [&] { return std::vector{a, b}; });
    const QUrl agendaA =
        test::writeImage(dir + QStringLiteral("/agenda-A-1.png"), {1920, 1080}, Qt::red);
    gnome.setDesktopImageURL(agendaA, a, gnome.stretchedOptions(Qt::white));
    const QImage composite(
        QUrl(gsettings("org.gnome.desktop.background", "picture-uri").mid(1).chopped(1))
            .toLocalFile());
    ASSERT_EQ(composite.size(), QSize(3840, 1200));
    EXPECT_EQ(composite.pixelColor(1919, 1079), QColor(Qt::red)) << "no gap, no overlap";
    EXPECT_EQ(composite.pixelColor(1920, 0), QColor(Qt::blue)) << "B keeps the user's picture";
}

TEST_F(GSettingsTest, CinnamonAndMateUseTheirOwnKeys) {
    GSettingsDesktopPictures cinnamon(Flavour::cinnamon, [&] { return std::vector{a}; });
    EXPECT_EQ(cinnamon.desktopImageURL(a),
              QUrl("file:///usr/share/backgrounds/linuxmint/default_background.jpg"));
    const DesktopOptions before = cinnamon.desktopImageOptions(a);
    EXPECT_EQ(before,
              (DesktopOptions{
                  {"picture-uri", "file:///usr/share/backgrounds/linuxmint/default_background.jpg"},
                  {"picture-options", "zoom"},
                  {"primary-color", "#023c88"},
                  {"color-shading-type", "solid"},
                  {"unsetKeys",
                   {"picture-uri", "picture-options", "primary-color", "color-shading-type"}}}));
    cinnamon.setDesktopImageURL(user, a, cinnamon.stretchedOptions(Qt::white));
    EXPECT_EQ(gsettings("org.cinnamon.desktop.background", "picture-uri"),
              "'" + user.toString(QUrl::FullyEncoded) + "'");
    EXPECT_EQ(gsettings("org.cinnamon.desktop.background", "picture-options"), "'stretched'");
    // Put back, the keys the user never set are unset again, not set to the defaults' values.
    cinnamon.setDesktopImageURL(
        QUrl("file:///usr/share/backgrounds/linuxmint/default_background.jpg"), a, before);
    {
        GSettings* settings = g_settings_new("org.cinnamon.desktop.background");
        for (const char* key : {"picture-uri", "picture-options", "primary-color"}) {
            GVariant* value = g_settings_get_user_value(settings, key);
            EXPECT_EQ(value, nullptr) << key;
            if (value)
                g_variant_unref(value);
        }
        g_object_unref(settings);
    }

    GSettingsDesktopPictures mate(Flavour::mate, [&] { return std::vector{a}; });
    EXPECT_EQ(mate.desktopImageURL(a),
              QUrl::fromLocalFile("/usr/share/backgrounds/mate/desktop/Stripes.png"));
    const DesktopOptions mateBefore = mate.desktopImageOptions(a);
    mate.setDesktopImageURL(user, a, mate.stretchedOptions(Qt::white));
    // MATE stores a plain path, not a URI.
    EXPECT_EQ(gsettings("org.mate.background", "picture-filename"), "'" + user.toLocalFile() + "'");
    mate.setDesktopImageURL(QUrl::fromLocalFile("/usr/share/backgrounds/mate/desktop/Stripes.png"),
                            a, mateBefore);
    EXPECT_EQ(gsettings("org.mate.background", "color-shading-type"), "'vertical-gradient'");
    EXPECT_EQ(gsettings("org.mate.background", "primary-color"), "'#58589191bcbc'");
}

TEST_F(GSettingsTest, ARefusedValueChangesNothing) {
    GSettingsDesktopPictures gnome(Flavour::gnome, [&] { return std::vector{a}; });
    const auto before = gnome.desktopImageURL(a);
    EXPECT_THROW(gnome.setDesktopImageURL(user, a, {{"picture-options", "sideways"}}),
                 DesktopPictureError);
    EXPECT_EQ(gnome.desktopImageURL(a), before);
    EXPECT_EQ(gsettings("org.gnome.desktop.background", "picture-uri"),
              "'" + before->toString(QUrl::FullyEncoded) + "'");
}

// What GNOME shows on B, the screen that keeps the user's picture while A gets the agenda.
class GSettingsCompositeTest : public GSettingsTest {
protected:
    void SetUp() override {
        GSettingsTest::SetUp();
        // Small monitors: the composite is drawn, encoded and read back in every test.
        a = test::screen("A", QRect(0, 0, 144, 90), 2.0);
        b = test::screen("B", QRect(144, 0, 192, 108), 1.0);
    }
    QColor shownOnB(const QUrl& userPicture, DesktopOptions options = {}) {
        options["picture-options"] = "zoom";
        GSettingsDesktopPictures(Flavour::gnome, [&] {
            return std::vector{a};
        }).setDesktopImageURL(userPicture, a, options);
        GSettingsDesktopPictures gnome(Flavour::gnome, [&] { return std::vector{a, b}; });
        const QUrl agendaA = test::writeImage(dir + "/agenda-A-1.png", {288, 180}, Qt::red);
        gnome.setDesktopImageURL(agendaA, a, gnome.stretchedOptions(Qt::white));
        const QImage composite(
            QUrl(gsettings("org.gnome.desktop.background", "picture-uri").mid(1).chopped(1))
                .toLocalFile());
        EXPECT_EQ(composite.size(), QSize(672, 216));
        return composite.pixelColor(288 + 192, 108);
    }
    QString write(const QString& name, const QByteArray& text) {
        QFile file(dir + '/' + name);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        return file.fileName();
    }
};

TEST_F(GSettingsCompositeTest, ScreensAreComposedFromTheirDrawnPixelsNotFromTheirFiles) {
    GSettingsDesktopPictures(Flavour::gnome, [&] {
        return std::vector{a};
    }).setDesktopImageURL(user, a, {{"picture-options", "zoom"}});
    GSettingsDesktopPictures gnome(Flavour::gnome, [&] { return std::vector{a, b}; });
    // The files say red; the pixels just drawn (and encoded into them) say green and yellow.
    const QUrl agendaA = test::writeImage(dir + "/agenda-A-1.png", {288, 180}, Qt::red);
    const QUrl agendaB = test::writeImage(dir + "/agenda-B-1.png", {192, 108}, Qt::red);
    auto pixels = [](QSize size, QColor colour) {
        auto raster = RasterImage::create(size.width(), size.height());
        QImage(raster->data(), size.width(), size.height(), qsizetype(raster->stride()),
               QImage::Format_ARGB32_Premultiplied)
            .fill(colour);
        raster->markChanged();
        return std::shared_ptr<const RasterImage>(raster);
    };
    gnome.beginBatch();
    gnome.setDrawnImage({agendaA, pixels({288, 180}, Qt::green), [] {}}, a,
                        gnome.stretchedOptions(Qt::white));
    gnome.setDrawnImage({agendaB, pixels({192, 108}, Qt::yellow), [] {}}, b,
                        gnome.stretchedOptions(Qt::white));
    gnome.endBatch();
    const QImage composite(
        QUrl(gsettings("org.gnome.desktop.background", "picture-uri").mid(1).chopped(1))
            .toLocalFile());
    EXPECT_EQ(composite.pixelColor(100, 100), QColor(Qt::green));
    EXPECT_EQ(composite.pixelColor(288 + 100, 100), QColor(Qt::yellow));

    // Outside that batch, a screen's image comes from its file again.
    gnome.setDesktopImageURL(user, b, {{"picture-options", "zoom"}});
    const QImage recomposed(
        QUrl(gsettings("org.gnome.desktop.background", "picture-uri").mid(1).chopped(1))
            .toLocalFile());
    EXPECT_EQ(recomposed.pixelColor(100, 100), QColor(Qt::red));
}

TEST_F(GSettingsCompositeTest, GnomesXmlBackgroundsShowTheirCurrentSlide) {
    test::writeImage(dir + "/small.png", {64, 48}, Qt::magenta);
    test::writeImage(dir + "/big.png", {384, 216}, Qt::darkGreen);
    const QString still = write("still.xml", R"(<?xml version="1.0"?>
<background>
  <static>
    <duration>8640000000.0</duration>
    <file>
      <size width="64" height="48">small.png</size>
      <size width="400" height="300">big.png</size>
    </file>
  </static>
</background>)");
    EXPECT_EQ(shownOnB(QUrl::fromLocalFile(still)), QColor(Qt::darkGreen))
        << "the variant that covers the screen";

    // Started 100 s ago: 50 s of red, a 10 s transition to blue, then blue for a long time.
    test::writeImage(dir + "/red.png", {32, 18}, Qt::red);
    test::writeImage(dir + "/blue.png", {32, 18}, Qt::blue);
    const QDateTime start = QDateTime::currentDateTime().addSecs(-100);
    const QString show = write(
        "show.xml", QStringLiteral("<background><starttime><year>%1</year><month>%2</month>"
                                   "<day>%3</day><hour>%4</hour><minute>%5</minute><second>%6"
                                   "</second></starttime>"
                                   "<static><duration>50</duration><file>%7/red.png</file></static>"
                                   "<transition type=\"overlay\"><duration>10</duration>"
                                   "<from>red.png</from><to>blue.png</to></transition>"
                                   "<static><duration>1000000</duration><file>blue.png</file>"
                                   "</static></background>")
                        .arg(start.date().year())
                        .arg(start.date().month())
                        .arg(start.date().day())
                        .arg(start.time().hour())
                        .arg(start.time().minute())
                        .arg(start.time().second())
                        .arg(dir)
                        .toUtf8());
    EXPECT_EQ(shownOnB(QUrl::fromLocalFile(show)), QColor(Qt::blue));
    EXPECT_EQ(gnomeBackgroundFile(show, {1920, 1080}, start.addSecs(20)), dir + "/red.png");
    EXPECT_EQ(gnomeBackgroundFile(show, {1920, 1080}, start.addSecs(57)), dir + "/blue.png")
        << "the second half of a transition";
    EXPECT_EQ(gnomeBackgroundFile(write("other.xml", "<gconf/>"), {1, 1}, start), std::nullopt);
}

TEST_F(GSettingsCompositeTest, SvgAndDarkVariantsAreDrawnAsGnomeShowsThem) {
    const QString svg = write("drawing.svg", R"(<svg xmlns="http://www.w3.org/2000/svg"
        width="160" height="90"><rect width="160" height="90" fill="#00ffff"/></svg>)");
    EXPECT_EQ(shownOnB(QUrl::fromLocalFile(svg)), QColor(Qt::cyan));

    const QUrl dark = test::writeImage(dir + "/night.png", {32, 18}, Qt::darkBlue);
    GSettings* interface = g_settings_new("org.gnome.desktop.interface");
    g_settings_set_string(interface, "color-scheme", "prefer-dark");
    g_settings_sync();
    const QColor night =
        shownOnB(user, {{"picture-uri-dark", dark.toString(QUrl::FullyEncoded).toStdString()}});
    g_settings_reset(interface, "color-scheme");
    g_settings_sync();
    g_object_unref(interface);
    EXPECT_EQ(night, QColor(Qt::darkBlue)) << "the desktop is in dark mode";
    EXPECT_EQ(shownOnB(user, {{"picture-uri-dark", dark.toString().toStdString()}}),
              QColor(Qt::blue))
        << "and in light mode";

    // A picture that is gone shows the desktop's colour, as GNOME does.
    EXPECT_EQ(shownOnB(QUrl::fromLocalFile(dir + "/gone.png"), {{"primary-color", "#336699"}}),
              QColor("#336699"));
}

TEST_F(GSettingsCompositeTest, APictureThatCannotBeDrawnIsLeftAsItIs) {
    const QUrl heic = QUrl::fromLocalFile(write("holiday.heic", QByteArray(4096, '\x17')));
    GSettingsDesktopPictures(Flavour::gnome, [&] {
        return std::vector{a};
    }).setDesktopImageURL(heic, a, {{"picture-options", "zoom"}});
    const QString before = gsettings("org.gnome.desktop.background", "picture-uri");
    GSettingsDesktopPictures gnome(Flavour::gnome, [&] { return std::vector{a, b}; });
    const QUrl agendaA = test::writeImage(dir + "/agenda-A-1.png", {288, 180}, Qt::red);
    try {
        gnome.setDesktopImageURL(agendaA, a, gnome.stretchedOptions(Qt::white));
        FAIL() << "B's picture would have been flattened to a colour";
    } catch (const DesktopPictureError& e) {
        EXPECT_NE(std::string(e.what()).find("“holiday.heic”"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("left as it is"), std::string::npos) << e.what();
    }
    EXPECT_EQ(gsettings("org.gnome.desktop.background", "picture-uri"), before);
    EXPECT_EQ(gnome.desktopImageURL(b), heic);
    EXPECT_TRUE(composites(dir).isEmpty());
}

// Two screens on GNOME: each drawn once, and only the composed picture encoded and written;
// an image that exists only inside the composite still serves when the composite is redone.
TEST_F(GSettingsCompositeTest, ATwoScreenApplyEncodesOnlyTheComposedPicture) {
    GSettingsDesktopPictures(Flavour::gnome, [&] {
        return std::vector{a};
    }).setDesktopImageURL(user, a, {{"picture-options", "zoom"}});
    const QString before = gsettings("org.gnome.desktop.background", "picture-uri");
    int drawn = 0;
    auto paint = [&](const WallpaperRequest& request) {
        ++drawn;
        const QSize size = request.size * request.scale;
        auto raster = RasterImage::create(size.width(), size.height());
        QImage(raster->data(), size.width(), size.height(), qsizetype(raster->stride()),
               QImage::Format_ARGB32_Premultiplied)
            .fill(request.size.width() == 144 ? Qt::green : Qt::yellow);
        raster->markChanged();
        return WallpaperImage{{}, Qt::white, raster};
    };
    const QString data = dir + "/Brivane";
    auto shown = [&] {
        return QImage(
            QUrl(gsettings("org.gnome.desktop.background", "picture-uri").mid(1).chopped(1))
                .toLocalFile());
    };
    auto gnome = std::make_shared<GSettingsDesktopPictures>(Flavour::gnome, [&] {
        return std::vector{a, b};
    });
    WallpaperService service(data, gnome, paint);
    AgendaSnapshot snapshot;
    Preferences preferences;
    ASSERT_TRUE(service.apply(snapshot, preferences, {a, b}).errors.empty());
    EXPECT_EQ(drawn, 2);
    EXPECT_TRUE(QDir(data).entryList({"agenda-*"}).isEmpty()) << "no file of its own per screen";
    EXPECT_EQ(composites(data).size(), 2) << "the composite and its sidecar";
    EXPECT_TRUE(gnome->desktopImageURL(a)->fileName().startsWith("agenda-A-"));
    QImage composite = shown();
    EXPECT_EQ(composite.pixelColor(100, 100), QColor(Qt::green));
    EXPECT_EQ(composite.pixelColor(288 + 100, 100), QColor(Qt::yellow));

    // B switched off: its user's picture comes back, A keeps its agenda, taken from the
    // composite it was drawn into.
    preferences.screens["B"].enabled = false;
    ASSERT_TRUE(service.apply(snapshot, preferences, {a, b}).errors.empty());
    composite = shown();
    EXPECT_EQ(composite.pixelColor(100, 100), QColor(Qt::green));
    EXPECT_EQ(composite.pixelColor(288 + 100, 100), QColor(Qt::blue)) << "the user's picture";
    EXPECT_EQ(gnome->desktopImageURL(b), user);

    EXPECT_TRUE(service.restoreAll({a, b}).empty());
    EXPECT_EQ(gsettings("org.gnome.desktop.background", "picture-uri"), before);
    EXPECT_TRUE(composites(data).isEmpty());

    // One screen: its image is the desktop's picture, so its file is written.
    GSettingsDesktopPictures single(Flavour::gnome, [&] { return std::vector{a}; });
    WallpaperService alone(
        data, std::shared_ptr<GSettingsDesktopPictures>(&single, [](GSettingsDesktopPictures*) {}),
        paint);
    ASSERT_TRUE(alone.apply(snapshot, preferences, {a}).errors.empty());
    EXPECT_EQ(QDir(data).entryList({"agenda-A-*.png"}).size(), 1);
    EXPECT_EQ(shown().pixelColor(10, 10), QColor(Qt::green));
    EXPECT_TRUE(alone.restoreAll({a}).empty());
}

// The real renderer draws a screen whose image fills its part of the composite pixel for pixel
// straight into the composite; one at another scale gets pixels of its own, resampled into it.
// Either way the composite shows exactly what the renderer draws for each screen on its own.
TEST_F(GSettingsCompositeTest, ScreensDrawnInPlaceShowWhatTheyShowOnTheirOwn) {
    const ConnectedScreen left = test::screen("A", QRect(0, 0, 480, 270), 2.0);
    const ConnectedScreen right = test::screen("B", QRect(480, 0, 640, 360), 1.0);
    GSettingsDesktopPictures(Flavour::gnome, [&] {
        return std::vector{left};
    }).setDesktopImageURL(user, left, {{"picture-options", "zoom"}});
    auto gnome = std::make_shared<GSettingsDesktopPictures>(Flavour::gnome, [&] {
        return std::vector{left, right};
    });
    std::map<int, bool> inPlace; // by width in points
    std::map<int, std::shared_ptr<const RasterImage>> alone;
    WallpaperService service(dir + "/Brivane", gnome, [&](const WallpaperRequest& request) {
        WallpaperImage image = WallpaperService::render(request);
        inPlace[request.size.width()] = request.canvas && image.pixels == request.canvas;
        WallpaperRequest own = request;
        own.canvas = nullptr;
        alone[request.size.width()] = WallpaperService::render(own).pixels;
        return image;
    });
    const AgendaSnapshot snapshot = DemoData::snapshot("normal");
    ASSERT_TRUE(service.apply(snapshot, Preferences{}, {left, right}).errors.empty());
    EXPECT_TRUE(inPlace[480]) << "A fills its part of the 2x composite pixel for pixel";
    EXPECT_FALSE(inPlace[640]) << "B at 1x is doubled into it";

    const QImage composite(
        QUrl(gsettings("org.gnome.desktop.background", "picture-uri").mid(1).chopped(1))
            .toLocalFile());
    ASSERT_EQ(composite.size(), QSize(2240, 720));
    auto same = [&](int cx, int cy, const RasterImage& image, int x, int y) {
        const QRgb shown = composite.pixel(cx, cy);
        return (std::uint32_t(qRed(shown)) << 24 | std::uint32_t(qGreen(shown)) << 16 |
                std::uint32_t(qBlue(shown)) << 8 | 0xFFu) == image.rgba(x, y);
    };
    int differences = 0;
    for (int y = 0; y < 540; ++y)
        for (int x = 0; x < 960; ++x)
            differences += !same(x, y, *alone[480], x, y);
    for (int y = 0; y < 360; ++y)
        for (int x = 0; x < 640; ++x)
            for (int d : {0, 1, 2, 3})
                differences += !same(960 + 2 * x + d % 2, 2 * y + d / 2, *alone[640], x, y);
    EXPECT_EQ(differences, 0);
    for (int y : {540, 719})
        EXPECT_EQ(composite.pixelColor(10, y), QColor(242, 242, 242))
            << "below A: the desktop's colour";
    EXPECT_TRUE(service.restoreAll({left, right}).empty());
}

} // namespace
} // namespace brivane
