#pragma once
// The throwing face of the installer services used by the rest of the
// library: installer failures become setup::Exception here and nowhere else.

#include <cstdint>
#include <string>

namespace setup {

std::wstring GetProperty(const std::wstring& name);
void SetProperty(const std::wstring& name, const std::wstring& value);
// Sets the action's CustomActionData (when data is not empty), adds the
// ticks to the progress total and schedules the action. Throws on failure
// and InstallCanceledException once a cancel was seen.
void ScheduleAction(const std::wstring& action, const std::wstring& data, uint32_t ticks);

}  // namespace setup
