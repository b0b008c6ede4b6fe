#pragma once
// The tag list of one load-order group as stored under GroupOrderList, and
// the list arithmetic of the load-order moves. Free of Win32.
//
// Stored layout: unsigned 32-bit little-endian fields, the count N first,
// then N tags in load order. Readers trust the length, not N.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace setup {

using LoadOrderList = std::vector<uint32_t>;

// Every whole 32-bit entry of the stored bytes after the first (the count);
// bytes past the last whole entry are ignored.
LoadOrderList DecodeLoadOrderValue(const uint8_t* data, std::size_t size);
// The count followed by the tags: 4 * (N + 1) bytes.
std::vector<uint8_t> EncodeLoadOrderValue(const LoadOrderList& tags);
// Each tag as a signed decimal number followed by one blank ("10 20 ").
std::wstring LoadOrderText(const LoadOrderList& tags);

// Removes every copy of the tag.
void RemoveLoadOrderTag(LoadOrderList& list, uint32_t tag);
// Removes every copy of the tag and puts one copy first.
void MoveLoadOrderTagToFront(LoadOrderList& list, uint32_t tag);

// The entry a service is placed after: start at the first entry equal to
// anchors[0], then for each anchor in turn (the first again included) move
// forward to its first occurrence at or after the current position. An
// anchor lying behind the position, or absent, is passed over. No position
// when anchors is empty or anchors[0] is not in the list.
std::optional<std::size_t> FindLoadOrderAnchor(const LoadOrderList& list, const std::vector<uint32_t>& anchors);

// Splits at every separator from left to right; empty pieces are kept,
// including the one after a trailing separator. Without a separator (or
// with an empty one) the whole text is the only piece.
std::vector<std::wstring> SplitServiceNames(const std::wstring& text, const std::wstring& separator);

}  // namespace setup
