// The controller awaits its calendar reads while the event loop goes on: timers, the settings
// window, quitting and the controller's own end may all come between a read and its answer.
// A scripted store holds the reads and lets them through in the order each test needs.

#include "ControllerTestSupport.h"

#include <gtest/gtest.h>

namespace brivane {
namespace {

using test::ModelSetup;
using test::ScriptedStore;
using test::utc;
using test::waitUntil;

const Date monday = utc(2026, 12, 7, 9, 0); // 10:00 in Rome

StoreEvent meeting(const std::string& calendar, const std::string& title, int hour) {
    StoreEvent event;
    event.calendarID = calendar;
    event.eventIdentifier = event.calendarItemIdentifier = title;
    event.title = title;
    event.start = utc(2026, 12, 7, hour);
    event.end = utc(2026, 12, 7, hour + 1);
    return event;
}

std::vector<std::string> titles(const AgendaSnapshot& snapshot) {
    std::vector<std::string> result;
    for (const auto& event : snapshot.events)
        result.push_back(event.title);
    return result;
}

// A controller on a scripted store with two calendars, "work" assigned and applied.
struct Scripted {
    explicit Scripted(bool activated = true) : setup(monday, QStringLiteral("scripted")) {
        script = std::make_shared<ScriptedStore::Script>();
        script->calendars = {{"work", "Work", "Local"}, {"home", "Home", "Local"}};
        script->events = {meeting("work", "Standup", 10), meeting("home", "Dentist", 11)};
        setup.script = script;
        Preferences stored;
        stored.activated = activated;
        stored.assignments["work"] = AgendaGroup::ostrid;
        test::writeFile((setup.data + "/preferences.json").toStdString(), stored.toJson().dump());
        model = setup.build();
    }
    // Lets every held read through until nothing is held or being read.
    bool drain() {
        return waitUntil([&] {
            script->releaseAll();
            return !model->refreshing() && !model->readingSnapshots() && script->waiting() == 0;
        });
    }

