#pragma once
// Lists in the installer's "[~]" multi-string text, as used for multi-string
// registry values and class filter lists. Every comparison is exact and
// case-sensitive.

#include <string>
#include <string_view>
#include <vector>

namespace setup {

inline constexpr std::wstring_view kMultiStringSeparator = L"[~]";

// An item is appended with the separator before it only when the text built
// so far is not empty: empty items at the start vanish, a later empty item
// leaves a doubled separator.
std::wstring JoinItems(const std::vector<std::wstring>& items, std::wstring_view separator);

// Drops empty items; one item becomes "[~]item[~]", none "[~]", and a list
// whose first item starts with "#" is led by "[~]", so the result always
// reads back as a multi-string of the same items.
std::wstring NormalizeMultiString(const std::wstring& text);

// Erases the first contiguous run of the removed items (empty ones dropped)
// from the current list, then normalizes.
std::wstring RemoveMultiStringItems(const std::wstring& current, const std::wstring& removed);

// The added items move to the end (Append) or the front (Prepend) of the list.
std::wstring AppendMultiString(const std::wstring& current, const std::wstring& added);
std::wstring PrependMultiString(const std::wstring& current, const std::wstring& added);

// How a configured install value combines with the value on the machine:
// "[~]c" appends, "c[~]" prepends, anything else replaces.
enum class MultiStringMerge { Replace, Append, Prepend };
MultiStringMerge GetMultiStringMerge(const std::wstring& value);

}  // namespace setup
