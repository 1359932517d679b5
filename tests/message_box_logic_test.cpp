// The alert panel's rules over a fake platform alert: the generation that
// cancels stale asynchronous alerts, result codes and the convenience call.
#include "ui/alert_box.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using KUI::AlertBox;
using KUI::AlertStyle;

// Logs what is done to it, as "<box>.<what>".
struct FakeAlert : KUI::PlatformAlert {
    std::string name;
    std::vector<std::string> *log = nullptr;
    std::function<void()> whileUp = [] {};
    int buttons = 0;
    bool visible = false;
    bool dismissed = false;
    bool suppressed = false;

    void note(const std::string &what) { log->push_back(name + "." + what); }
    void setTitle(const std::string &t) override { note("title=" + t); }
    void setMessageText(const std::string &t) override { note("message=" + t); }
    void setInformativeText(const std::string &t) override { note("informative=" + t); }
    int addButton(const std::string &t) override
    {
        note("button=" + t);
        return ++buttons;
    }
    void removeButtons() override
    {
        note("removeButtons");
        buttons = 0;
    }
    void setIcon(const std::string &i) override { note("icon=" + i); }
    void setStyle(AlertStyle s) override { note("style=" + std::to_string(static_cast<int>(s))); }
    // The user presses the first button, unless a dismissal ends the run
    // the way the platform's abort does.
    int runModal() override
    {
        note("up");
        visible = true;
        whileUp();
        visible = false;
        return dismissed ? KUI::kAbortResponse : KUI::kFirstButtonResponse;
    }
    bool isVisible() const override { return visible; }
    void dismiss() override
    {
        note("dismissed");
        dismissed = true;
        visible = false;
    }
    bool isSuppressed() const override { return suppressed; }
};

std::string joined(const std::vector<std::string> &entries)
{
    std::string out;
    for (const std::string &entry : entries)
        out += (out.empty() ? "" : " ") + entry;
    return out;
}

// Keeps every alert it made; names each after the box being worked on.
struct FakePlatform : KUI::AlertPlatform {
    std::vector<std::shared_ptr<FakeAlert>> made;
    std::deque<std::function<void()>> queue;
    std::vector<std::string> log;
    std::string naming = "a";
    bool logNew = false;
    std::function<void(const std::string &)> onUp = [](const std::string &) {};

    std::shared_ptr<KUI::PlatformAlert> makeAlert() override
    {
        auto alert = std::make_shared<FakeAlert>();
        alert->name = naming;
        alert->log = &log;
        alert->whileUp = [this, name = naming] { onUp(name); };
        if (logNew)
            log.push_back(naming + ".new");
        made.push_back(alert);
        return alert;
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
};

bool live()
{
    return KUI::alertGeneration() > 0;
}

// The generation is process-wide and a case may leave it live on purpose;
// one answered alert brings it back to idle.
void settleTheGeneration()
{
    FakePlatform settle;
    AlertBox box(settle);
    box.show([](int) {});
    settle.runQueue();
}

struct ScriptCase {
    const char *name;
    // Steps on boxes a and b: show, close, destroy, modal, suppress (its alert's
    // check box is checked); "run" runs the queue.
    const char *script;
    // Steps run the first time box a's alert is up, and in a's first completion.
    const char *whileAUp;
    const char *whenADone;
    // What the user saw and what reached the completions ("a2" is a's second show).
    const char *log;
    bool liveAfter;
};

const ScriptCase kScripts[] = {
    {"ShowAppearsOnALaterTurnDeliversTheCodeAndGoesIdle", "a.show run", "", "", "run a.up a1=0", false},
    {"CloseBeforeTheQueueRunsMeansNeverShownAndAFreshAlert", "a.show a.close run", "", "", "a.dismissed a.new run",
        false},
    {"SecondShowOnTheSameBoxWins", "a.show a.show run", "", "", "run a.up a2=0", false},
    {"SecondShowOnAnotherBoxWins", "a.show b.show run", "", "", "run b.up b1=0", false},
    {"ShowCloseShowAcrossTwoBoxes", "a.show a.close b.show run", "", "", "a.dismissed a.new run b.up b1=0", false},
    {"LaterShowWhileOneIsUpLeavesItUpButDropsItsResult", "a.show run", "b.show", "", "run a.up b.up b1=0", false},
    {"DestroyWhilePendingStillShowsButDropsTheResultAndStaysLive", "a.show a.destroy run", "", "", "run a.up", true},
    {"DestroyWhileVisibleDismissesWithoutTheCompletion", "a.show run", "a.destroy", "", "run a.up a.dismissed a.new",
        false},
    {"CloseWhileVisibleDismissesAndTheBoxCanShowAgain", "a.show run a.show run", "a.close", "",
        "run a.up a.dismissed a.new run a.up a2=0", false},
    {"CloseWhileIdleDoesNothingEvenDuringItsOwnModalRun", "a.close a.modal", "a.close", "", "a.up a.modal=0", false},
    {"ShowFromInsideACompletionIsDropped", "a.show run", "", "b.show", "run a.up a1=0", false},
    {"CompletionMayDestroyItsBox", "a.show run", "", "a.destroy", "run a.up a1=0", false},
    {"ModalRunSurvivesTheBoxBeingDestroyedWhileUp", "a.modal", "a.destroy", "", "a.up a.modal=0", false},
    {"CheckedSuppressionGivesMinusOneInTheCompletion", "a.suppress a.show run", "", "", "run a.up a1=-1", false},
};

class AlertGeneration : public testing::TestWithParam<ScriptCase> {
protected:
    AlertGeneration()
    {
        settleTheGeneration();
        for (const char *name : {"a", "b"}) {
            platform.naming = name;
            boxes[name] = std::make_unique<AlertBox>(platform);
        }
        platform.logNew = true;
        platform.onUp = [this](const std::string &name) {
            if (name == "a")
                run(std::exchange(whileAUp, ""));
        };
    }

