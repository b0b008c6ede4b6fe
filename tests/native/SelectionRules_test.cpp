#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <set>
#include <string>
#include <vector>

#include "driver/SelectionRules.h"
#include "frame/Exception.h"

namespace {

using setup::ComponentState;
using setup::ComponentToDo;
using setup::driver::DriverPackage;
using setup::driver::SelectionFacts;
namespace attribute = setup::driver::attribute;
namespace selection = setup::driver::selection;

using Rule = bool (*)(const DriverPackage&, SelectionFacts&);

enum class Installed { Neither, Component, Previous };
// Uninstall rules read the raw state; only to-do 2 reaches it.
enum class State { Ok, FileAbsent, Fails };

// Answers from a script and records every question in order, so the tests
// see what a rule asked as well as what it decided.
class ScriptedFacts : public SelectionFacts {
public:
    ComponentToDo toDo = ComponentToDo::None;
    State state = State::Ok;
    int32_t condition = 2;
    std::wstring resume;
    std::set<std::wstring> installed;
    // Candidate GUID -> service of its INF, or the failure of that probe.
    std::map<std::wstring, std::wstring> services;
    std::map<std::wstring, setup::Exception> serviceFailures;

    std::vector<std::wstring> asked;
    std::vector<std::wstring> lines;

    ComponentToDo GetComponentToDo(const std::wstring& component) override {
        asked.push_back(L"todo " + component);
        return toDo;
    }
    ComponentState GetComponentState(const std::wstring& component) override {
        asked.push_back(L"state " + component);
        ComponentState s;
        s.installed = 3;
        s.action = state == State::FileAbsent ? 1 : 2;
        s.result = state == State::Fails ? 1607u : 0u;
        return s;
    }
    int32_t EvaluateCondition(const std::wstring& text) override {
        asked.push_back(L"condition " + text);
        return condition;
    }
    std::wstring GetProperty(const std::wstring& name) override {
        asked.push_back(L"property " + name);
        return name == L"RESUME" ? resume : std::wstring();
    }
    std::wstring GetComponentGuid(const std::wstring& component) override {
        asked.push_back(L"guid " + component);
        if (component != L"DrvComp") {
            throw setup::Exception(static_cast<int32_t>(0x80070006), L"Failed to read component GUID.", L"");
        }
        return L"OWN";
    }
    bool IsInstalledByProduct(const std::wstring& guid) override {
        asked.push_back(L"product " + guid);
        return installed.count(guid) != 0;
    }
    std::wstring GetInstalledDriverService(const std::wstring& guid, const std::wstring& infPath) override {
        asked.push_back(L"service " + guid + L" " + infPath);
        const auto failure = serviceFailures.find(guid);
        if (failure != serviceFailures.end()) {
            throw failure->second;
        }
        return services.at(guid);
    }
    void Log(const std::wstring& line) override { lines.push_back(line); }
};

DriverPackage Package(uint32_t attributes) {
    DriverPackage package;
    package.id = L"drv";
    package.component = L"DrvComp";
    package.infPath = L"C:\\src\\drv.inf";
    package.condition = L"COND";
    package.previousVersionGuids = {L"PREV1", L"PREV2"};
    package.attributes = attributes;
    return package;
}

void Script(ScriptedFacts& facts, int toDo, int32_t condition, Installed installed, bool resume, State state) {
    facts.toDo = static_cast<ComponentToDo>(toDo);
    facts.condition = condition;
    facts.resume = resume ? L"1" : L"";
    facts.state = state;
    if (installed == Installed::Component) {
        facts.installed = {L"OWN"};
    } else if (installed == Installed::Previous) {
        facts.installed = {L"PREV2"};  // the second entry: the first is asked and missed
    }
}

constexpr uint32_t kEarly = attribute::InstallEarly;
constexpr uint32_t kRemove = attribute::RemoveOnInstall;
constexpr uint32_t kUpv = attribute::UninstallPreviousVersion;

struct Case {
    const char* name;
    Rule rule;
    int toDo;
    uint32_t attributes;
    int32_t condition;
    Installed installed;
    bool resume;
    State state;
    bool expected;
    std::vector<std::wstring> lines;
    std::vector<std::wstring> asked;
};

const std::wstring kTodo = L"todo DrvComp";
const std::wstring kCond = L"condition COND";
const std::wstring kResume = L"property RESUME";
const std::wstring kGuid = L"guid DrvComp";
const std::wstring kOwn = L"product OWN";
const std::wstring kPrev1 = L"product PREV1";
const std::wstring kPrev2 = L"product PREV2";
const std::wstring kState = L"state DrvComp";
const std::wstring kNotEarly = L"The driver 'drv' is not marked to install early.";
const std::wstring kForce = L"Force install driver 'drv' early. The suspended installation is resuming.";
const std::wstring kAlready = L"The component of driver 'drv' is already installed.";

void RunCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedFacts facts;
        Script(facts, c.toDo, c.condition, c.installed, c.resume, c.state);
        EXPECT_EQ(c.expected, c.rule(Package(c.attributes), facts));
        EXPECT_EQ(c.lines, facts.lines);
        EXPECT_EQ(c.asked, facts.asked);
    }
}

