#include "BrivaneCore/Preferences.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <limits>

using namespace brivane;
using namespace brivane::testing;
using nlohmann::json;

namespace {

json minimal() {
    return json{{"assignments", json::object()},
                {"calendarNames", json::object()},
                {"screens", json::object()},
                {"activated", false}};
}

std::string errorOf(const json& document) {
    try {
        Preferences::fromJson(document);
    } catch (const PreferencesError& e) {
        return e.what();
    }
    return "no error";
}

class PreferencesTest : public ::testing::Test {
protected:
    ScopedEnvironment env;
    void SetUp() override { env.locale("en_GB", "Europe/Rome"); }
};

} // namespace

TEST_F(PreferencesTest, MinimalDocumentReadsAsDefaults) {
    EXPECT_EQ(Preferences::fromJson(minimal()), Preferences());
    EXPECT_EQ(Preferences().toJson(), minimal());
}

TEST_F(PreferencesTest, FullDocumentRoundTrips) {
    Preferences p;
    p.assignments = {{"cal-1", AgendaGroup::ostrid}, {"cal-2", AgendaGroup::personal}};
    p.calendarNames = {{"cal-1", "Work — Google"}};
    p.groupNames = std::map<std::string, std::string>{
        {"ostrid", "Team"}, {"personal", "Home"}, {"extra", "x"}};
    ScreenPreferences screen;
    screen.top = 0.1;
    screen.name = "Dell U2720Q";
    screen.enabled = false;
    p.screens = {{"9A3F-1", screen}};
    p.reminderGrouping = ReminderGrouping::dueDate;
    p.reminderListIDs = ReminderListIDs{{"today", "list-1"}};
    p.backgroundStyle = WallpaperStyle::paper;
    p.timelineStartHour = 7;
    p.timelineEndHour = 22;
    p.launchAtLogin = false;
    p.activated = true;
    EXPECT_EQ(Preferences::fromJsonText(p.toJson().dump()), p);
}

TEST_F(PreferencesTest, RequiredKeysTypesAndValues) {
    json d = minimal();
    d.erase("activated");
    EXPECT_EQ(errorOf(d), "the key \u201Cactivated\u201D is missing");

    d = minimal();
    d["backgroundStyle"] = "glossy";
    EXPECT_EQ(errorOf(d),
              "the value \u201Cglossy\u201D of the key \u201CbackgroundStyle\u201D is not valid");

    d = minimal();
    d["assignments"] = {{"cal", "work"}};
    EXPECT_NE(errorOf(d).find("assignments.cal"), std::string::npos);

    d = minimal();
    d["screens"] = {{"A",
                     {{"enabled", true},
                      {"top", "0.1"},
                      {"bottom", 0},
                      {"right", 0},
                      {"left", 0},
                      {"name", "x"}}}};
    EXPECT_EQ(errorOf(d), "the key \u201Cscreens.A.top\u201D should be a number");

    d = minimal();
    d["screens"] = {
        {"A", {{"enabled", true}, {"top", 0}, {"bottom", 0}, {"right", 0}, {"left", 0}}}};
    EXPECT_EQ(errorOf(d), "the key \u201Cscreens.A.name\u201D is missing");

    d = minimal();
    d["timelineStartHour"] = 8.5;
    EXPECT_NE(errorOf(d).find("timelineStartHour"), std::string::npos);
    d["timelineStartHour"] = 8.0;
    EXPECT_EQ(Preferences::fromJson(d).timelineStartHour, 8);
    d["timelineStartHour"] = 1e12;
    EXPECT_EQ(Preferences::fromJson(d).timelineHours().first, 23);

    d = minimal();
    d["activated"] = 1;
    EXPECT_EQ(errorOf(d), "the key \u201Cactivated\u201D should be true or false");

    EXPECT_EQ(errorOf(json::array()), "the document is not a JSON object");
    EXPECT_THROW(Preferences::fromJsonText("{\"assignments\": {"), PreferencesError);
    env.set("LANGUAGE", "it");
    d = minimal();
    d.erase("screens");
    EXPECT_EQ(errorOf(d), "manca la chiave \u201Cscreens\u201D");
}

TEST_F(PreferencesTest, NullOptionalsAndUnknownKeys) {
    json d = minimal();
    d["timelineStartHour"] = nullptr;
    d["groupNames"] = nullptr;
    d["futureSetting"] = {1, 2, 3};
    const Preferences p = Preferences::fromJson(d);
    EXPECT_FALSE(p.timelineStartHour);
    EXPECT_FALSE(p.groupNames);
    EXPECT_EQ(p, Preferences());
}

TEST_F(PreferencesTest, AbsentGroupingAndStyleReadAsChosenListsAndGlass) {
    Preferences p;
    EXPECT_EQ(p.effectiveReminderGrouping(), ReminderGrouping::selectedLists);
    EXPECT_EQ(p.effectiveBackgroundStyle(), WallpaperStyle::glass);
    p.reminderGrouping = ReminderGrouping::dueDate;
    p.backgroundStyle = WallpaperStyle::paper;
    EXPECT_EQ(p.effectiveReminderGrouping(), ReminderGrouping::dueDate);
    EXPECT_EQ(p.effectiveBackgroundStyle(), WallpaperStyle::paper);
}

TEST_F(PreferencesTest, TimelineHoursAreClamped) {
    Preferences p;
    EXPECT_EQ(p.timelineHours(), std::pair(8, 20));
    p.timelineStartHour = 30;
    EXPECT_EQ(p.timelineHours(), std::pair(23, 24));
    p.timelineStartHour = -5;
    p.timelineEndHour = 0;
    EXPECT_EQ(p.timelineHours(), std::pair(0, 1));
    p.timelineStartHour.reset();
    p.timelineEndHour = 6;
    EXPECT_EQ(p.timelineHours(), std::pair(8, 9));
    p.timelineEndHour = 99;
    EXPECT_EQ(p.timelineHours(), std::pair(8, 24));
}

