#include "Brivane/desktop/XfconfDesktopPictures.h"

#include "TestSession.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QUuid>
#include <gtest/gtest.h>

namespace brivane {
namespace {

// Talks to xfconfd like xfdesktop and xfconf-query do.
QVariant xfconf(const QString& method, const QVariantList& arguments) {
    QDBusMessage m = QDBusMessage::createMethodCall(QStringLiteral("org.xfce.Xfconf"),
                                                    QStringLiteral("/org/xfce/Xfconf"),
                                                    QStringLiteral("org.xfce.Xfconf"), method);
    m.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(m);
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    return reply.arguments().value(0);
}

void set(const QString& property, const QVariant& value) {
    xfconf(QStringLiteral("SetProperty"),
           {QStringLiteral("xfce4-desktop"), property, QVariant::fromValue(QDBusVariant(value))});
}

QVariant get(const QString& property) {
    return xfconf(QStringLiteral("GetProperty"), {QStringLiteral("xfce4-desktop"), property})
        .value<QDBusVariant>()
        .variant();
}

class XfconfTest : public testing::Test {
protected:
    void SetUp() override {
        PELLORA_REQUIRE("dbus", test::haveSessionBus(),
                        "needs a D-Bus session (scripts/with-session)");
        // xfconfd is shared by the tests of this session: every test has its own monitors.
        const QString tag = QUuid::createUuid().toString(QUuid::Id128).left(8);
        a = test::screen(("A" + tag).toStdString(), QRect(0, 0, 1920, 1080), 1);
        b = test::screen(("B" + tag).toStdString(), QRect(1920, 0, 1920, 1200), 1);
        base = QStringLiteral("/backdrop/screen0/monitor%1/").arg(a.connector);
    }
    ConnectedScreen a, b;
    QString base;
};

TEST_F(XfconfTest, EveryWorkspaceOfTheMonitorIsSetAndPutBackExactly) {
    set(base + "workspace0/last-image", QStringLiteral("/home/u/Pictures/lake.jpg"));
    set(base + "workspace0/image-style", 5);
    set(base + "workspace1/last-image", QStringLiteral("/home/u/Pictures/hill.jpg"));
    set(base + "workspace1/image-style", 4);
    const QString other =
        QStringLiteral("/backdrop/screen0/monitor%1/workspace0/last-image").arg(b.connector);
    set(other, QStringLiteral("/home/u/Pictures/b.jpg"));

    XfconfDesktopPictures xfce([&] { return std::vector{a, b}; });
    ASSERT_EQ(xfce.desktopImageURL(a), QUrl::fromLocalFile("/home/u/Pictures/lake.jpg"));
    const QUrl originalURL = *xfce.desktopImageURL(a);
    const DesktopOptions original = xfce.desktopImageOptions(a);
    EXPECT_EQ(original, (DesktopOptions{{"workspace0/last-image", "/home/u/Pictures/lake.jpg"},
                                        {"workspace0/image-style", 5},
                                        {"workspace1/last-image", "/home/u/Pictures/hill.jpg"},
                                        {"workspace1/image-style", 4}}));

    xfce.setDesktopImageURL(QUrl::fromLocalFile("/data/agenda-A-1.png"), a,
                            xfce.stretchedOptions(Qt::white));
    EXPECT_EQ(get(base + "workspace0/last-image"), "/data/agenda-A-1.png");
    EXPECT_EQ(get(base + "workspace1/last-image"), "/data/agenda-A-1.png");
    EXPECT_EQ(get(base + "workspace0/image-style"), 3);
    EXPECT_EQ(get(base + "workspace1/image-style"), 3);
    EXPECT_EQ(get(other), "/home/u/Pictures/b.jpg") << "only this monitor changes";
    EXPECT_EQ(xfce.desktopImageURL(a), QUrl::fromLocalFile("/data/agenda-A-1.png"));

    xfce.setDesktopImageURL(originalURL, a, original);
    EXPECT_EQ(get(base + "workspace0/last-image"), "/home/u/Pictures/lake.jpg");
    EXPECT_EQ(get(base + "workspace1/last-image"), "/home/u/Pictures/hill.jpg");
    EXPECT_EQ(get(base + "workspace0/image-style"), 5);
    EXPECT_EQ(get(base + "workspace1/image-style"), 4);
}

TEST_F(XfconfTest, MonitorsWithoutKeysHaveNoPictureAndSingleWorkspaceModeIsRespected) {
    XfconfDesktopPictures xfce([&] { return std::vector{a, b}; });
    EXPECT_EQ(xfce.desktopImageURL(a), std::nullopt);
    EXPECT_EQ(xfce.desktopImageOptions(a), DesktopOptions::object());

    // Keys that only look like a workspace's picture are not one.
    set(base + "workspace-1/last-image", QStringLiteral("/p/minus.jpg"));
    set(base + "workspace/last-image", QStringLiteral("/p/none.jpg"));
    set(base + "workspace0/last-image-old", QStringLiteral("/p/old.jpg"));
    EXPECT_EQ(xfce.desktopImageURL(a), std::nullopt);
    set(base + "workspace0/last-image", QStringLiteral("/p/zero.jpg"));
    set(base + "workspace12/last-image", QStringLiteral("/p/twelve.jpg"));
    set(QStringLiteral("/backdrop/single-workspace-mode"), true);
    set(QStringLiteral("/backdrop/single-workspace-number"), 12);
    EXPECT_EQ(xfce.desktopImageURL(a), QUrl::fromLocalFile("/p/twelve.jpg"));
    set(QStringLiteral("/backdrop/single-workspace-mode"), false);
    EXPECT_EQ(xfce.desktopImageURL(a), QUrl::fromLocalFile("/p/zero.jpg"));
}

} // namespace
} // namespace brivane