using enum Installed;
using enum State;

TEST(SelectionRules, EarlyInstallCandidate) {
    const Rule r = selection::IsEarlyInstallCandidate;
    RunCases({
        {"not early", r, 1, 0, 1, Neither, true, Ok, false, {kNotEarly}, {}},
        {"resume wins over installed", r, 1, kEarly, 1, Component, true, Ok, true, {kForce}, {kResume}},
        {"own component installed", r, 1, kEarly, 1, Component, false, Ok, false, {kAlready}, {kResume, kGuid, kOwn}},
        {"previous version installed", r, 1, kEarly, 1, Previous, false, Ok, false, {kAlready},
         {kResume, kGuid, kOwn, kPrev1, kPrev2}},
        {"nothing installed: candidate, silently", r, 1, kEarly, 1, Neither, false, Ok, true, {},
         {kResume, kGuid, kOwn, kPrev1, kPrev2}},
    });
}

TEST(SelectionRules, Install) {
    const Rule r = selection::ShouldInstall;
    const std::wstring need1 = L"Need to install 'drv' driver. Component to do 1.";
    const std::wstring need3 = L"Need to install 'drv' driver. Component to do 3.";
    RunCases({
        {"null action", r, 0, 0, 1, Neither, false, Ok, false, {L"Skip installation of driver 'drv' for null-action component."}, {kTodo}},
        {"uninstall", r, 2, 0, 1, Neither, false, Ok, false, {L"Skip installation of 'drv' driver. Component is not marked to install."}, {kTodo}},
        {"remove on install", r, 1, kRemove | kEarly, 1, Neither, false, Ok, false,
         {L"Skip installation of 'drv' driver. The driver marked to remove on install."}, {kTodo}},
        {"condition false", r, 1, 0, 0, Neither, false, Ok, false, {L"Skip installation of 'drv' driver. Condition is '0'."}, {kTodo, kCond}},
        {"condition error", r, 3, kEarly, 3, Neither, false, Ok, false, {L"Skip installation of 'drv' driver. Condition is '3'."}, {kTodo, kCond}},
        {"early candidate", r, 1, kEarly, 1, Neither, false, Ok, false,
         {L"Skip installation of 'drv' driver. Component is marked to install early and not installed."},
         {kTodo, kCond, kResume, kGuid, kOwn, kPrev1, kPrev2}},
        {"resume makes an installed one a candidate", r, 3, kEarly, 2, Component, true, Ok, false,
         {kForce, L"Skip installation of 'drv' driver. Component is marked to install early and not installed."}, {kTodo, kCond, kResume}},
        {"early but installed", r, 3, kEarly, 1, Component, false, Ok, true, {kAlready, need3}, {kTodo, kCond, kResume, kGuid, kOwn}},
        {"plain install, empty condition", r, 1, 0, 2, Neither, false, Ok, true, {kNotEarly, need1}, {kTodo, kCond}},
        {"reinstall", r, 3, kUpv, 1, Component, true, Ok, true, {kNotEarly, need3}, {kTodo, kCond}},
    });
}

