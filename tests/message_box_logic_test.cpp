// The rules of the alert panel and the guidance window, as tables: the
// generation that cancels stale asynchronous alerts and the result codes it
// delivers (over a fake platform alert), the permission transitions, the
// placeholder rule and the utm query.
#include "accessibility/permission_rules.h"
#include "ui/alert_box.h"
#include "ui/guidance_text.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using KSystem::PermissionState;
using KUI::AlertBox;

// Makes alerts named after the box being worked on; logs "<box>.new" for each
// alert made, "<box>.up" when one shows and "<box>.dismissed".
struct FakePlatform : KUI::AlertPlatform {
    struct Alert : KUI::PlatformAlert {
        FakePlatform *platform;
        std::string name;
        bool visible = false, dismissed = false, suppressed = false;

        void setTitle(const std::string &) override {}
        void setMessageText(const std::string &) override {}
        void setInformativeText(const std::string &) override {}
        int addButton(const std::string &) override { return 1; }
        void removeButtons() override {}
        void setIcon(const std::string &) override {}
        void setStyle(KUI::AlertStyle) override {}
        // The user presses the first button, unless a dismissal ends the run
        // the way the platform's abort does.
        int runModal() override
        {
            platform->log.push_back(name + ".up");
            visible = true;
            platform->onUp(name);
            visible = false;
            return dismissed ? KUI::kAbortResponse : KUI::kFirstButtonResponse;
        }
        bool isVisible() const override { return visible; }
        void dismiss() override
        {
            platform->log.push_back(name + ".dismissed");
            dismissed = true, visible = false;
        }
        bool isSuppressed() const override { return suppressed; }
    };

    std::shared_ptr<KUI::PlatformAlert> makeAlert() override
    {
        auto alert = std::make_shared<Alert>();
        alert->platform = this, alert->name = naming;
        log.push_back(naming + ".new");
        made.push_back(alert);
        return alert;
    }
    void post(std::function<void()> task) override { queue.push_back(std::move(task)); }
    // One main-loop turn's worth: everything posted so far, and what that posts.
    void runQueue()
    {
        for (; !queue.empty(); queue.pop_front())
            std::exchange(queue.front(), {})();
    }

    std::vector<std::shared_ptr<Alert>> made;
    std::deque<std::function<void()>> queue;
    std::vector<std::string> log;
    std::string naming = "a";
    std::function<void(const std::string &)> onUp = [](const std::string &) {};
};

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
    // A close, or a later show of any box, cancels an alert not yet up.
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
        // The generation is process-wide and a case may leave it live on
        // purpose; one answered alert brings it back to idle.
        FakePlatform settle;
        AlertBox box(settle);
        box.show([](int) {});
        settle.runQueue();
        for (const char *name : {"a", "b"}) {
            platform.naming = name;
            boxes[name] = std::make_unique<AlertBox>(platform);
        }
        platform.log.clear();
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
                platform.log.push_back(name + ".modal=" + std::to_string(box->runModal()));
            } else {
                ADD_FAILURE() << "unknown step " << step;
            }
        }
    }

    FakePlatform platform;
    std::map<std::string, std::unique_ptr<AlertBox>> boxes;
    std::map<std::string, int> shows;
    std::string whileAUp = GetParam().whileAUp, whenADone = GetParam().whenADone;
};

TEST_P(AlertGeneration, FollowsTheScript)
{
    run(GetParam().script);
    std::string log;
    for (const std::string &entry : platform.log)
        log += (log.empty() ? "" : " ") + entry;
    EXPECT_EQ(log, GetParam().log);
    EXPECT_EQ(KUI::alertGeneration() > 0, GetParam().liveAfter);
}

INSTANTIATE_TEST_SUITE_P(Scripts, AlertGeneration, testing::ValuesIn(kScripts),
    [](const auto &info) { return std::string(info.param.name); });

