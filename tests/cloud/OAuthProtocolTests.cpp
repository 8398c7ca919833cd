#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/cloud/OAuthProtocol.h"

#include <gtest/gtest.h>

namespace brivane {
namespace {

using oauth::CallbackResult;
using oauth::TokenResult;

bool isBase64URL(const std::string& text) {
    return text.find_first_not_of(
               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") ==
           std::string::npos;
}

TEST(OAuthProtocolTest, RandomTokensHaveTheRightLengthAlphabetAndDiffer) {
    const std::string verifier = oauth::randomToken(32);
    const std::string state = oauth::randomToken(24);
    EXPECT_EQ(verifier.size(), 43u);
    EXPECT_EQ(state.size(), 32u);
    EXPECT_TRUE(isBase64URL(verifier));
    EXPECT_TRUE(isBase64URL(state));
    EXPECT_NE(verifier, oauth::randomToken(32));
    // RFC 7636's example: the S256 challenge alphabet and the padding rules.
    EXPECT_EQ(oauth::base64URL("\xfb\xff"), "-_8");
    EXPECT_EQ(oauth::base64URL("ab"), "YWI");
    EXPECT_EQ(oauth::base64URL(""), "");
}

TEST(OAuthProtocolTest, FormBodyEncodesPlusAndDelimitersInValues) {
    EXPECT_EQ(oauth::formBody({{"refresh_token", "a+b/c"}, {"x", "1&y=2"}, {"s", "p q"}}),
              "refresh_token=a%2Bb/c&x=1%26y%3D2&s=p%20q");
    EXPECT_EQ(oauth::formBody({}), "");
    EXPECT_EQ(oauth::formBody({{"redirect_uri", "http://127.0.0.1:5/oauth2redirect"}}),
              "redirect_uri=http://127.0.0.1:5/oauth2redirect");
}

TEST(OAuthProtocolTest, CallbackReadsCodeOrProviderErrorAndRejectsForeignState) {
    EXPECT_EQ(oauth::readCallback("x://auth?code=abc&state=S", "S").value, "abc");
    EXPECT_EQ(oauth::readCallback("x://auth?code=a%2Bb&state=S", "S").value, "a+b");

    const auto both = oauth::readCallback(
        "x://auth?error=access_denied&error_description=User%20said%20no&state=S", "S");
    EXPECT_EQ(both.kind, CallbackResult::Kind::providerError);
    EXPECT_EQ(both.value, "User said no");
    EXPECT_EQ(oauth::readCallback("x://auth?error=access_denied", "S").value, "access_denied");

    for (const char* invalid : {"x://auth?code=abc&state=T", "x://auth?state=S", "x://auth",
                                "x://auth?", "x://auth?code=&state=S", "x://auth?code=1&state=S%ZZ",
                                // A "?" inside the fragment starts no query.
                                "x://auth#?code=abc&state=S", "x://auth#frag?code=abc&state=S"}) {
        EXPECT_EQ(oauth::readCallback(invalid, "S").kind, CallbackResult::Kind::invalid) << invalid;
    }
    // Only the first "state" counts.
    EXPECT_EQ(oauth::readCallback("x://a?state=T&state=S&code=1", "S").kind,
              CallbackResult::Kind::invalid);
}

TEST(OAuthProtocolTest, LoopbackAcceptsOnlyTheExactRedirect) {
    const auto check = [](std::string_view request) {
        return oauth::loopbackCallback(request, 4711, "S");
    };
    EXPECT_EQ(check("GET /oauth2redirect?state=S&code=c1 HTTP/1.1\r\nHost: x\r\n\r\n"),
              "http://127.0.0.1:4711/oauth2redirect?state=S&code=c1");
    // A denied consent is a valid redirect: the sign-in reports the error.
    EXPECT_TRUE(check("GET /oauth2redirect?error=access_denied&state=S HTTP/1.1\r\n\r\n"));
    // Spaces between the pieces are forgiven.
    EXPECT_TRUE(check("GET  /oauth2redirect?state=S&code=c   HTTP/1.1\r\n\r\n"));

    for (const char* foreign : {
             "GET /favicon.ico HTTP/1.1\r\n\r\n",
             "GET /oauth2redirect?state=T&code=c HTTP/1.1\r\n\r\n",
             "GET /oauth2redirect?state=S&state=S&code=c HTTP/1.1\r\n\r\n",
             "GET /oauth2redirect?state=S HTTP/1.1\r\n\r\n",
             "GET /oauth2redirect?state=S&code= HTTP/1.1\r\n\r\n",
             "GET /oauth2redirect HTTP/1.1\r\n\r\n",
             "GET /oauth2redirect/?state=S&code=c HTTP/1.1\r\n\r\n",
             "POST /oauth2redirect?state=S&code=c HTTP/1.1\r\n\r\n",
             "GET /oauth2redirect?state=S&code=c\r\n\r\n",
             "GET\t/oauth2redirect?state=S&code=c\tHTTP/1.1\r\n\r\n",
             "GET /oauth2redirect?state=S&code=\xff\xfe HTTP/1.1\r\n\r\n",
             "GET /oauth2redirect?state=S&code=%G1 HTTP/1.1\r\n\r\n",
             "GET http://127.0.0.1/oauth2redirect?state=S&code=c HTTP/1.1\r\n\r\n",
             // Browsers never send a fragment: whatever carries one is not the redirect.
             "GET /oauth2redirect?state=S&code=c# HTTP/1.1\r\n\r\n",
             "GET /oauth2redirect?state=S&code=c#x?y HTTP/1.1\r\n\r\n",
             "GET /oauth2redirect#?code=8ectde=8%24%24=b&state=S HTT\345\345\r\n\r\n",
             "\r\n\r\n",
         }) {
        EXPECT_FALSE(check(foreign)) << foreign;
    }
}

TEST(OAuthProtocolTest, TokenAnswers) {
    const auto ok = oauth::readTokenResponse(200, R"({"access_token":"A","refresh_token":"R"})");
    EXPECT_EQ(ok.kind, TokenResult::Kind::tokens);
    EXPECT_EQ(ok.accessToken, "A");
    EXPECT_EQ(ok.refreshToken, "R");
    EXPECT_FALSE(
        oauth::readTokenResponse(200, R"({"access_token":"A","refresh_token":5})").refreshToken);
    EXPECT_EQ(oauth::readTokenResponse(200, R"({"access_token":5})").kind,
              TokenResult::Kind::invalid);
    EXPECT_EQ(oauth::readTokenResponse(200, "[1]").kind, TokenResult::Kind::invalid);
    EXPECT_TRUE(oauth::readTokenResponse(204, "<html>").malformed);

    const auto rejected =
        oauth::readTokenResponse(400, R"({"error":"invalid_grant","error_description":"D"})");
    EXPECT_EQ(rejected.kind, TokenResult::Kind::providerError);
    EXPECT_EQ(rejected.message, "D");
    EXPECT_EQ(oauth::readTokenResponse(401, R"({"error":"E"})").message, "E");
    EXPECT_EQ(oauth::readTokenResponse(500, "oops").message, "");
    EXPECT_EQ(oauth::readTokenResponse(302, "").kind, TokenResult::Kind::providerError);
}

TEST(OAuthProtocolTest, ProfilePrefersEmailThenMailThenPrincipalName) {
    using nlohmann::json;
    auto fields = oauth::readProfile(
        json{{"id", "1"}, {"mail", nullptr}, {"userPrincipalName", "u@x"}}, "id");
    EXPECT_EQ(fields.subject, "1");
    EXPECT_EQ(fields.email, "u@x");
    fields = oauth::readProfile(json{{"sub", "2"}, {"email", "e@x"}, {"mail", "m@x"}}, "sub");
    EXPECT_EQ(fields.email, "e@x");
    EXPECT_EQ(oauth::readProfile(json{{"sub", 2}}, "sub").subject, "");
    EXPECT_EQ(oauth::apiErrorMessage(R"({"error":{"message":"Bad"}})"), "Bad");
    EXPECT_FALSE(oauth::apiErrorMessage(R"({"error":"Bad"})"));
}

TEST(CloudAccountTest, StoredJSONRoundTripsAndAnyFlawSpoilsTheList) {
    const std::vector<CloudCalendarAccount> accounts = {
        {CloudCalendarProvider::google, "1", "a@x", "r1"},
        {CloudCalendarProvider::microsoft, "1", "b@x", "r\"2"},
    };
    const std::string json = CloudCalendarAccount::encode(accounts);
    EXPECT_EQ(json,
              R"([{"provider":"google","subject":"1","email":"a@x","refreshToken":"r1"},)"
              R"({"provider":"microsoft","subject":"1","email":"b@x","refreshToken":"r\"2"}])");
    EXPECT_EQ(CloudCalendarAccount::decode(json), accounts);
    // Same subject, different providers: different accounts.
    EXPECT_EQ(accounts[0].id(), "google:1");
    EXPECT_EQ(accounts[1].id(), "microsoft:1");
    EXPECT_EQ(CloudCalendarAccount::encode({}), "[]");

