// The escaping and scanning under every level of the CustomActionData text.
// The first byte picks the level and how many enclosing levels double their
// separators too; the rest is UTF-16LE text. Escaping and unescaping give the
// value back, the entry end is a single separator, and the entries of any
// text put back together with their separators give the text again.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "system/Utf16.h"
#include "tables/encoding/EntryText.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

const setup::Separators kLevels[] = {setup::separators::List, setup::separators::Record, setup::separators::RegistryList,
                                     setup::separators::RegistryRecord};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // Levels nest from the outside in: a level's value doubles its own entry
    // separator and those of every level around it.
    const size_t depth = data[0] % 4;
    const setup::Separators level = kLevels[depth];
    std::wstring escapes;
    for (size_t i = 0; i <= depth; ++i) {
        escapes.push_back(kLevels[i].entry);
    }
    const std::wstring text = setup::WideFromUtf16Le(data + 1, (size - 1) / 2);

    std::wstring escaped;
    setup::AppendEscaped(escaped, text, escapes);
    std::wstring back;
    setup::AppendUnescaped(back, escaped, escapes);
    Check(back == text);
    // An escaped value is one entry of its level, whatever it holds.
    Check(setup::FindEntryEnd(escaped, 0, level.entry) == escaped.size());

    std::wstring rebuilt;
    size_t count = 0;
    setup::ForEachEntry(text, level, [&](std::wstring_view key, std::wstring_view value, bool hasKey) {
        if (count++ != 0) {
            rebuilt.push_back(level.entry);
        }
        Check(key.find(level.key) == std::wstring_view::npos);
        Check(hasKey || value.empty());
        rebuilt.append(key);
        if (hasKey) {
            rebuilt.push_back(level.key);
            rebuilt.append(value);
        }
    });
    // A single separator at the very end closes the last entry and adds none.
    Check(rebuilt == text || rebuilt + level.entry == text);

    size_t begin = 0;
    while (begin < text.size()) {
        const size_t end = setup::FindEntryEnd(text, begin, level.entry);
        Check(end > begin || (end == begin && text[begin] == level.entry));
        Check(end <= text.size());
        if (end < text.size()) {
            Check(text[end] == level.entry);
            Check(end + 1 >= text.size() || text[end + 1] != level.entry);
        }
        begin = end + 1;
    }
    return 0;
}
