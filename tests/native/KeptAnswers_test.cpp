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
    const auto guid = [&asked] {
        ++asked;
        return std::wstring(L"{G}");
    };
    const auto mode = [&asked] {
        ++asked;
        return true;
    };
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(2, setup::KeptComponentState(L"C", states).action);
        EXPECT_EQ(L"{G}", setup::KeptComponentGuid(L"C", guid));
        EXPECT_TRUE(setup::KeptRunMode(3, mode));
    }
    EXPECT_EQ(3, asked);
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

    setup::ForgetKeptAnswers();
    setup::KeptComponentState(L"C", ask);
    EXPECT_EQ(2, states);
}

TEST(KeptAnswers, AFailedQuestionIsAskedAgain) {
    const setup::KeptAnswers scope;
    int asked = 0;
    const auto failing = [&asked]() -> std::wstring {
        ++asked;
        throw std::runtime_error("no row");
    };
    EXPECT_THROW(setup::KeptComponentGuid(L"C", failing), std::runtime_error);
    EXPECT_THROW(setup::KeptComponentGuid(L"C", failing), std::runtime_error);
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
