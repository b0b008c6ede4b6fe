#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "frame/KeptAnswers.h"

namespace {

// An installer stand-in that counts the questions put to it.
struct Asked {
    int count = 0;
    int32_t answer = 1;

    int32_t operator()() {
        ++count;
        return answer;
    }
};

int32_t AskCondition(Asked& asked, const std::wstring& condition = L"A") {
    return setup::KeptCondition(condition, [&asked] { return asked(); });
}

std::wstring AskProperty(Asked& asked, const std::wstring& name = L"P") {
    return setup::KeptProperty(name, [&asked] { return std::to_wstring(asked()); });
}

TEST(KeptAnswers, OutsideAScopeEveryQuestionGoesToTheInstaller) {
    Asked asked;
    AskCondition(asked);
    AskCondition(asked);
    EXPECT_EQ(2, asked.count);
}

TEST(KeptAnswers, InsideAScopeEachQuestionIsAskedOncePerKey) {
    const setup::KeptAnswers scope;
    Asked asked;
    EXPECT_EQ(1, AskCondition(asked, L"A"));
    asked.answer = 0;
    // The kept answer, not the installer's new one.
    EXPECT_EQ(1, AskCondition(asked, L"A"));
    EXPECT_EQ(0, AskCondition(asked, L"B"));
    EXPECT_EQ(2, asked.count);
}

TEST(KeptAnswers, EachKindOfQuestionIsKeptApart) {
    const setup::KeptAnswers scope;
    int asked = 0;
    const auto states = [&asked] {
        ++asked;
        setup::ComponentState state;
        state.installed = 3;
        state.action = 2;
        return state;
    };
    const auto guids = [&asked] {
        ++asked;
        return setup::ComponentGuids{{L"C", L"{G}"}, {L"D", L"{H}"}};
    };
    const auto yes = [&asked] {
        ++asked;
        return true;
    };
    const auto location = [&asked] {
        ++asked;
        setup::ComponentLocation found;
        found.state = 3;
        found.path = L"C:\\x";
        return found;
    };
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(2, setup::KeptComponentState(L"C", states).action);
        EXPECT_EQ(L"{H}", setup::KeptComponentGuids(guids)->at(L"D"));
        EXPECT_TRUE(setup::KeptRunMode(3, yes));
        EXPECT_TRUE(setup::KeptInstalledByProduct(L"{G}", yes));
        EXPECT_EQ(L"C:\\x", setup::KeptComponentLocation(L"{G}", location).path);
    }
    EXPECT_EQ(5, asked);
}

TEST(KeptAnswers, OutsideAScopeTheComponentTableIsNotRead) {
    int asked = 0;
    EXPECT_EQ(nullptr, setup::KeptComponentGuids([&asked] {
                  ++asked;
                  return setup::ComponentGuids();
              }));
    EXPECT_EQ(0, asked);
}

TEST(KeptAnswers, APropertyWriteForgetsPropertiesAndConditionsButNotThePlan) {
    const setup::KeptAnswers scope;
    Asked condition;
    Asked property;
    int states = 0;
    const auto ask = [&states] {
        ++states;
        return setup::ComponentState();
    };
    int products = 0;
    const auto installed = [&products] {
        ++products;
        return false;
    };
    setup::KeptInstalledByProduct(L"{G}", installed);
    AskCondition(condition);
    AskProperty(property);
    setup::KeptComponentState(L"C", ask);
    setup::ForgetKeptPropertiesAndConditions();
    AskCondition(condition);
    AskProperty(property);
    setup::KeptComponentState(L"C", ask);
    EXPECT_EQ(2, condition.count);
    EXPECT_EQ(2, property.count);
    EXPECT_EQ(1, states);

    // A scheduled action may have changed the session, not the machine.
    setup::ForgetKeptSessionAnswers();
    setup::KeptComponentState(L"C", ask);
    AskProperty(property);
    setup::KeptInstalledByProduct(L"{G}", installed);
    EXPECT_EQ(2, states);
    EXPECT_EQ(3, property.count);
    EXPECT_EQ(1, products);
}

TEST(KeptAnswers, AFailedQuestionIsAskedAgain) {
    const setup::KeptAnswers scope;
    int asked = 0;
    const auto failing = [&asked]() -> std::wstring {
        ++asked;
        throw std::runtime_error("no property");
    };
    EXPECT_THROW(setup::KeptProperty(L"P", failing), std::runtime_error);
    EXPECT_THROW(setup::KeptProperty(L"P", failing), std::runtime_error);
    EXPECT_EQ(2, asked);
}

TEST(KeptAnswers, NestedScopesKeepUntilTheOutermostEnds) {
    Asked asked;
    {
        const setup::KeptAnswers outer;
        {
            const setup::KeptAnswers inner;
            AskCondition(asked);
        }
        AskCondition(asked);
        EXPECT_EQ(1, asked.count);
    }
    AskCondition(asked);
    EXPECT_EQ(2, asked.count);
}

}  // namespace
