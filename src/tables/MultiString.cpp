#include "tables/MultiString.h"

#include <algorithm>

#include "system/PathText.h"

namespace setup {

namespace {

const std::wstring& Separator() {
    static const std::wstring separator(kMultiStringSeparator);
    return separator;
}

std::vector<std::wstring> SplitItems(const std::wstring& text) {
    return SplitString(text, Separator());
}

}  // namespace

std::wstring JoinItems(const std::vector<std::wstring>& items, std::wstring_view separator) {
    std::wstring joined;
    for (const std::wstring& item : items) {
        if (!joined.empty()) {
            joined.append(separator);
        }
        joined.append(item);
    }
    return joined;
}

std::wstring NormalizeMultiString(const std::wstring& text) {
    std::vector<std::wstring> items = SplitItems(text);
    items.erase(std::remove_if(items.begin(), items.end(), [](const std::wstring& item) { return item.empty(); }),
                items.end());
    const std::wstring joined = JoinItems(items, kMultiStringSeparator);
    if (joined.find(kMultiStringSeparator) != std::wstring::npos) {
        // A leading "#" would make the text a DWORD (or, doubled, a longer
        // first item) when it is parsed back; a leading separator is
        // swallowed by the join and keeps the items as they are.
        return joined[0] == L'#' ? Separator() + joined : joined;
    }
    if (joined.empty()) {
        return Separator();
    }
    return Separator() + joined + Separator();
}

std::wstring RemoveMultiStringItems(const std::wstring& current, const std::wstring& removed) {
    std::vector<std::wstring> items = SplitItems(current);
    std::vector<std::wstring> run = SplitItems(removed);
    run.erase(std::remove_if(run.begin(), run.end(), [](const std::wstring& item) { return item.empty(); }), run.end());
    if (!run.empty()) {
        const auto found = std::search(items.begin(), items.end(), run.begin(), run.end());
        if (found != items.end()) {
            items.erase(found, found + static_cast<std::ptrdiff_t>(run.size()));
        }
    }
    return NormalizeMultiString(JoinItems(items, kMultiStringSeparator));
}

std::wstring AppendMultiString(const std::wstring& current, const std::wstring& added) {
    return NormalizeMultiString(RemoveMultiStringItems(current, added) + added);
}

std::wstring PrependMultiString(const std::wstring& current, const std::wstring& added) {
    return NormalizeMultiString(added + RemoveMultiStringItems(current, added));
}

MultiStringMerge GetMultiStringMerge(const std::wstring& value) {
    const std::size_t first = value.find(kMultiStringSeparator);
    if (first == std::wstring::npos) {
        return MultiStringMerge::Replace;
    }
    const std::size_t last = value.rfind(kMultiStringSeparator);
    const std::size_t end = value.size() - kMultiStringSeparator.size();
    if (first == 0 && last != end) {
        return MultiStringMerge::Append;
    }
    if (first != 0 && last == end) {
        return MultiStringMerge::Prepend;
    }
    return MultiStringMerge::Replace;
}

}  // namespace setup
