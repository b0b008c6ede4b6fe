#include "tables/encoding/ListKeyCheck.h"

#include "frame/Exception.h"
#include "frame/Format.h"

namespace setup {

wchar_t FindListSeparator(std::wstring_view id, Separators listLevel) {
    const wchar_t separators[] = {listLevel.entry, listLevel.key};
    const std::size_t found = id.find_first_of(std::wstring_view(separators, 2));
    return found == std::wstring_view::npos ? L'\0' : id[found];
}

void ValidateListKey(std::wstring_view table, const std::wstring& id, Separators listLevel) {
    const wchar_t separator = FindListSeparator(id, listLevel);
    if (separator == L'\0') {
        return;
    }
    throw Exception(hresult::InvalidData,
                    text::Format(L"Failed to validate the %s row '%s'. Its key contains the reserved character '%s'.", table, id,
                                 std::wstring(1, separator)),
                    std::wstring());
}

}  // namespace setup
