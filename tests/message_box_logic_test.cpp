// The alert panel's rules over a fake platform alert: the generation that
// cancels stale asynchronous alerts, result codes and the convenience call.
#include "install/alert_box.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using KUI::AlertBox;
using KUI::AlertStyle;

struct FakeAlert : KUI::PlatformAlert {
    std::string title;
    std::string message;
    std::optional<std::string> informative;
    std::vector<std::string> buttons;
    int removeButtonsCalls = 0;
    std::string icon;
    std::optional<AlertStyle> style;
    int shown = 0;
    int dismissed = 0;
    bool visible = false;
    bool suppressed = false;
    // What the user does while the alert is up; returns the response.
    std::function<int(FakeAlert &)> whileUp = [](FakeAlert &) { return KUI::kFirstButtonResponse; };

    void setTitle(const std::string &t) override { title = t; }
    void setMessageText(const std::string &t) override { message = t; }
    void setInformativeText(const std::string &t) override { informative = t; }
    int addButton(const std::string &t) override
    {
        buttons.push_back(t);
        return static_cast<int>(buttons.size());
    }
    void removeButtons() override
    {
        ++removeButtonsCalls;
        buttons.clear();
    }
    void setIcon(const std::string &i) override { icon = i; }
    void setStyle(AlertStyle s) override { style = s; }
    int runModal() override
    {
        ++shown;
        visible = true;
        int response = whileUp(*this);
        // A dismissal ends the modal run the way the platform's abort does.
        if (dismissed)
            response = KUI::kAbortResponse;
        visible = false;
        return response;
    }
    bool isVisible() const override { return visible; }
    void dismiss() override
    {
        ++dismissed;
        visible = false;
    }
    bool isSuppressed() const override { return suppressed; }
};

// Keeps every alert it made, so tests can look at alerts their box dropped.
struct FakePlatform : KUI::AlertPlatform {
    std::vector<std::shared_ptr<FakeAlert>> made;
    std::deque<std::function<void()>> queue;

    std::shared_ptr<KUI::PlatformAlert> makeAlert() override
    {
        made.push_back(std::make_shared<FakeAlert>());
        return made.back();
    }
    void post(std::function<void()> task) override { queue.push_back(std::move(task)); }
    // One main-loop turn's worth: everything posted so far, and what that posts.
    void runQueue()
    {
        while (!queue.empty()) {
            auto task = std::move(queue.front());
            queue.pop_front();
            task();
        }
    }
    FakeAlert &alert(std::size_t i) { return *made.at(i); }
};

bool live()
{
    return KUI::alertGeneration() > 0;
}

class AlertGeneration : public testing::Test {
protected:
    // The generation is process-wide and a case may leave it live on
    // purpose; one answered alert brings it back to idle.
    AlertGeneration()
    {
        FakePlatform settle;
        AlertBox box(settle);
        box.show([](int) {});
        settle.runQueue();
    }

    FakePlatform platform;
    std::vector<std::string> results;

    std::function<void(int)> record(const std::string &who)
    {
        return [this, who](int code) { results.push_back(who + ":" + std::to_string(code)); };
    }
};

TEST_F(AlertGeneration, ShowAppearsOnALaterTurnDeliversTheCodeAndGoesIdle)
{
    AlertBox box(platform);
    box.addButton("A");
    box.addButton("B");
    platform.alert(0).whileUp = [](FakeAlert &) { return KUI::kFirstButtonResponse + 1; };
    box.show(record("box"));
    EXPECT_EQ(platform.alert(0).shown, 0) << "show must return before the alert appears";
    EXPECT_TRUE(live());
    platform.runQueue();
    EXPECT_EQ(platform.alert(0).shown, 1);
    EXPECT_EQ(results, std::vector<std::string>{"box:1"});
    EXPECT_FALSE(live());
}

TEST_F(AlertGeneration, GenerationsNeverRepeatAndComeBackPositiveFromIdle)
{
    AlertBox box(platform);
    box.show(record("first"));
    std::int32_t first = KUI::alertGeneration();
    platform.runQueue();
    ASSERT_EQ(KUI::alertGeneration(), -first);
    box.show(record("second"));
    EXPECT_EQ(KUI::alertGeneration(), first + 1);
}

TEST_F(AlertGeneration, CloseBeforeTheQueueRunsMeansNeverShownNeverCalled)
{
    AlertBox box(platform);
    box.setTitle("configured");
    box.show(record("box"));
    box.close();
    EXPECT_FALSE(live());
    platform.runQueue();
    EXPECT_EQ(platform.alert(0).shown, 0);
    EXPECT_TRUE(results.empty());
    // The box starts over with a fresh, unconfigured alert.
    ASSERT_EQ(platform.made.size(), 2u);
    box.setTitle("again");
    EXPECT_EQ(platform.alert(0).title, "configured");
    EXPECT_EQ(platform.alert(1).title, "again");
}

