#include "tables/EmptyKeyRule.h"

#include <algorithm>
#include <cwctype>

namespace setup {

namespace {

constexpr int32_t kLocalMachine = 2;

int32_t SameRoot(int32_t root) { return root == 3 ? 1 : root; }

// The path's components in upper case: the registry ignores letter case,
// and empty components (doubled or trailing backslashes) name nothing.
std::vector<std::wstring> Components(const std::wstring& key) {
    std::vector<std::wstring> parts;
    std::wstring part;
    for (const wchar_t c : key + L"\\") {
        if (c != L'\\') {
            part.push_back(static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))));
        } else if (!part.empty()) {
            parts.push_back(std::move(part));
            part.clear();
        }
    }
    return parts;
}

// SYSTEM\<any control set>\Control\Class, or one class key under it.
bool IsClassKey(const std::vector<std::wstring>& parts) {
    return (parts.size() == 4 || parts.size() == 5) && parts[0] == L"SYSTEM" && parts[2] == L"CONTROL" &&
           parts[3] == L"CLASS";
}

}  // namespace

bool MayRemoveEmptyKey(const RegistryKeyName& key, const std::vector<RegistryKeyName>& keyEntries) {
    const std::vector<std::wstring> parts = Components(key.key);
    if (parts.empty()) {
        return false;
    }
    if (SameRoot(key.root) == kLocalMachine && IsClassKey(parts)) {
        return false;
    }
    return std::none_of(keyEntries.begin(), keyEntries.end(), [&](const RegistryKeyName& entry) {
        return SameRoot(entry.root) == SameRoot(key.root) && Components(entry.key) == parts;
    });
}

}  // namespace setup
