#include "frame/KeptAnswers.h"

#include <memory>
#include <optional>

namespace setup {

namespace {

// What the installer's session answers.
struct SessionAnswers {
    std::map<std::wstring, ComponentState> componentStates;
    std::map<int32_t, bool> runModes;
    std::map<std::wstring, std::wstring> properties;
    std::map<std::wstring, int32_t> conditions;
};

struct Answers {
    SessionAnswers session;
    // The database's and the machine's, which only the script changes.
    std::optional<ComponentGuids> componentGuids;
    std::map<std::wstring, bool> installedByProduct;
    std::map<std::wstring, ComponentLocation> componentLocations;
};

// Scopes may nest (an action body called from another); the outermost keeps.
std::unique_ptr<Answers> g_answers;
int g_scopes = 0;

template <class Key, class Value>
Value Kept(std::map<Key, Value>& answers, const Key& key, const std::function<Value()>& ask) {
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
    return g_answers ? Kept(g_answers->session.componentStates, component, ask) : ask();
}

bool KeptRunMode(int32_t mode, const std::function<bool()>& ask) {
    return g_answers ? Kept(g_answers->session.runModes, mode, ask) : ask();
}

std::wstring KeptProperty(const std::wstring& name, const std::function<std::wstring()>& ask) {
    return g_answers ? Kept(g_answers->session.properties, name, ask) : ask();
}

int32_t KeptCondition(const std::wstring& condition, const std::function<int32_t()>& ask) {
    return g_answers ? Kept(g_answers->session.conditions, condition, ask) : ask();
}

bool KeptInstalledByProduct(const std::wstring& componentGuid, const std::function<bool()>& ask) {
    return g_answers ? Kept(g_answers->installedByProduct, componentGuid, ask) : ask();
}

ComponentLocation KeptComponentLocation(const std::wstring& componentGuid, const std::function<ComponentLocation()>& ask) {
    return g_answers ? Kept(g_answers->componentLocations, componentGuid, ask) : ask();
}

const ComponentGuids* KeptComponentGuids(const std::function<ComponentGuids()>& readAll) {
    if (!g_answers) {
        return nullptr;
    }
    if (!g_answers->componentGuids) {
        g_answers->componentGuids = readAll();
    }
    return &*g_answers->componentGuids;
}

void ForgetKeptPropertiesAndConditions() {
    if (g_answers) {
        g_answers->session.properties.clear();
        g_answers->session.conditions.clear();
    }
}

void ForgetKeptSessionAnswers() {
    if (g_answers) {
        g_answers->session = SessionAnswers();
    }
}

}  // namespace setup