TEST(SelectionRules, InstallEarly) {
    const Rule r = selection::ShouldInstallEarly;
    const std::wstring notCandidate = L"Skip early installation of 'drv' driver. Component is not marked to install early or already installed.";
    RunCases({
        {"null action", r, 0, kEarly, 1, Neither, false, Ok, false, {L"Skip early installation of driver for null-action component 'drv'."}, {kTodo}},
        {"uninstall", r, 2, kEarly, 1, Neither, false, Ok, false,
         {L"Skip early installation of 'drv' driver. Component is not marked to install."}, {kTodo}},
        {"remove on install", r, 1, kEarly | kRemove, 1, Neither, false, Ok, false,
         {L"Skip early installation of 'drv' driver. The driver marked to remove on install."}, {kTodo}},
        {"condition false", r, 1, kEarly, 0, Neither, false, Ok, false, {L"Skip early installation of 'drv' driver. Condition is '0'."}, {kTodo, kCond}},
        {"not early", r, 1, 0, 1, Neither, false, Ok, false, {kNotEarly, notCandidate}, {kTodo, kCond}},
        {"already installed", r, 1, kEarly, 1, Previous, false, Ok, false, {kAlready, notCandidate},
         {kTodo, kCond, kResume, kGuid, kOwn, kPrev1, kPrev2}},
        {"fresh", r, 1, kEarly, 2, Neither, false, Ok, true, {L"Need to early install 'drv' driver. Component to do 1."},
         {kTodo, kCond, kResume, kGuid, kOwn, kPrev1, kPrev2}},
        {"resuming over an installed one", r, 3, kEarly, 1, Component, true, Ok, true,
         {kForce, L"Need to early install 'drv' driver. Component to do 3."}, {kTodo, kCond, kResume}},
    });
}

TEST(SelectionRules, RollbackInstall) {
    const Rule r = selection::ShouldRollbackInstall;
    const std::wstring elsewhere = L"Skip rollback installation of 'drv' driver. Rollback must be processed in UninstallDriversRollback action.";
    RunCases({
        {"null action", r, 0, 0, 1, Neither, false, Ok, false, {L"Skip rollback installation of driver 'drv' for null-action component."}, {kTodo}},
        {"uninstall", r, 2, 0, 1, Neither, false, Ok, false,
         {L"Skip rollback installation of 'drv' driver. Component is not marked to install."}, {kTodo}},
        {"remove on install", r, 3, kRemove, 1, Component, false, Ok, false,
         {L"Skip rollback installation of 'drv' driver. The driver marked to remove on install."}, {kTodo}},
        {"installed, kept: its own rollback", r, 3, 0, 1, Component, false, Ok, false, {elsewhere}, {kTodo, kGuid, kOwn}},
        {"previous installed, kept", r, 1, 0, 0, Previous, false, Ok, false, {elsewhere}, {kTodo, kGuid, kOwn, kPrev1, kPrev2}},
        {"installed but uninstalled first: condition decides", r, 3, kUpv, 0, Component, false, Ok, false,
         {L"Skip rollback installation of 'drv' driver. Condition is '0'."}, {kTodo, kCond}},
        {"not installed, condition error", r, 1, 0, 3, Neither, false, Ok, false,
         {L"Skip rollback installation of 'drv' driver. Condition is '3'."}, {kTodo, kGuid, kOwn, kPrev1, kPrev2, kCond}},
        {"early candidate", r, 1, kEarly | kUpv, 1, Neither, false, Ok, false,
         {L"Skip rollback installation of 'drv' driver. Component is marked to install early and not installed."},
         {kTodo, kCond, kResume, kGuid, kOwn, kPrev1, kPrev2}},
        {"fresh install", r, 1, 0, 2, Neither, false, Ok, true,
         {kNotEarly, L"Need to rollback installation of 'drv' driver. Component to do 1."}, {kTodo, kGuid, kOwn, kPrev1, kPrev2, kCond}},
        {"reinstall over an uninstalled previous version", r, 3, kUpv | kEarly, 1, Component, false, Ok, true,
         {kAlready, L"Need to rollback installation of 'drv' driver. Component to do 3."}, {kTodo, kCond, kResume, kGuid, kOwn}},
    });
}

