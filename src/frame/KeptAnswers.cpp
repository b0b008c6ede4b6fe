#include "frame/KeptAnswers.h"

#include <map>
#include <memory>

namespace setup {

namespace {

struct Answers {
    std::map<std::wstring, ComponentState> componentStates;
    std::map<std::wstring, std::wstring> componentGuids;
    std::map<int32_t, bool> runModes;
    std::map<std::wstring, std::wstring> properties;
    std::map<std::wstring, int32_t> conditions;
};

// Scopes may nest (an action body called from another); the outermost keeps.
std::unique_ptr<Answers> g_answers;
int g_scopes = 0;

template <class Key, class Value>
Value Kept(std::map<Key, Value> Answers::*kept, const Key& key, const std::function<Value()>& ask) {
    if (!g_answers) {
        return ask();
    }
    auto& answers = (*g_answers).*kept;
    const auto found = answers.find(key);
    if (found != answers.end()) {
        return found->second;
    }
    Value answer = ask();
    answers.emplace(key, answer);
    return answer;
}

}  // namespace

KeptAnswers::KeptAnswers() {
    if (g_scopes++ == 0) {
        g_answers = std::make_unique<Answers>();
    }
}

KeptAnswers::~KeptAnswers() {
    if (--g_scopes == 0) {
        g_answers.reset();
    }
}

ComponentState KeptComponentState(const std::wstring& component, const std::function<ComponentState()>& ask) {
    return Kept(&Answers::componentStates, component, ask);
}

std::wstring KeptComponentGuid(const std::wstring& component, const std::function<std::wstring()>& ask) {
    return Kept(&Answers::componentGuids, component, ask);
}

bool KeptRunMode(int32_t mode, const std::function<bool()>& ask) { return Kept(&Answers::runModes, mode, ask); }

std::wstring KeptProperty(const std::wstring& name, const std::function<std::wstring()>& ask) {
    return Kept(&Answers::properties, name, ask);
}

int32_t KeptCondition(const std::wstring& condition, const std::function<int32_t()>& ask) {
    return Kept(&Answers::conditions, condition, ask);
}

void ForgetKeptPropertiesAndConditions() {
    if (g_answers) {
        g_answers->properties.clear();
        g_answers->conditions.clear();
    }
}

void ForgetKeptAnswers() {
    if (g_answers) {
        *g_answers = Answers();
    }
}

}  // namespace setup
