#include "BrivaneCore/ReminderModel.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace brivane;
using namespace brivane::testing;
using namespace std::chrono;

namespace {

class ReminderModelTest : public ::testing::Test {
protected:
    ScopedEnvironment env;
    Calendar c{"en_GB", "UTC"};
    Date now{};
    void SetUp() override {
        env.locale("en_GB", "Europe/Rome");
        c = AgendaDates::calendar();
        now = at(c, 2026, 9, 28, 11, 30);
    }
    static ReminderItem item(std::string id, std::string title, std::optional<Date> due,
                             int priority = 0, std::string list = "Inbox",
                             std::string listID = "inbox", bool hasTime = true) {
        return ReminderItem(std::move(id), std::move(title), std::move(list), due, hasTime,
                            priority, std::move(listID));
    }
    static std::vector<std::string> ids(const std::vector<ReminderItem>& items) {
        std::vector<std::string> out;
        for (const auto& i : items)
            out.push_back(i.id);
        return out;
    }
};

} // namespace

TEST_F(ReminderModelTest, DueDateGrouping) {
    ReminderSnapshot s;
    s.items = {item("yesterday", "a", at(c, 2026, 9, 27, 9)),
               item("tomorrowLate", "b", at(c, 2026, 9, 29, 23, 59)),
               item("none", "c", std::nullopt), item("later", "d", at(c, 2026, 10, 7))};
    auto section = [&](ReminderSection sec) {
        return ids(s.itemsIn(sec, ReminderGrouping::dueDate, now, c, {}));
    };
    EXPECT_EQ(section(ReminderSection::today), std::vector<std::string>{"yesterday"});
    EXPECT_EQ(section(ReminderSection::tomorrow), std::vector<std::string>{"tomorrowLate"});
    EXPECT_EQ(section(ReminderSection::scheduled),
              (std::vector<std::string>{"yesterday", "tomorrowLate", "later"}));
}

TEST_F(ReminderModelTest, SelectedAndNamedListGrouping) {
    ReminderSnapshot s;
    s.items = {item("1", "a", std::nullopt, 0, "domani ", "l2"),
               item("2", "b", std::nullopt, 0, "OGGI", "l1"),
               item("3", "c", std::nullopt, 0, "Pianificazióne", "l3")};
    EXPECT_TRUE(
        s.itemsIn(ReminderSection::today, ReminderGrouping::selectedLists, now, c, {}).empty());
    EXPECT_EQ(ids(s.itemsIn(ReminderSection::today, ReminderGrouping::selectedLists, now, c,
                            {{"today", "l2"}})),
              std::vector<std::string>{"1"});
    EXPECT_EQ(ids(s.itemsIn(ReminderSection::tomorrow, ReminderGrouping::namedLists, now, c, {})),
              std::vector<std::string>{"1"});
    EXPECT_EQ(ids(s.itemsIn(ReminderSection::today, ReminderGrouping::namedLists, now, c, {})),
              std::vector<std::string>{"2"});
    EXPECT_EQ(ids(s.itemsIn(ReminderSection::scheduled, ReminderGrouping::namedLists, now, c, {})),
              std::vector<std::string>{"3"});
}

TEST_F(ReminderModelTest, SortOrder) {
    const Date due = at(c, 2026, 9, 28, 15);
    ReminderSnapshot s;
    s.items = {item("p0", "x", due, 0),
               item("p1", "x", due, 1),
               item("p9", "x", due, 9),
               item("p10", "y", due, 10),
               item("early", "z", due - hours(1), 0),
               item("nodue", "a", std::nullopt, 1)};
    EXPECT_EQ(ids(s.itemsIn(ReminderSection::today, ReminderGrouping::selectedLists, now, c,
                            {{"today", "inbox"}})),
              (std::vector<std::string>{"early", "p1", "p9", "p0", "p10", "nodue"}));

    s.items = {item("2", "apple", due), item("1", "Banana", due), item("b", "same", due),
               item("a", "same", due)};
    EXPECT_EQ(ids(s.itemsIn(ReminderSection::today, ReminderGrouping::dueDate, now, c, {})),
              (std::vector<std::string>{"1", "2", "a", "b"}));
    // Canonically equal titles tie and fall to the id: é precomposed and decomposed.
    s.items = {item("b", "caf\u00e9", due), item("a", "cafe\u0301", due)};
    EXPECT_EQ(ids(s.itemsIn(ReminderSection::today, ReminderGrouping::dueDate, now, c, {})),
              (std::vector<std::string>{"a", "b"}));
}

