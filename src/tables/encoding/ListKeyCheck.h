#pragma once
// A record id is a key of its list in the CustomActionData text and is
// written unescaped there: an id holding a separator of its own list level
// would cut the list apart and lose other records. Table readers reject such
// rows up front.

#include <string>
#include <string_view>

#include "tables/encoding/EntryText.h"

namespace setup {

// The first character of id that separates entries or keys at that list
// level, or L'\0' when there is none.
wchar_t FindListSeparator(std::wstring_view id, Separators listLevel);

// Throws setup::Exception 0x8007000D naming the table, the row and the
// character when the id cannot be a key of its list. Package, catalog and
// protection ids are checked against separators::List, registry entry and
// upper filter keys against separators::RegistryList.
void ValidateListKey(std::wstring_view table, const std::wstring& id, Separators listLevel);

}  // namespace setup