TEST_F(PreferencesTest, HoursBeyond32BitsAreHeldNotFatal) {
    auto hours = [](const std::string& start, const std::string& end) {
        return Preferences::fromJsonText(R"({"assignments":{"cal":"ostrid"},"calendarNames":{},)"
                                         R"("screens":{},"activated":true,"timelineStartHour":)" +
                                         start + R"(,"timelineEndHour":)" + end + "}");
    };
    const Preferences huge = hours("-99999999999", "99999999999");
    EXPECT_EQ(huge.timelineStartHour, std::numeric_limits<int>::min());
    EXPECT_EQ(huge.timelineEndHour, std::numeric_limits<int>::max());
    EXPECT_EQ(huge.timelineHours(), std::pair(0, 24));
    // The rest of the document survives.
    EXPECT_TRUE(huge.activated);
    EXPECT_EQ(huge.assignments.size(), 1u);
    EXPECT_EQ(hours("18446744073709551615", "1e300").timelineHours(), std::pair(23, 24));
    EXPECT_EQ(hours("9.0", "-1e300").timelineHours(), std::pair(9, 10));
    EXPECT_THROW(hours("8.5", "20"), PreferencesError);
    EXPECT_THROW(hours("\"8\"", "20"), PreferencesError);
}

TEST_F(PreferencesTest, GroupNames) {
    Preferences p;
    EXPECT_EQ(p.groupName(AgendaGroup::ostrid), "Calendar 1");
    p.groupNames = std::map<std::string, std::string>{{"ostrid", "  Team  "}, {"personal", "   "}};
    EXPECT_EQ(p.groupName(AgendaGroup::ostrid), "Team");
    EXPECT_EQ(p.groupName(AgendaGroup::personal), "Calendar 2");
    // A no-break space and a newline are white space too.
    (*p.groupNames)["ostrid"] = "\u00a0Team\n";
    EXPECT_EQ(p.groupName(AgendaGroup::ostrid), "Team");

    auto valid = [&](std::string a, std::string b) {
        p.groupNames = std::map<std::string, std::string>{{"ostrid", a}, {"personal", b}};
        return p.groupNamesValid();
    };
    EXPECT_TRUE(valid("Lavoro", "Casa"));
    EXPECT_FALSE(valid("Lavoro", "LAVORO"));
    EXPECT_FALSE(valid("Citta", "Città"));
    EXPECT_FALSE(valid("\u00c9COLE", "e\u0301cole")); // composed and decomposed accents
    EXPECT_FALSE(valid("\u0130stanbul", "istanbul"));
    // Only case and accents fold: names a person tells apart stay apart.
    EXPECT_TRUE(valid("Stra\u00dfe", "Strasse"));
    EXPECT_TRUE(valid("\uff21\uff42\uff43", "Abc"));    // full-width letters
    EXPECT_TRUE(valid("\ufb01le", "file"));             // a ligature
    EXPECT_TRUE(valid("\u30ab\u30ca", "\u304b\u306a")); // katakana and hiragana
    EXPECT_TRUE(valid("Team\u200b", "Team"));           // an invisible character
    EXPECT_FALSE(valid("Lavoro", "  "));
    EXPECT_TRUE(valid(std::string(32, 'a'), "b"));
    EXPECT_FALSE(valid(std::string(33, 'a'), "b"));
    // Characters, not bytes: 32 accented letters are fine.
    std::string accented;
    for (int i = 0; i < 32; ++i)
        accented += "\u00e8";
    EXPECT_TRUE(valid(accented, "b"));
    p.groupNames.reset();
    EXPECT_FALSE(p.groupNamesValid());
    p.groupNames = std::map<std::string, std::string>{{"ostrid", "Solo"}};
    EXPECT_FALSE(p.groupNamesValid());
}

TEST_F(PreferencesTest, MigrationAndNormalisation) {
    Preferences fresh;
    fresh.migrateGroupNamesIfNeeded();
    EXPECT_EQ(*fresh.groupNames, (std::map<std::string, std::string>{{"ostrid", "Calendar 1"},
                                                                     {"personal", "Calendar 2"}}));

    Preferences old;
    old.assignments = {{"cal", AgendaGroup::ostrid}};
    old.migrateGroupNamesIfNeeded();
    EXPECT_EQ(*old.groupNames,
              (std::map<std::string, std::string>{{"ostrid", "Ostrid"}, {"personal", "Personal"}}));
    (*old.groupNames)["ostrid"] = "Kept";
    old.migrateGroupNamesIfNeeded();
    EXPECT_EQ(old.groupNames->at("ostrid"), "Kept");

    Preferences n;
    n.groupNames = std::map<std::string, std::string>{{"ostrid", " A "}, {"other", " B "}};
    n.normalizeGroupNames();
    EXPECT_EQ(*n.groupNames,
              (std::map<std::string, std::string>{{"ostrid", "A"}, {"other", " B "}}));
}

TEST_F(PreferencesTest, SelectedCalendarsOfAGroup) {
    Preferences p;
    p.assignments = {
        {"a", AgendaGroup::ostrid}, {"b", AgendaGroup::personal}, {"c", AgendaGroup::ostrid}};
    EXPECT_EQ(p.selected(AgendaGroup::ostrid), (std::set<std::string>{"a", "c"}));
    EXPECT_EQ(p.selected(AgendaGroup::personal), (std::set<std::string>{"b"}));
}