    ModelSetup setup;
    std::shared_ptr<ScriptedStore::Script> script;
    std::unique_ptr<AgendaModel> model;
};

TEST(SnapshotReads, AnEarlierSlowerReloadNeverOverwritesALaterOne) {
    Scripted run;
    ASSERT_TRUE(test::reload(*run.model));
    ASSERT_EQ(titles(run.model->snapshot()), std::vector<std::string>{"Standup"});
    int published = 0;
    QObject::connect(run.model.get(), &AgendaModel::snapshotChanged, [&] { ++published; });

    // The first reload reads "Standup" and stays out; the second reads "Retro".
    run.script->holdEvents = true;
    run.model->reloadCalendarSnapshot();
    ASSERT_TRUE(waitUntil([&] { return run.script->waiting() == 1; }));
    run.script->events = {meeting("work", "Retro", 14)};
    run.model->reloadCalendarSnapshot();
    ASSERT_TRUE(waitUntil([&] { return run.script->waiting() == 2; }));
    EXPECT_TRUE(run.model->readingSnapshots());

    run.script->held[1]->release();
    ASSERT_TRUE(waitUntil([&] { return published == 1; }));
    EXPECT_EQ(titles(run.model->snapshot()), std::vector<std::string>{"Retro"});

    run.script->held[0]->release();
    ASSERT_TRUE(run.drain());
    EXPECT_EQ(titles(run.model->snapshot()), std::vector<std::string>{"Retro"})
        << "the older answer came last and was dropped";
    EXPECT_EQ(published, 1);
    EXPECT_EQ(titles(run.model->previewSnapshot()), std::vector<std::string>{"Retro"});

    // Answers in the order asked are all shown, the last one last.
    run.model->reloadCalendarSnapshot();
    ASSERT_TRUE(waitUntil([&] { return run.script->waiting() == 1; }));
    run.script->events = {meeting("work", "Review", 15)};
    run.model->reloadCalendarSnapshot();
    ASSERT_TRUE(run.drain());
    EXPECT_EQ(titles(run.model->snapshot()), std::vector<std::string>{"Review"});
}

TEST(SnapshotReads, PreviewRequestsWhileOneIsOutGiveOneMoreReadOfTheNewestDraft) {
    Scripted run;
    ASSERT_TRUE(test::reload(*run.model));
    int previews = 0;
    QObject::connect(run.model.get(), &AgendaModel::previewSnapshotChanged, [&] { ++previews; });
    run.script->holdEvents = true;
    const int before = run.script->eventReads;

    run.model->assign("home", AgendaGroup::personal);
    ASSERT_TRUE(waitUntil([&] { return run.script->waiting() == 1; }));
    // A burst of edits while that read is out.
    run.model->assign("work", std::nullopt);
    run.model->selectReminderList("list", ReminderSection::today);
    for (int i = 0; i < 5; ++i)
        run.model->updatePreview();
    test::ManualTimerSource::settle();
    EXPECT_EQ(run.script->eventReads, before + 1) << "nothing read beside the one out";

    run.script->held[0]->release();
    ASSERT_TRUE(waitUntil([&] { return run.script->waiting() == 1; }));
    EXPECT_EQ(previews, 0) << "the answer for an outdated draft is not shown";
    run.script->held[1]->release();
    ASSERT_TRUE(run.drain());
    EXPECT_EQ(run.script->eventReads, before + 2);
    EXPECT_EQ(previews, 1);
    EXPECT_EQ(titles(run.model->previewSnapshot()), std::vector<std::string>{"Dentist"});
    EXPECT_EQ(titles(run.model->snapshot()), std::vector<std::string>{"Standup"})
        << "the applied snapshot does not follow the draft";
}

TEST(SnapshotReads, AControllerDestroyedWhileReadsAreOutIsNotTouchedByTheirAnswers) {
    Scripted run;
    run.script->holdListings = true;
    run.script->holdEvents = true;
    run.model->start();         // the first refresh's quick pass
    run.model->requestAccess(); // its continuation reloads
    run.model->updatePreview();
    run.model->reloadCalendarSnapshot();
    ASSERT_TRUE(waitUntil([&] { return run.script->waiting() >= 4; }));
    const int listings = run.script->listings;
    const int eventReads = run.script->eventReads;
    run.model.reset();

    run.script->releaseAll();
    test::ManualTimerSource::settle();
    ASSERT_TRUE(waitUntil([&] {
        run.script->releaseAll();
        return run.script->waiting() == 0;
    }));
    test::ManualTimerSource::settle();
    EXPECT_EQ(run.script->listings, listings) << "nothing read from a store that has gone";
    EXPECT_EQ(run.script->eventReads, eventReads);
    EXPECT_EQ(run.setup.pictures->sets, 0);
}

TEST(SnapshotReads, AReadThatAnswersAfterQuittingBeganShowsAndDrawsNothing) {
    for (const bool terminated : {false, true}) {
        SCOPED_TRACE(terminated ? "terminated" : "quit");
        Scripted run;
        run.model->start();
        ASSERT_TRUE(run.drain());
        ASSERT_GT(run.setup.pictures->sets, 0);
        const int renders = run.model->renderCount();
        const std::size_t drawn = run.setup.drawn.size();
        const AgendaSnapshot shown = run.model->snapshot();

        run.script->events = {meeting("work", "Late", 16)};
        run.script->holdEvents = true;
        run.model->refresh();
        run.model->requestAccess();
        run.model->updatePreview();
        ASSERT_TRUE(waitUntil([&] { return run.script->waiting() >= 2; }));
        if (terminated)
            run.model->restoreOnTermination();
        else
            EXPECT_TRUE(run.model->restoreAndQuit().empty());
        ASSERT_TRUE(run.drain());

        EXPECT_EQ(run.model->renderCount(), renders);
        EXPECT_EQ(run.setup.drawn.size(), drawn);
        EXPECT_TRUE(run.setup.pictures->urls.at("A").toString().endsWith("user picture.png"))
            << "the user's picture stays back";
        EXPECT_EQ(run.model->snapshot(), shown);
        EXPECT_EQ(titles(run.model->previewSnapshot()), std::vector<std::string>{"Standup"});
    }
}

TEST(SnapshotReads, NoDrawingAfterAnApplyMixesTheNewSettingsWithTheOldCalendars) {
    // Work already on its way when Apply comes: an access request's reload that read the old
    // settings, and a task read that draws once it answers.
    Scripted run;
    run.model->start();
    ASSERT_TRUE(run.drain());
    Preferences draft = run.model->draft();
    draft.assignments = {{"home", AgendaGroup::personal}};
    draft.backgroundStyle = WallpaperStyle::paper;
    run.model->setDraft(draft);
    ASSERT_TRUE(run.drain());
    const std::size_t before = run.setup.drawn.size();

    run.script->holdEvents = true;
    run.model->requestAccess();
    ASSERT_TRUE(waitUntil([&] { return run.script->waiting() == 1; }));
    run.model->refreshReminderLists();
    ASSERT_TRUE(run.model->canApply());
    run.model->apply();
    ASSERT_TRUE(run.drain());

    ASSERT_GT(run.setup.drawn.size(), before);
    for (std::size_t i = before; i < run.setup.drawn.size(); ++i) {
        SCOPED_TRACE(i - before);
        EXPECT_EQ(run.setup.drawnWith[i].effectiveBackgroundStyle(), WallpaperStyle::paper);
        EXPECT_EQ(run.setup.drawn[i], std::vector<std::string>{"Dentist"});
    }
}

TEST(SnapshotReads, EveryDrawShowsTheSnapshotJustRead) {
    // The first refresh's quick pass draws what it has just read, before the cloud and the
    // tasks are in.
    Scripted run;
    run.script->holdEvents = true;
    run.model->start();
    ASSERT_TRUE(waitUntil([&] { return run.script->waiting() == 1; }));
    EXPECT_EQ(run.model->renderCount(), 0) << "nothing drawn before the read answered";
    run.script->held[0]->release();
    ASSERT_TRUE(waitUntil([&] { return run.model->renderCount() == 1; }));
    ASSERT_FALSE(run.setup.drawn.empty());
    EXPECT_EQ(run.setup.drawn.front(), std::vector<std::string>{"Standup"});
    ASSERT_TRUE(run.drain());

    // Access granted: the continuation reads, then draws.
    run.script->events = {meeting("work", "Granted", 12)};
    run.setup.drawn.clear();
    run.model->requestAccess();
    EXPECT_TRUE(run.model->requestingAccess());
    ASSERT_TRUE(waitUntil([&] { return run.script->waiting() == 1; }));
    EXPECT_TRUE(run.setup.drawn.empty());
    run.script->releaseAll();
    ASSERT_TRUE(waitUntil([&] { return !run.model->requestingAccess(); }));
    ASSERT_FALSE(run.setup.drawn.empty());
    for (const auto& image : run.setup.drawn)
        EXPECT_EQ(image, std::vector<std::string>{"Granted"});
    ASSERT_TRUE(run.drain());

    // The tasks read again: the drawn snapshot carries them with the events already read.
    run.setup.drawn.clear();
    run.script->holdEvents = false;
    run.model->refreshReminderLists();
    ASSERT_TRUE(waitUntil([&] { return !run.setup.drawn.empty(); }));
    EXPECT_EQ(run.setup.drawn.front(), std::vector<std::string>{"Granted"});
    EXPECT_EQ(run.model->snapshot().reminders.state, ReminderAvailability::available);
}

} // namespace
} // namespace brivane