TEST_F(AlertGeneration, SecondShowBeforeTheQueueRunsWinsOnTheSameBox)
{
    AlertBox box(platform);
    box.show(record("first"));
    box.show(record("second"));
    platform.runQueue();
    // The same alert object, but only the second request reaches the screen.
    EXPECT_EQ(platform.alert(0).shown, 1);
    EXPECT_EQ(results, std::vector<std::string>{"second:0"});
    EXPECT_FALSE(live());
}

TEST_F(AlertGeneration, SecondShowBeforeTheQueueRunsWinsAcrossBoxes)
{
    AlertBox a(platform);
    AlertBox b(platform);
    a.show(record("a"));
    b.show(record("b"));
    platform.runQueue();
    EXPECT_EQ(platform.alert(0).shown, 0);
    EXPECT_EQ(platform.alert(1).shown, 1);
    EXPECT_EQ(results, std::vector<std::string>{"b:0"});
}

TEST_F(AlertGeneration, ShowCloseShowAcrossTwoBoxes)
{
    AlertBox a(platform);
    AlertBox b(platform);
    a.show(record("a"));
    a.close();
    b.show(record("b"));
    platform.runQueue();
    EXPECT_EQ(platform.alert(0).shown, 0);
    EXPECT_EQ(platform.alert(1).shown, 1);
    EXPECT_EQ(results, std::vector<std::string>{"b:0"});
    EXPECT_FALSE(live());
}

TEST_F(AlertGeneration, LaterShowWhileOneIsUpLeavesItUpButDropsItsResult)
{
    AlertBox a(platform);
    AlertBox b(platform);
    platform.alert(0).whileUp = [&](FakeAlert &) {
        b.show(record("b"));
        return KUI::kFirstButtonResponse;
    };
    a.show(record("a"));
    platform.runQueue();
    EXPECT_EQ(platform.alert(0).dismissed, 0);
    EXPECT_EQ(platform.alert(1).shown, 1);
    EXPECT_EQ(results, std::vector<std::string>{"b:0"});
}

TEST_F(AlertGeneration, DestroyWhilePendingStillShowsButDropsTheResultAndStaysLive)
{
    auto box = std::make_unique<AlertBox>(platform);
    box->show(record("box"));
    box.reset();
    platform.runQueue();
    EXPECT_EQ(platform.alert(0).shown, 1);
    EXPECT_TRUE(results.empty());
    EXPECT_TRUE(live());
}

TEST_F(AlertGeneration, DestroyWhileVisibleDismissesWithoutTheCallback)
{
    auto box = std::make_unique<AlertBox>(platform);
    platform.alert(0).whileUp = [&](FakeAlert &) {
        box.reset();
        return KUI::kFirstButtonResponse;
    };
    box->show(record("box"));
    platform.runQueue();
    EXPECT_EQ(platform.alert(0).dismissed, 1);
    EXPECT_TRUE(results.empty());
    EXPECT_FALSE(live());
}

TEST_F(AlertGeneration, CloseWhileVisibleDismissesAndTheBoxCanShowAgain)
{
    AlertBox box(platform);
    platform.alert(0).whileUp = [&](FakeAlert &) {
        box.close();
        return KUI::kFirstButtonResponse;
    };
    box.show(record("first"));
    platform.runQueue();
    EXPECT_EQ(platform.alert(0).dismissed, 1);
    EXPECT_TRUE(results.empty());
    box.show(record("again"));
    platform.runQueue();
    EXPECT_EQ(platform.alert(1).shown, 1);
    EXPECT_EQ(results, std::vector<std::string>{"again:0"});
}

TEST_F(AlertGeneration, CloseWhileIdleDoesNothingEvenDuringItsOwnModalRun)
{
    ASSERT_FALSE(live());
    AlertBox box(platform);
    box.setTitle("kept");
    box.close();
    EXPECT_EQ(platform.made.size(), 1u);
    EXPECT_EQ(platform.alert(0).title, "kept");

    platform.alert(0).whileUp = [&](FakeAlert &) {
        box.close();
        return KUI::kFirstButtonResponse + 2;
    };
    EXPECT_EQ(box.runModal(), 2);
    EXPECT_EQ(platform.alert(0).dismissed, 0);
    EXPECT_EQ(platform.made.size(), 1u);
}

TEST_F(AlertGeneration, ShowFromInsideACompletionIsDropped)
{
    AlertBox a(platform);
    AlertBox b(platform);
    a.show([&](int code) {
        results.push_back("a:" + std::to_string(code));
        b.show(record("b"));
    });
    platform.runQueue();
    EXPECT_EQ(platform.alert(1).shown, 0);
    EXPECT_EQ(results, std::vector<std::string>{"a:0"});
    EXPECT_FALSE(live());
}

