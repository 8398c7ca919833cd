#include "BaseTestSupport.h"
#include "Brivane/AppConfiguration.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace brivane {
namespace {

using test::PrivateFolders;

TEST(AppConfigurationTest, OverridesOnlySafeEndpointsAndKeepsClientKeysAsGiven) {
    const nlohmann::json info = {{"PelloraGoogleOAuthClientID", "from-info"},
                                 {"PelloraMicrosoftOAuthClientID", "ms"},
                                 {"PelloraGoogleTokenBaseURL", "https://token.example/"},
                                 {"PelloraUpdateHost", "updates.example"}};
    const nlohmann::json overrides = {
        {"PelloraGoogleOAuthClientID", " mine "},
        {"PelloraGoogleDesktopClientSecret", "s"},
        {"PelloraMicrosoftGraphBaseURL", "http://graph.example"},
        {"PelloraMicrosoftLoginBaseURL", "http://127.0.0.1:8080"},
        {"PelloraGoogleCalendarBaseURL", "ftp://x"},
        {"PelloraGoogleUserInfoBaseURL", 42},
    };
    const AppConfiguration configuration = AppConfiguration::from(info, overrides);
    EXPECT_EQ(configuration.googleClientID, " mine ");
    EXPECT_EQ(configuration.googleClientSecret, "s");
    EXPECT_EQ(configuration.microsoftClientID, "ms");
    EXPECT_EQ(configuration.updateHost, "updates.example");
    EXPECT_EQ(configuration.googleTokenBaseURL, "https://token.example");
    EXPECT_EQ(configuration.microsoftLoginBaseURL, "http://127.0.0.1:8080");
    // Plain http off loopback and other schemes are refused, with a word why.
    EXPECT_EQ(configuration.microsoftGraphBaseURL, "https://graph.microsoft.com");
    EXPECT_EQ(configuration.googleCalendarBaseURL, "https://www.googleapis.com");
    EXPECT_EQ(configuration.googleUserInfoBaseURL, "https://openidconnect.googleapis.com");
    EXPECT_EQ(configuration.warnings.size(), 2u);

    EXPECT_TRUE(AppConfiguration::isAcceptableBaseURL("http://localhost:1"));
    EXPECT_TRUE(AppConfiguration::isAcceptableBaseURL("http://[::1]:1"));
    EXPECT_FALSE(AppConfiguration::isAcceptableBaseURL("http://127.0.0.1.evil.example"));
    EXPECT_FALSE(AppConfiguration::isAcceptableBaseURL("https://user:pw@host"));
}

TEST(AppConfigurationTest, UserFileOverridesAndAnUnreadableOneIsReported) {
    PrivateFolders folders;
    EXPECT_EQ(QString::fromStdString(AppConfiguration::overridesPath()),
              folders.configHome() + "/Brivane/oauth.json");
    QDir().mkpath(folders.configHome() + "/Brivane");
    QFile file(folders.configHome() + "/Brivane/oauth.json");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"PelloraMicrosoftOAuthClientID": "my-app"})");
    file.close();
    EXPECT_EQ(AppConfiguration::load().microsoftClientID, "my-app");

    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("{ broken");
    file.close();
    const AppConfiguration broken = AppConfiguration::load();
    ASSERT_EQ(broken.warnings.size(), 1u);
    EXPECT_NE(broken.warnings[0].find("oauth.json"), std::string::npos);
}

} // namespace
} // namespace brivane
