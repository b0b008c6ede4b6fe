#include <gtest/gtest.h>

#include <string>

#include "msi/ComponentTerms.h"

namespace {

using setup::ComponentToDo;

struct StateCase {
    int32_t installed;
    int32_t action;
    ComponentToDo toDo;
    bool fileAbsent;
};

TEST(ComponentTerms, ToDoFromInstalledAndActionStates) {
    const StateCase cases[] = {
        {3, 3, ComponentToDo::Reinstall, false},
        {4, 5, ComponentToDo::Reinstall, false},
        {4, 4, ComponentToDo::Reinstall, false},
        {3, 1, ComponentToDo::Uninstall, true},
        {3, 2, ComponentToDo::Uninstall, false},
        {4, 2, ComponentToDo::Uninstall, false},
        {4, 1, ComponentToDo::Uninstall, true},
        {-1, 3, ComponentToDo::Install, false},
        {2, 3, ComponentToDo::Install, false},
        {1, 4, ComponentToDo::Install, false},  // advertised, now to run from source
        {2, 5, ComponentToDo::None, false},     // "default" only counts for installed components
        {2, 2, ComponentToDo::None, false},
        {3, -1, ComponentToDo::None, false},
        {2, 1, ComponentToDo::None, false},
        {-1, -1, ComponentToDo::None, false},
        {5, 3, ComponentToDo::Install, false},
    };
    for (const StateCase& c : cases) {
        SCOPED_TRACE("installed " + std::to_string(c.installed) + ", action " + std::to_string(c.action));
        EXPECT_EQ(c.toDo, setup::ComponentToDoFromStates(c.installed, c.action));
        EXPECT_EQ(c.fileAbsent, setup::IsFileAbsent(c.installed, c.action));
    }
}

TEST(ComponentTerms, MarksOfEachToDo) {
    struct Marks {
        ComponentToDo toDo;
        bool null, install, uninstall, uninstallOrReinstall;
    };
    const Marks cases[] = {
        {ComponentToDo::None, true, false, false, false},
        {ComponentToDo::Install, false, true, false, false},
        {ComponentToDo::Uninstall, false, false, true, true},
        {ComponentToDo::Reinstall, false, true, false, true},
    };
    for (const Marks& c : cases) {
        SCOPED_TRACE("to do " + std::to_string(static_cast<int>(c.toDo)));
        EXPECT_EQ(c.null, setup::IsNullAction(c.toDo));
        EXPECT_EQ(c.install, setup::IsMarkedToInstall(c.toDo));
        EXPECT_EQ(c.uninstall, setup::IsMarkedToUninstall(c.toDo));
        EXPECT_EQ(c.uninstallOrReinstall, setup::IsMarkedToUninstallOrReinstall(c.toDo));
    }
}

TEST(ComponentTerms, ConditionResults) {
    EXPECT_FALSE(setup::ConditionPasses(0));
    EXPECT_TRUE(setup::ConditionPasses(1));
    EXPECT_TRUE(setup::ConditionPasses(2));  // no condition at all
    EXPECT_FALSE(setup::ConditionPasses(3));
}

}  // namespace
