#include "system/LoadOrderList.h"

#include <algorithm>

namespace setup {

namespace {

uint32_t ReadLittleEndian32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void AppendLittleEndian32(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFFu));
    out.push_back(static_cast<uint8_t>((value >> 8) & 0xFFu));
    out.push_back(static_cast<uint8_t>((value >> 16) & 0xFFu));
    out.push_back(static_cast<uint8_t>((value >> 24) & 0xFFu));
}

}  // namespace

LoadOrderList DecodeLoadOrderValue(const uint8_t* data, std::size_t size) {
    LoadOrderList tags;
    const std::size_t entries = data != nullptr ? size / 4 : 0;
    if (entries < 2) {
        return tags;
    }
    tags.reserve(entries - 1);
    for (std::size_t i = 1; i < entries; ++i) {
        tags.push_back(ReadLittleEndian32(data + i * 4));
    }
    return tags;
}

std::vector<uint8_t> EncodeLoadOrderValue(const LoadOrderList& tags) {
    std::vector<uint8_t> out;
    out.reserve((tags.size() + 1) * 4);
    AppendLittleEndian32(out, static_cast<uint32_t>(tags.size()));
    for (uint32_t tag : tags) {
        AppendLittleEndian32(out, tag);
    }
    return out;
}

std::wstring LoadOrderText(const LoadOrderList& tags) {
    std::wstring text;
    for (uint32_t tag : tags) {
        text += std::to_wstring(static_cast<int32_t>(tag));
        text += L' ';
    }
    return text;
}

void RemoveLoadOrderTag(LoadOrderList& list, uint32_t tag) {
    list.erase(std::remove(list.begin(), list.end(), tag), list.end());
}

void MoveLoadOrderTagToFront(LoadOrderList& list, uint32_t tag) {
    RemoveLoadOrderTag(list, tag);
    list.insert(list.begin(), tag);
}

std::optional<std::size_t> FindLoadOrderAnchor(const LoadOrderList& list, const std::vector<uint32_t>& anchors) {
    if (anchors.empty()) {
        return std::nullopt;
    }
    auto position = std::find(list.begin(), list.end(), anchors.front());
    for (uint32_t anchor : anchors) {
        if (position == list.end()) {
            break;
        }
        const auto found = std::find(position, list.end(), anchor);
        if (found != list.end()) {
            position = found;
        }
    }
    if (position == list.end()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(position - list.begin());
}

std::vector<std::wstring> SplitServiceNames(const std::wstring& text, const std::wstring& separator) {
    std::vector<std::wstring> pieces;
    if (separator.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        if (at == std::wstring::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

}  // namespace setup