// A failing probe counts against the grant only before 10.10.
TEST(PermissionStep, FollowsTheTransitionTable)
{
    constexpr PermissionState U = PermissionState::Unknown, G = PermissionState::Granted, M = PermissionState::Missing;
    struct Case {
        PermissionState from;
        bool missing, limited, windowOpen;
        // Expected: state, open the window, interval, post granted, call denied.
        std::tuple<PermissionState, bool, double, bool, bool> step;
    };
    const Case cases[] = {
        {U, false, false, false, {G, false, 5.0, true, false}},
        {M, false, false, false, {G, false, 5.0, true, false}},
        {M, false, false, true, {G, false, 5.0, true, false}}, // the window's own poll closes it
        {G, false, false, false, {G, false, 0.0, false, false}},
        {U, false, true, false, {G, false, 5.0, true, false}}, // usable: the limited flag does not count
        {U, true, false, false, {M, true, 1.0, false, true}},
        {G, true, false, false, {M, true, 1.0, false, true}},
        {M, true, false, false, {M, true, 0.0, false, false}}, // reopens the window only
        {M, true, false, true, {M, false, 0.0, false, false}},
        {G, true, false, true, {G, false, 0.0, false, false}},
        {U, true, true, false, {U, false, 0.0, false, false}}, // limited: the helper is quitting
        {G, true, true, false, {G, false, 0.0, false, false}},
        {M, true, true, false, {M, false, 0.0, false, false}},
    };
    for (const Case &c : cases) {
        const KSystem::PermissionStep s = KSystem::nextPermissionStep(c.from, c.missing, c.limited, c.windowOpen);
        EXPECT_EQ(std::tuple(s.state, s.openWindow, s.pollInterval, s.postGranted, s.callDenied), c.step)
            << "row " << &c - cases;
    }
    for (const auto &[major, minor, limitation] : {std::tuple{10, 10, false}, {11, 0, false}, {10, 9, true},
             {10, 0, true}, {0, 0, true}, {9, 99, true}})
        EXPECT_EQ(KSystem::probeFailureIsLimitation(major, minor), limitation) << major << "." << minor;
}

// The placeholder rule; then the plain replace-all of the window title, with
// no "already holds" check, and the utm query, with no percent-encoding.
TEST(GuidanceText, PlaceholdersTheTitlesReplaceAllAndTheUtmQuery)
{
    const KUI::PlaceholderPairs name = {{"{{APPNAME}}", "Tessaron Helper"}};
    const std::tuple<std::string, KUI::PlaceholderPairs, std::string> cases[] = {
        {"{{APPNAME}} needs access", name, "Tessaron Helper needs access"},
        {"Open {{APPNAME}} or quit {{APPNAME}}", name, "Open Tessaron Helper or quit Tessaron Helper"},
        {"{{APPNAME}}{{APPNAME}}", name, "Tessaron HelperTessaron Helper"},
        {"{{APPNAME}} is Tessaron Helper", name, "{{APPNAME}} is Tessaron Helper"},
        // The value inside a longer word still counts as held.
        {"Tessaron Helpers and {{APPNAME}}", name, "Tessaron Helpers and {{APPNAME}}"},
        {"Nothing to do", name, "Nothing to do"},
        {"", name, ""},
        {"A {{APPNAME}}.", {{"{{APPNAME}}", ""}}, "A ."}, // an empty value is never held
        {"A {{APPNAME}}.", {{"", "x"}}, "A {{APPNAME}}."},
        {"{{N}} and {{N}}", {{"{{N}}", "<{{N}}>"}}, "<{{N}}> and <{{N}}>"}, // no loop
        {"{{A}}", {{"{{A}}", "x{{B}}"}, {"{{B}}", "y"}}, "xy"},             // pairs in order
        {"{{B}} {{A}}", {{"{{A}}", "y"}, {"{{B}}", "y"}}, "{{B}} y"},       // an earlier pair decides
        {"{{appname}}", name, "{{appname}}"},
    };
    for (const auto &[text, pairs, expected] : cases)
        EXPECT_EQ(KUI::replacePlaceholders(text, pairs), expected) << text;
    EXPECT_EQ(KUI::replaceAll("Tessaron Helper: {{APPNAME}}", "{{APPNAME}}", "Tessaron Helper"),
        "Tessaron Helper: Tessaron Helper");
    EXPECT_EQ(KUI::replaceAll("aaa", "a", "aa"), "aaaaaa");
    EXPECT_EQ(KUI::replaceAll("abc", "", "x"), "abc");
    EXPECT_EQ(KUI::makeUtmQuery("10.9.0", "1.0 beta", "a&b=c"),
        "?utm_source=mas&utm_medium=10.9.0&utm_campaign=1.0 beta&utm_content=a&b=c");
}

} // namespace
