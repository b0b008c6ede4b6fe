#pragma once
// While an immediate action decides what to schedule, the installer's plan
// stands still: a component's states and ComponentId, a run mode, and, until
// the action writes a property, the properties and every condition's result.
// A KeptAnswers scope keeps each such answer from the first time it is asked
// to the end of the scope, so that the many rules a package passes ask the
// installer once. A property write forgets the properties and conditions; a
// scheduled action forgets everything, since the installer ran it in between.
// Outside a scope every question goes to the installer. Asked on the action's
// own thread only.

#include <cstdint>
#include <functional>
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

// Each returns what ask() answers, asked once per scope (every time outside one).
ComponentState KeptComponentState(const std::wstring& component, const std::function<ComponentState()>& ask);
std::wstring KeptComponentGuid(const std::wstring& component, const std::function<std::wstring()>& ask);
bool KeptRunMode(int32_t mode, const std::function<bool()>& ask);
std::wstring KeptProperty(const std::wstring& name, const std::function<std::wstring()>& ask);
int32_t KeptCondition(const std::wstring& condition, const std::function<int32_t()>& ask);

void ForgetKeptPropertiesAndConditions();
void ForgetKeptAnswers();

}  // namespace setup