TEST_F(ReminderModelTest, DueLabels) {
    EXPECT_EQ(item("1", "x", std::nullopt).dueLabel(now, c), "No due date");
    EXPECT_EQ(item("1", "x", at(c, 2026, 9, 28), 0, "l", "l", false).dueLabel(now, c), "Today");
    EXPECT_EQ(item("1", "x", at(c, 2026, 9, 28, 9, 30)).dueLabel(now, c),
              "Overdue · Today · 09:30");
    EXPECT_EQ(item("1", "x", at(c, 2026, 3, 3, 9, 30)).dueLabel(now, c), "Overdue · 3 Mar · 09:30");
    EXPECT_EQ(item("1", "x", at(c, 2026, 10, 2), 0, "l", "l", false).dueLabel(now, c), "2 Oct");
    EXPECT_TRUE(item("1", "x", at(c, 2026, 9, 27), 0, "l", "l", false).overdue(now, c));
    EXPECT_FALSE(item("1", "x", at(c, 2026, 9, 28), 0, "l", "l", false).overdue(now, c));
    env.set("LANGUAGE", "it");
    const Calendar it = AgendaDates::calendar();
    EXPECT_EQ(item("1", "x", at(c, 2026, 9, 28, 9, 30)).dueLabel(now, it),
              "Scaduto · Oggi · 09:30");
    EXPECT_EQ(item("1", "", std::nullopt).title, "Senza titolo");
}

TEST_F(ReminderModelTest, ListLookups) {
    ReminderSnapshot s;
    s.lists = {ReminderList("1", "Oggi", "Local"), ReminderList("2", "oggi", "Cloud"),
               ReminderList("3", " Domani\n", "Local")};
    s.listNames = {"Oggi", "oggi", " Domani\n"};
    EXPECT_FALSE(s.uniqueList(ReminderSection::today));
    ASSERT_TRUE(s.uniqueList(ReminderSection::tomorrow));
    EXPECT_EQ(s.uniqueList(ReminderSection::tomorrow)->id, "3");
    EXPECT_TRUE(s.hasList(ReminderSection::tomorrow));
    EXPECT_FALSE(s.hasList(ReminderSection::scheduled));
    const ReminderListIDs chosen{{"today", "2"}, {"scheduled", "gone"}};
    EXPECT_EQ(s.selectedListTitle(ReminderSection::today, chosen), "oggi");
    EXPECT_TRUE(s.hasSelectedList(ReminderSection::today, chosen));
    EXPECT_FALSE(s.hasSelectedList(ReminderSection::scheduled, chosen));
    EXPECT_FALSE(s.hasSelectedList(ReminderSection::tomorrow, chosen));

    // Case and accents fold; width does not.
    s.listNames = {"\uff2f\uff47\uff47\uff49", "PIANIFICAZIÓNE"};
    EXPECT_FALSE(s.hasList(ReminderSection::today));
    EXPECT_TRUE(s.hasList(ReminderSection::scheduled));
}

TEST(ReminderEnums, RawValuesTitlesAndLabels) {
    ScopedEnvironment env;
    env.locale("en", "UTC");
    EXPECT_EQ(reminderSectionFromRawValue("scheduled"), ReminderSection::scheduled);
    EXPECT_FALSE(reminderSectionFromRawValue("Today"));
    EXPECT_EQ(reminderGroupingFromRawValue("namedLists"), ReminderGrouping::namedLists);
    EXPECT_EQ(legacyListName(ReminderSection::scheduled), "Pianificazione");
    EXPECT_EQ(title(ReminderSection::scheduled), "Scheduled");
    EXPECT_EQ(label(ReminderAvailability::loading), "Reading tasks…");
    env.set("LANGUAGE", "it");
    EXPECT_EQ(title(ReminderGrouping::dueDate), "Per scadenza");
    EXPECT_EQ(label(ReminderAvailability::failed), "Attività non disponibili · riprova");
}
