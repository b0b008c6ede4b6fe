#pragma once
// While an immediate action decides what to schedule, the installer's plan
// stands still: the Component table, a component's states, a run mode, the
// products' registration of a component and where it is installed, and,
// until the action writes a property, the properties and every condition's
// result. A KeptAnswers scope keeps each such answer from the first time it
// is asked to the end of the scope, so that the many rules a package passes
// ask the installer once. A property write forgets the properties and the
// conditions; scheduling an action forgets every answer of the session (the
// installer ran the action in between) but the database's and the machine's,
// which only the script changes. Outside a scope every question goes to the
// installer. Asked on the action's own thread only.

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "frame/ComponentToDo.h"

namespace setup {

class KeptAnswers {
public:
    KeptAnswers();
    ~KeptAnswers();
    KeptAnswers(const KeptAnswers&) = delete;
    KeptAnswers& operator=(const KeptAnswers&) = delete;
};

// MsiLocateComponent's answer.
struct ComponentLocation {
    int32_t state = install_state::Unknown;
    std::wstring path;
};

// Each returns what ask() answers, asked once per scope (every time outside one).
ComponentState KeptComponentState(const std::wstring& component, const std::function<ComponentState()>& ask);
bool KeptRunMode(int32_t mode, const std::function<bool()>& ask);
std::wstring KeptProperty(const std::wstring& name, const std::function<std::wstring()>& ask);
int32_t KeptCondition(const std::wstring& condition, const std::function<int32_t()>& ask);
bool KeptInstalledByProduct(const std::wstring& componentGuid, const std::function<bool()>& ask);
ComponentLocation KeptComponentLocation(const std::wstring& componentGuid, const std::function<ComponentLocation()>& ask);

using ComponentGuids = std::map<std::wstring, std::wstring>;
// Inside a scope the ComponentId of every Component row, read once by
// readAll; outside one nullptr (ask for the one row instead).
const ComponentGuids* KeptComponentGuids(const std::function<ComponentGuids()>& readAll);

void ForgetKeptPropertiesAndConditions();
void ForgetKeptSessionAnswers();

}  // namespace setup