TEST(SelectionRules, Uninstall) {
    const Rule r = selection::ShouldUninstall;
    const std::wstring notMarked =
        L"Skip uninstallation of 'drv' driver. Component is not marked to uninstall and has not uninstall previous version attribute.";
    const std::wstring notFound = L"Skip uninstallation of 'drv' driver. Installed components not found.";
    RunCases({
        {"null action", r, 0, kUpv, 1, Component, false, Ok, false, {L"Skip uninstallation of driver for null-action component 'drv'."}, {kTodo}},
        {"uninstall, remove on install", r, 2, kRemove, 1, Component, false, Ok, false,
         {L"Skip uninstallation of 'drv' driver. The driver marked to remove on install."}, {kTodo}},
        {"uninstall, state fails", r, 2, 0, 1, Component, false, Fails, false,
         {L"Failed to get 'drv' component state. Error: 0x80070647."}, {kTodo, kState}},
        {"uninstall, FileAbsent", r, 2, 0, 1, Component, false, FileAbsent, false,
         {L"Skip uninstallation of 'drv' driver. Component action is FileAbsent."}, {kTodo, kState}},
        {"uninstall, condition false", r, 2, 0, 0, Neither, false, Ok, false,
         {L"Skip uninstallation of 'drv' driver. Condition is '0'."}, {kTodo, kState, kCond}},
        {"uninstall, installed or not", r, 2, 0, 1, Neither, false, Ok, true,
         {L"Need to uninstall 'drv' driver. Component to do 2."}, {kTodo, kState, kCond}},
        {"reinstall, remove on install", r, 3, kRemove | kUpv, 1, Component, false, Ok, false,
         {L"Skip uninstallation of 'drv' driver. The driver marked to remove on install (not reinstall)."}, {kTodo}},
        {"reinstall without the attribute", r, 3, 0, 1, Component, false, Ok, false, {notMarked}, {kTodo}},
        {"reinstall, nothing installed", r, 3, kUpv, 1, Neither, false, Ok, false, {notFound}, {kTodo, kGuid, kOwn, kPrev1, kPrev2}},
        {"reinstall, component installed", r, 3, kUpv, 2, Component, false, Ok, true,
         {L"Need to uninstall 'drv' driver. Component to do 3."}, {kTodo, kGuid, kOwn, kCond}},
        {"install without the attribute", r, 1, kRemove, 1, Previous, false, Ok, false, {notMarked}, {kTodo}},
        {"install, nothing installed", r, 1, kUpv, 1, Neither, false, Ok, false, {notFound}, {kTodo, kGuid, kOwn, kPrev1, kPrev2}},
        {"install over a previous version, condition error", r, 1, kUpv, 3, Previous, false, Ok, false,
         {L"Skip uninstallation of 'drv' driver. Condition is '3'."}, {kTodo, kGuid, kOwn, kPrev1, kPrev2, kCond}},
        {"install over a previous version", r, 1, kUpv | kRemove, 1, Previous, false, Ok, true,
         {L"Need to uninstall 'drv' driver. Component to do 1."}, {kTodo, kGuid, kOwn, kPrev1, kPrev2, kCond}},
    });
}

TEST(SelectionRules, RollbackUninstall) {
    const Rule r = selection::ShouldRollbackUninstall;
    const std::wstring notFound = L"Skip rollback uninstallation of 'drv' driver. Installed components not found.";
    RunCases({
        {"null action", r, 0, 0, 1, Component, false, Ok, false,
         {L"Skip rollback uninstallation of driver for null-action component 'drv'."}, {kTodo}},
        {"uninstall, remove on install", r, 2, kRemove, 1, Component, false, Ok, false,
         {L"Skip rollback uninstallation of 'drv' driver. The driver marked to remove on install."}, {kTodo}},
        {"uninstall, state fails", r, 2, 0, 1, Component, false, Fails, false,
         {L"Failed to get 'drv' component state. Error: 0x80070647."}, {kTodo, kState}},
        {"uninstall, FileAbsent", r, 2, 0, 1, Component, false, FileAbsent, false,
         {L"Skip rollback uninstallation of 'drv' driver. Component action is FileAbsent."}, {kTodo, kState}},
        {"uninstall", r, 2, 0, 2, Neither, false, Ok, true,
         {L"Need to rollback uninstall 'drv' driver. Component to do 2."}, {kTodo, kState, kCond}},
        {"reinstall, remove on install", r, 3, kRemove, 1, Component, false, Ok, false,
         {L"Skip rollback uninstallation of 'drv' driver. The driver marked to remove on install (not reinstall)."}, {kTodo}},
        {"reinstall without the attribute, installed", r, 3, 0, 1, Component, false, Ok, true,
         {L"Need to rollback uninstall 'drv' driver. Component to do 3."}, {kTodo, kGuid, kOwn, kCond}},
        {"reinstall, nothing installed", r, 3, kUpv, 1, Neither, false, Ok, false, {notFound}, {kTodo, kGuid, kOwn, kPrev1, kPrev2}},
        {"install without the attribute, previous installed", r, 1, kRemove, 1, Previous, false, Ok, true,
         {L"Need to rollback uninstall 'drv' driver. Component to do 1."}, {kTodo, kGuid, kOwn, kPrev1, kPrev2, kCond}},
        {"install, condition false", r, 1, 0, 0, Component, false, Ok, false,
         {L"Skip rollback uninstallation of 'drv' driver. Condition is '0'."}, {kTodo, kGuid, kOwn, kCond}},
    });
}

