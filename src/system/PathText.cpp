#include "system/PathText.h"

namespace setup {

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace

std::wstring JoinPath(const std::wstring& first, const std::wstring& second) {
    if (first.empty()) {
        return second;
    }
    if (IsSeparator(first.back())) {
        return first + second;
    }
    return first + L"\\" + second;
}

std::wstring GetParentPath(const std::wstring& path) {
    const size_t last = path.find_last_of(L"\\/");
    return last == std::wstring::npos ? std::wstring() : path.substr(0, last);
}

std::wstring GetFileNamePart(const std::wstring& path) {
    const size_t last = path.find_last_of(L"\\/");
    return last == std::wstring::npos ? path : path.substr(last + 1);
}

std::wstring GetParentDirectory(const std::wstring& path) {
    if (path.size() < 2) {
        return std::wstring();
    }
    const size_t last = path.find_last_of(L"\\/", path.size() - 2);
    return last == std::wstring::npos ? std::wstring() : path.substr(0, last);
}

std::vector<std::wstring> SplitString(const std::wstring& text, const std::wstring& separator) {
    std::vector<std::wstring> pieces;
    if (text.empty()) {
        return pieces;
    }
    if (separator.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    size_t start = 0;
    for (size_t found = text.find(separator); found != std::wstring::npos; found = text.find(separator, start)) {
        pieces.push_back(text.substr(start, found - start));
        start = found + separator.size();
    }
    if (start < text.size()) {
        pieces.push_back(text.substr(start));
    }
    return pieces;
}

}  // namespace setup
