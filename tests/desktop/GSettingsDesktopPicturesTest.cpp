#include "Brivane/desktop/GSettingsDesktopPictures.h"

#include "TestSession.h"

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
                  {"color-shading-type", "solid"}}));
    cinnamon.setDesktopImageURL(user, a, cinnamon.stretchedOptions(Qt::white));
    EXPECT_EQ(gsettings("org.cinnamon.desktop.background", "picture-uri"),
              "'" + user.toString(QUrl::FullyEncoded) + "'");
    EXPECT_EQ(gsettings("org.cinnamon.desktop.background", "picture-options"), "'stretched'");

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

} // namespace
} // namespace brivane