TEST(SelectionRules, FinalizeRecoveryAndSequence) {
    const Rule finalize = selection::ShouldFinalize;
    const Rule recovery = selection::ShouldConfigureRecovery;
    RunCases({
        {"finalize", finalize, 0, attribute::StartTypeOnFinalize, 0, Neither, false, Ok, true,
         {L"Need to finalize installation of driver package 'drv'."}, {}},
        {"no finalize", finalize, 1, attribute::WinRe, 1, Neither, false, Ok, false, {}, {}},
        {"recovery", recovery, 0, attribute::WinRe, 0, Neither, false, Ok, true,
         {L"Need to add/remove driver package 'drv' to Windows Recovery Environment."}, {}},
        {"no recovery", recovery, 1, attribute::StartTypeOnFinalize, 1, Neither, false, Ok, false, {}, {}},
    });
    DriverPackage package = Package(0);
    EXPECT_TRUE(setup::driver::HasNoSequence(package));
    EXPECT_FALSE(setup::driver::HasSequence(package));
    package.sequence = 0;
    EXPECT_TRUE(setup::driver::HasSequence(package));
    package.sequence = 65534;
    EXPECT_FALSE(setup::driver::HasNoSequence(package));
}

TEST(SelectionRules, DriverPresentWalksCandidatesInOrder) {
    const std::wstring notInstalledOwn = L"The component 'OWN' is not installed for driver package 'drv'.";
    const std::wstring notInstalledPrev1 = L"The component 'PREV1' is not installed for driver package 'drv'.";
    const std::wstring notInstalledPrev2 = L"The component 'PREV2' is not installed for driver package 'drv'.";
    {
        SCOPED_TRACE("nothing installed: one line per candidate");
        ScriptedFacts facts;
        EXPECT_FALSE(selection::IsDriverPresent(Package(0), facts));
        EXPECT_EQ((std::vector<std::wstring>{notInstalledOwn, notInstalledPrev1, notInstalledPrev2}), facts.lines);
        EXPECT_EQ((std::vector<std::wstring>{kGuid, kOwn, kPrev1, kPrev2}), facts.asked);
    }
    {
        SCOPED_TRACE("own component installed, its service missing; a previous version present");
        ScriptedFacts facts;
        facts.installed = {L"OWN", L"PREV2"};
        facts.serviceFailures.emplace(L"OWN", setup::Exception(static_cast<int32_t>(0x80070424), L"Failed to open service: drvsvc", L""));
        facts.services[L"PREV2"] = L"oldsvc";
        EXPECT_TRUE(selection::IsDriverPresent(Package(0), facts));
        EXPECT_EQ((std::vector<std::wstring>{
                      L"Driver package 'drv' component 'OWN' is installed but service is not exists. Failed to open service: drvsvc Error 0x80070424.",
                      notInstalledPrev1,
                      L"Driver package 'drv' component 'PREV2' is installed and the service 'oldsvc' exists.",
                  }),
                  facts.lines);
        EXPECT_EQ((std::vector<std::wstring>{kGuid, kOwn, L"service OWN C:\\src\\drv.inf", kPrev1, kPrev2, L"service PREV2 C:\\src\\drv.inf"}),
                  facts.asked);
    }
    {
        SCOPED_TRACE("the first present candidate ends the walk");
        ScriptedFacts facts;
        facts.installed = {L"OWN", L"PREV1"};
        facts.services[L"OWN"] = L"drvsvc";
        EXPECT_TRUE(selection::IsDriverPresent(Package(0), facts));
        EXPECT_EQ((std::vector<std::wstring>{L"Driver package 'drv' component 'OWN' is installed and the service 'drvsvc' exists."}), facts.lines);
        EXPECT_EQ(3u, facts.asked.size());
    }
    {
        SCOPED_TRACE("only setup::Exception is a missing driver; anything else leaves the rule");
        ScriptedFacts facts;
        facts.installed = {L"OWN"};  // services.at() throws std::out_of_range
        EXPECT_THROW(selection::IsDriverPresent(Package(0), facts), std::out_of_range);
    }
}