TEST_F(AlertGeneration, CompletionMayDestroyItsBox)
{
    auto box = std::make_unique<AlertBox>(platform);
    box->show([&](int code) {
        results.push_back("box:" + std::to_string(code));
        box.reset();
    });
    platform.runQueue();
    EXPECT_EQ(results, std::vector<std::string>{"box:0"});
    EXPECT_FALSE(box);
    EXPECT_FALSE(live());
}

TEST_F(AlertGeneration, ModalRunSurvivesTheBoxBeingDestroyedWhileUp)
{
    auto box = std::make_unique<AlertBox>(platform);
    box->addButton("A");
    box->addButton("B");
    platform.alert(0).whileUp = [&](FakeAlert &) {
        box.reset();
        return KUI::kFirstButtonResponse + 1;
    };
    EXPECT_EQ(box->runModal(), 1);
    EXPECT_FALSE(box);
}

struct CodeCase {
    const char *name;
    int response;
    bool suppressed;
    int code;
};

const CodeCase kCodes[] = {
    {"FirstButton", 1000, false, 0},
    {"SecondButton", 1001, false, 1},
    {"ThirdButton", 1002, false, 2},
    {"Abort", -1000, false, -2000},
    {"BelowTheButtons", 999, false, -1},
    {"SuppressionWinsOverTheButton", 1001, true, -1},
    {"SuppressionWinsOverAbort", -1000, true, -1},
};

class ResultCode : public testing::TestWithParam<CodeCase> {};

TEST_P(ResultCode, IsTheResponseMinus1000UnlessSuppressed)
{
    EXPECT_EQ(KUI::alertResultCode(GetParam().response, GetParam().suppressed), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Responses, ResultCode, testing::ValuesIn(kCodes),
    [](const auto &info) { return std::string(info.param.name); });

TEST(AlertBoxResult, CheckedSuppressionBoxGivesMinusOneInTheCompletionToo)
{
    FakePlatform platform;
    AlertBox box(platform);
    platform.alert(0).suppressed = true;
    std::optional<int> got;
    box.show([&](int code) { got = code; });
    platform.runQueue();
    EXPECT_EQ(got, -1);
}

struct MessageCase {
    const char *name;
    std::string informative;
    int style;
    std::vector<std::string> titles;
    // Expected on the alert.
    bool informativeSet;
    std::optional<AlertStyle> platformStyle;
    std::vector<std::string> buttons;
    int removeButtonsCalls;
};

const MessageCase kMessages[] = {
    {"NoTitlesKeepTheDefault", "", 0, {}, false, AlertStyle::Informational, {}, 0},
    {"SingleOKKeepsTheDefault", "", 0, {"OK"}, false, AlertStyle::Informational, {}, 0},
    {"SingleOtherTitleKeepsTheDefaultToo", "more", 1, {"Quit"}, true, AlertStyle::Warning, {}, 0},
    {"TwoTitlesReplaceIt", "more", 2, {"Yes", "No"}, true, AlertStyle::Critical, {"Yes", "No"}, 1},
    {"ThreeTitlesInOrder", "", 1, {"A", "B", "C"}, false, AlertStyle::Warning, {"A", "B", "C"}, 1},
    {"StyleThreeLeavesTheDefault", "", 3, {}, false, std::nullopt, {}, 0},
    {"StyleMinusOneLeavesTheDefault", "", -1, {}, false, std::nullopt, {}, 0},
};

class ShowMessage : public testing::TestWithParam<MessageCase> {};

TEST_P(ShowMessage, ConfiguresRunsAndReleasesItsOwnBox)
{
    const MessageCase &c = GetParam();
    FakePlatform platform;
    int code = AlertBox::showMessage(platform, "Message", c.informative, c.style, c.titles);
    ASSERT_EQ(platform.made.size(), 1u);
    const FakeAlert &alert = platform.alert(0);
    EXPECT_EQ(alert.message, "Message");
    EXPECT_EQ(alert.informative.has_value(), c.informativeSet);
    if (c.informativeSet) {
        EXPECT_EQ(*alert.informative, c.informative);
    }
    EXPECT_EQ(alert.style, c.platformStyle);
    EXPECT_EQ(alert.buttons, c.buttons);
    EXPECT_EQ(alert.removeButtonsCalls, c.removeButtonsCalls);
    EXPECT_EQ(alert.shown, 1) << "modal: shown within the call";
    EXPECT_EQ(code, 0);
    // Only this test's platform holds the alert now: the box is gone.
    EXPECT_EQ(platform.made[0].use_count(), 1);
}

INSTANTIATE_TEST_SUITE_P(Rules, ShowMessage, testing::ValuesIn(kMessages),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
