// Registry value text and multi-string lists. The first byte picks what the
// rest is: a value text, a (type, data) pair found on the machine, or the
// operands of the list operations. Texts are read as UTF-16LE.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "frame/Exception.h"
#include "system/PathText.h"
#include "system/Utf16.h"
#include "tables/MultiString.h"
#include "tables/RegistryValueText.h"
#include "tables/UpperFilterOrder.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace type = setup::registry_type;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::wstring Text(const uint8_t* data, size_t size) {
    return setup::WideFromUtf16Le(data, size / 2);
}

Bytes FileBytes(const std::wstring& path) {
    Bytes bytes;
    setup::AppendUtf16Le(bytes, path);
    return bytes;
}

void Ignore(const std::wstring&) {}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool HasSeparator(const std::wstring& text) {
    return text.find(setup::kMultiStringSeparator) != std::wstring::npos;
}

// A multi-string whose first item starts with "#" reads back as "##a[~]b",
// which parses with "##a" as its first item: a flaw of the text syntax kept
// as it is, so such texts are left out of the exact checks.
bool IsHashLedList(const std::wstring& text) {
    return StartsWith(text, L"##") && HasSeparator(text);
}

// The items of multi-string data, without the empty ones at its end.
std::vector<std::wstring> ListItems(const Bytes& data) {
    std::vector<std::wstring> items = setup::SplitString(setup::WideFromUtf16Le(data.data(), data.size() / 2), std::wstring(1, L'\0'));
    while (!items.empty() && items.back().empty()) {
        items.pop_back();
    }
    return items;
}

void ValueText(const std::wstring& text) {
    const setup::RegistryValueData first = setup::ParseRegistryValue(text, FileBytes);
    Check(first.type == type::String || first.type == type::ExpandString || first.type == type::Binary ||
          first.type == type::Dword || first.type == type::MultiString);
    const std::wstring again = setup::RegistryValueToText(first.type, first.data, Ignore);
    // Whatever the machine holds reads back as text that the row check accepts.
    setup::IsWellFormedRegistryValue(text);
    Check(setup::IsWellFormedRegistryValue(again));
    if (IsHashLedList(again)) {
        return;
    }
    const setup::RegistryValueData second = setup::ParseRegistryValue(again, FileBytes);
    Check(second.type == first.type);
    if (first.type != type::MultiString) {
        Check(second.data == first.data);
        return;
    }
    // From the second round on a list keeps its items; only empty items after
    // the last one (which end a multi-string anyway) may shrink by one a round.
    const setup::RegistryValueData third =
        setup::ParseRegistryValue(setup::RegistryValueToText(second.type, second.data, Ignore), FileBytes);
    Check(third.type == type::MultiString && ListItems(third.data) == ListItems(second.data));
}

// What writing the text of a machine value back gives: string data gets its
// terminating NUL if it had none; an odd last byte is no character.
Bytes Terminated(Bytes data) {
    data.resize(data.size() / 2 * 2);
    if (data.size() < 2 || data[data.size() - 2] != 0 || data[data.size() - 1] != 0) {
        data.push_back(0);
        data.push_back(0);
    }
    return data;
}

void MachineValue(uint32_t valueType, const Bytes& data) {
    std::wstring text;
    try {
        text = setup::RegistryValueToText(valueType, data, Ignore);
    } catch (const setup::Exception&) {
        Check(valueType == type::Dword && data.size() < 4);
        return;
    }
    if (valueType != type::String && valueType != type::ExpandString && valueType != type::Binary &&
        valueType != type::Dword && valueType != type::MultiString) {
        Check(text.empty());
        return;
    }
    const setup::RegistryValueData back = setup::ParseRegistryValue(text, FileBytes);
    switch (valueType) {
        case type::Binary:
            Check(back.type == type::Binary && back.data == data);
            break;
        case type::Dword:
            Check(back.type == type::Dword && Bytes(data.begin(), data.begin() + 4) == back.data);
            break;
        case type::ExpandString:
            Check(back.type == type::ExpandString && back.data == Terminated(data));
            break;
        case type::String:
            // A plain string holding "[~]" reads back as a list: a limit of the syntax.
            if (!HasSeparator(text)) {
                Check(back.type == type::String && back.data == Terminated(data));
            }
            break;
        case type::MultiString:
            if (!IsHashLedList(text)) {
                Check(back.type == type::MultiString);
            }
            break;
    }
}