// Every combination of the inputs, checked against relations between the
// rules that must hold whatever the single steps say.
TEST(SelectionRules, WholeDecisionTableRelations) {
    const uint32_t attributeSets[] = {0, kEarly, kUpv, kRemove, kEarly | kUpv, kEarly | kRemove, kUpv | kRemove, kEarly | kUpv | kRemove};
    int combinations = 0;
    for (int toDo = 0; toDo <= 3; ++toDo) {
        for (uint32_t attributes : attributeSets) {
            for (int32_t condition = 0; condition <= 3; ++condition) {
                for (Installed installed : {Neither, Component, Previous}) {
                    for (bool resume : {false, true}) {
                        for (State state : {Ok, FileAbsent, Fails}) {
                            ++combinations;
                            const DriverPackage package = Package(attributes);
                            std::map<std::string, bool> result;
                            std::map<std::string, ScriptedFacts> seen;
                            const std::pair<const char*, Rule> rules[] = {
                                {"install", selection::ShouldInstall},
                                {"early", selection::ShouldInstallEarly},
                                {"rollbackInstall", selection::ShouldRollbackInstall},
                                {"uninstall", selection::ShouldUninstall},
                                {"rollbackUninstall", selection::ShouldRollbackUninstall},
                            };
                            for (const auto& [name, rule] : rules) {
                                ScriptedFacts& facts = seen[name];
                                Script(facts, toDo, condition, installed, resume, state);
                                result[name] = rule(package, facts);
                                SCOPED_TRACE(testing::Message() << name << " todo " << toDo << " attributes " << attributes
                                                                << " condition " << condition << " installed " << int(installed)
                                                                << " resume " << resume << " state " << int(state));
                                // One line of its own, after at most one candidate line;
                                // "Need" exactly when it says yes.
                                ASSERT_FALSE(facts.lines.empty());
                                EXPECT_LE(facts.lines.size(), 2u);
                                EXPECT_EQ(result[name], facts.lines.back().rfind(L"Need to ", 0) == 0);
                                // The plan is always asked first, and only once.
                                EXPECT_EQ(kTodo, facts.asked.front());
                                EXPECT_EQ(1, std::count(facts.asked.begin(), facts.asked.end(), kTodo));
                                if (toDo == 0) {
                                    EXPECT_EQ(1u, facts.asked.size());
                                }
                                const bool askedState = std::count(facts.asked.begin(), facts.asked.end(), kState) != 0;
                                EXPECT_EQ(askedState, toDo == 2 && (attributes & kRemove) == 0 &&
                                                          (std::string(name) == "uninstall" || std::string(name) == "rollbackUninstall"));
                            }
                            const bool marked = toDo == 1 || toDo == 3;
                            const bool passes = condition == 1 || condition == 2;
                            const bool removeOnInstall = (attributes & kRemove) != 0;
                            // Install and early install split the packages to install between them.
                            EXPECT_FALSE(result["install"] && result["early"]);
                            EXPECT_EQ(marked && !removeOnInstall && passes, result["install"] || result["early"]);
                            // Whatever is rolled back was installed by the same run.
                            if (result["rollbackInstall"]) {
                                EXPECT_TRUE(result["install"]);
                            }
                            // The rollback of an uninstall takes at least what the uninstall takes.
                            if (result["uninstall"]) {
                                EXPECT_TRUE(result["rollbackUninstall"]);
                            }
                            if (!passes) {
                                EXPECT_FALSE(result["install"] || result["early"] || result["rollbackInstall"] || result["uninstall"] ||
                                             result["rollbackUninstall"]);
                            }
                        }
                    }
                }
            }
        }
    }
    EXPECT_EQ(4 * 8 * 4 * 3 * 2 * 3, combinations);
}

}  // namespace
