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

bool IsPlainFileName(std::wstring_view name) {
    if (name.empty() || name == L"." || name == L"..") {
        return false;
    }
    for (wchar_t c : name) {
        if (c < 0x20 || c == L'\\' || c == L'/' || c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' ||
            c == L'>' || c == L'|') {
            return false;
        }
    }
    return true;
}

namespace {

bool IsSha256Text(std::wstring_view text) {
    if (text.size() != 64) {
        return false;
    }
    for (wchar_t c : text) {
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::wstring EncodePayloadFiles(const std::vector<PayloadFile>& files) {
    std::wstring text;
    for (const PayloadFile& file : files) {
        if (!text.empty()) {
            text += L'|';
        }
        text += file.name;
        text += L':';
        text += file.sha256;
    }
    return text;
}

std::vector<PayloadFile> DecodePayloadFiles(std::wstring_view text) {
    std::vector<PayloadFile> files;
    while (!text.empty()) {
        const std::size_t end = text.find(L'|');
        const std::wstring_view entry = text.substr(0, end);
        text = end == std::wstring_view::npos ? std::wstring_view() : text.substr(end + 1);
        const std::size_t colon = entry.rfind(L':');
        if (colon == std::wstring_view::npos) {
            continue;
        }
        const std::wstring_view name = entry.substr(0, colon);
        const std::wstring_view hash = entry.substr(colon + 1);
        if (IsPlainFileName(name) && IsSha256Text(hash)) {
            files.push_back(PayloadFile{std::wstring(name), std::wstring(hash)});
        }
    }
    return files;
}

}  // namespace setup