// The items a multi-string keeps when it is written back from its text: an
// empty string ends a multi-string, so leading empty items count for none.
std::vector<std::wstring> KeptItems(const Bytes& data) {
    std::vector<std::wstring> items = ListItems(data);
    items.erase(items.begin(), std::find_if(items.begin(), items.end(), [](const std::wstring& item) { return !item.empty(); }));
    return items;
}

// What a rollback writes back is the value found: the same type always, the
// same bytes where the text could not describe them, and otherwise what the
// text form keeps.
void RestoredValue(uint32_t valueType, const Bytes& data) {
    setup::RestoringValue restoring;
    try {
        restoring = setup::RegistryValueToRestoringText(valueType, data, Ignore);
    } catch (const setup::Exception&) {
        Check(valueType == type::Dword && data.size() < 4);
        return;
    }
    const setup::RegistryValueData back = setup::ParseRegistryValueAs(restoring.text, restoring.rawType, FileBytes);
    Check(back.type == valueType);
    if (restoring.rawType) {
        Check(*restoring.rawType == valueType && back.data == data);
        return;
    }
    switch (valueType) {
        case type::Binary:
            Check(back.data == data);
            break;
        case type::Dword:
            Check(Bytes(data.begin(), data.begin() + 4) == back.data);
            break;
        case type::String:
        case type::ExpandString:
            Check(back.data == Terminated(data));
            break;
        case type::MultiString:
            Check(KeptItems(back.data) == KeptItems(data));
            break;
        default:
            Check(false);
    }
}

std::vector<std::wstring> NonEmptyItems(const std::wstring& text) {
    std::vector<std::wstring> items;
    for (std::wstring& item : setup::SplitString(text, std::wstring(setup::kMultiStringSeparator))) {
        if (!item.empty()) {
            items.push_back(std::move(item));
        }
    }
    return items;
}

void CheckNormalized(const std::wstring& text) {
    Check(HasSeparator(text));
    Check(setup::NormalizeMultiString(text) == text);
}

void ListOperations(const std::wstring& current, const std::wstring& other) {
    CheckNormalized(setup::NormalizeMultiString(current));
    CheckNormalized(setup::RemoveMultiStringItems(current, other));
    CheckNormalized(setup::AppendMultiString(current, other));
    CheckNormalized(setup::PrependMultiString(current, other));
    setup::GetMultiStringMerge(other);

    setup::DriverUpperFilterEntry row;
    row.id = L"f";
    row.serviceName = other.substr(0, other.find(L'|'));
    row.dependencies = other.find(L'|') == std::wstring::npos ? std::wstring() : other.substr(other.find(L'|') + 1);
    row.attributes = current.size() % 2;
    const std::wstring inserted = setup::InsertUpperFilter(row, current, Ignore);
    CheckNormalized(inserted);
    if (row.serviceName.empty() || HasSeparator(row.serviceName)) {
        return;
    }
    // The filter stands exactly once, and the other items keep their order.
    std::vector<std::wstring> expected;
    for (const std::wstring& item : NonEmptyItems(current)) {
        if (item != row.serviceName) {
            expected.push_back(item);
        }
    }
    std::vector<std::wstring> others;
    size_t count = 0;
    for (const std::wstring& item : NonEmptyItems(inserted)) {
        if (item == row.serviceName) {
            ++count;
        } else {
            others.push_back(item);
        }
    }
    Check(count == 1);
    Check(others == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const uint8_t mode = data[0] % 3;
    data += 1;
    size -= 1;
    if (mode == 0) {
        ValueText(Text(data, size));
    } else if (mode == 1) {
        static const uint32_t kTypes[] = {type::String, type::ExpandString, type::Binary, type::Dword, type::MultiString, 0, 11};
        MachineValue(kTypes[data[0] % 7], Bytes(data + 1, data + size));
        RestoredValue(kTypes[data[0] % 7], Bytes(data + 1, data + size));
    } else {
        const std::wstring text = Text(data, size);
        const size_t split = text.find(L'\n');
        ListOperations(text.substr(0, split), split == std::wstring::npos ? std::wstring() : text.substr(split + 1));
    }
    return 0;
}
