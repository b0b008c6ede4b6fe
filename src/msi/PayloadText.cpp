#include "msi/PayloadText.h"

#include <vector>

#include "system/PathText.h"

namespace setup {

bool IsStreamCabinet(const std::wstring& value) { return !value.empty() && value[0] == L'#'; }

std::wstring GetCabinetStreamName(const std::wstring& value) {
    return IsStreamCabinet(value) ? value.substr(1) : value;
}

std::wstring LongFileName(const std::wstring& fileName) {
    const std::vector<std::wstring> names = SplitString(fileName, L"|");
    if (names.size() >= 2) {
        return names[1];
    }
    return names.empty() ? std::wstring() : names[0];
}

bool IsNetworkPath(const std::wstring& path) { return path.size() > 1 && path[0] == L'\\' && path[1] == L'\\'; }

std::optional<std::wstring> ComposeTargetName(const std::wstring& folder, const std::wstring& name, std::size_t capacity) {
    std::wstring full = folder + L"\\" + name;
    if (full.size() >= capacity) {
        return std::nullopt;
    }
    return full;
}

}  // namespace setup