    for (const char* bad : {
             R"({"provider":"google","subject":"1","email":"a","refreshToken":"r"})",
             R"([{"provider":"google","subject":"1","refreshToken":"r"}])",
             R"([{"provider":"yahoo","subject":"1","email":"a","refreshToken":"r"}])",
             R"([{"provider":"google","subject":1,"email":"a","refreshToken":"r"}])",
             R"([{"provider":"google","subject":"1","email":"a","refreshToken":"r"},7])",
             "not json",
         }) {
        EXPECT_FALSE(CloudCalendarAccount::decode(bad)) << bad;
    }
}

TEST(CloudAccountTest, ErrorDescriptions) {
    // The keyring's own reason, in the user's language; the code only when there is none.
    EXPECT_EQ(CloudCalendarError::keychain(4, "The keyring is locked").description(),
              "Could not save the sign-in to the keyring: The keyring is locked.");
    EXPECT_EQ(CloudCalendarError::keychain(7, "").description(),
              "Could not save the sign-in to the keyring: error 7.");
    const QByteArray language = qgetenv("LANGUAGE");
    qputenv("LANGUAGE", "it");
    EXPECT_EQ(CloudCalendarError::keychain(7, "").description(),
              "Impossibile salvare l’accesso nel portachiavi: errore 7.");
    qputenv("LANGUAGE", language);
    EXPECT_EQ(CloudCalendarError::missingRefreshToken().description(),
              "The provider did not return a refresh token. Revoke Pellora's access and try "
              "again.");
    EXPECT_EQ(CloudCalendarService::localized(CloudCalendarError::provider("P")), "P");
    EXPECT_EQ(CloudCalendarService::localized(
                  std::make_exception_ptr(CloudCalendarError::authenticationCancelled())),
              "Sign-in was cancelled.");
    EXPECT_EQ(title(CloudCalendarProvider::microsoft), "Microsoft 365 / Outlook");
    EXPECT_EQ(cloudCalendarProviderFromRawValue("google"), CloudCalendarProvider::google);
    EXPECT_FALSE(cloudCalendarProviderFromRawValue("Google"));
}

} // namespace
} // namespace brivane