    void run(const std::string &script)
    {
        std::istringstream steps(script);
        for (std::string step; steps >> step;) {
            if (step == "run") {
                platform.log.push_back("run");
                platform.runQueue();
                continue;
            }
            const std::string name = step.substr(0, 1), verb = step.substr(2);
            std::unique_ptr<AlertBox> &box = boxes[name];
            platform.naming = name;
            if (verb == "show") {
                const std::string tag = name + std::to_string(++shows[name]);
                box->show([this, name, tag](int code) {
                    platform.log.push_back(tag + "=" + std::to_string(code));
                    if (name == "a")
                        run(std::exchange(whenADone, ""));
                });
            } else if (verb == "close") {
                box->close();
            } else if (verb == "destroy") {
                box.reset();
            } else if (verb == "suppress") {
                platform.made[name == "a" ? 0 : 1]->suppressed = true;
            } else if (verb == "modal") {
                const int code = box->runModal();
                platform.log.push_back(name + ".modal=" + std::to_string(code));
            } else {
                ADD_FAILURE() << "unknown step " << step;
            }
        }
    }

    FakePlatform platform;
    std::map<std::string, std::unique_ptr<AlertBox>> boxes;
    std::map<std::string, int> shows;
    std::string whileAUp = GetParam().whileAUp;
    std::string whenADone = GetParam().whenADone;
};

TEST_P(AlertGeneration, FollowsTheScript)
{
    run(GetParam().script);
    EXPECT_EQ(joined(platform.log), GetParam().log);
    EXPECT_EQ(live(), GetParam().liveAfter);
}

INSTANTIATE_TEST_SUITE_P(Scripts, AlertGeneration, testing::ValuesIn(kScripts),
    [](const auto &info) { return std::string(info.param.name); });

TEST(AlertGenerationValue, NeverRepeatsAndComesBackPositiveFromIdle)
{
    settleTheGeneration();
    FakePlatform platform;
    AlertBox box(platform);
    box.show([](int) {});
    const std::int32_t first = KUI::alertGeneration();
    EXPECT_GT(first, 0);
    platform.runQueue();
    ASSERT_EQ(KUI::alertGeneration(), -first);
    box.show([](int) {});
    EXPECT_EQ(KUI::alertGeneration(), first + 1);
    platform.runQueue();
}

struct CodeCase {
    const char *name;
    int response;
    bool suppressed;
    int code;
};

const CodeCase kCodes[] = {
    {"FirstButton", 1000, false, 0},
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

struct MessageCase {
    const char *name;
    std::string informative;
    int style;
    std::vector<std::string> titles;
    const char *log;
};

// An empty informative text is not set; styles 0, 1, 2 are the platform's 1, 0, 2.
const MessageCase kMessages[] = {
    {"NoTitlesKeepTheDefault", "", 0, {}, "a.message=Message a.style=1 a.up"},
    {"SingleOKKeepsTheDefault", "", 0, {"OK"}, "a.message=Message a.style=1 a.up"},
    {"SingleOtherTitleKeepsTheDefaultToo", "more", 1, {"Quit"}, "a.message=Message a.informative=more a.style=0 a.up"},
    {"TwoTitlesReplaceIt", "more", 2, {"Yes", "No"},
        "a.message=Message a.informative=more a.style=2 a.removeButtons a.button=Yes a.button=No a.up"},
    {"ThreeTitlesInOrder", "", 1, {"A", "B", "C"},
        "a.message=Message a.style=0 a.removeButtons a.button=A a.button=B a.button=C a.up"},
    {"StyleThreeLeavesTheDefault", "", 3, {}, "a.message=Message a.up"},
    {"StyleMinusOneLeavesTheDefault", "", -1, {}, "a.message=Message a.up"},
};

class ShowMessage : public testing::TestWithParam<MessageCase> {};

TEST_P(ShowMessage, ConfiguresRunsAndReleasesItsOwnBox)
{
    const MessageCase &c = GetParam();
    FakePlatform platform;
    EXPECT_EQ(AlertBox::showMessage(platform, "Message", c.informative, c.style, c.titles), 0);
    ASSERT_EQ(platform.made.size(), 1u);
    EXPECT_EQ(joined(platform.log), c.log);
    // Only this test's platform holds the alert now: the box is gone.
    EXPECT_EQ(platform.made[0].use_count(), 1);
}

INSTANTIATE_TEST_SUITE_P(Rules, ShowMessage, testing::ValuesIn(kMessages),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
