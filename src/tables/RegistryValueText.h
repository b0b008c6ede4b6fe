#pragma once
// The value text of driver registry entries: a prefix picks the registry type
// ("#x" binary, "#v" binary from a file, "#%" expandable string, "##" a text
// starting with "#", "#" a DWORD, "[~]" anywhere a multi-string), and the same
// syntax is produced when a value found on the machine is read back.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frame/LogLineSink.h"

namespace setup {

namespace registry_type {
constexpr uint32_t String = 1;        // REG_SZ
constexpr uint32_t ExpandString = 2;  // REG_EXPAND_SZ
constexpr uint32_t Binary = 3;        // REG_BINARY
constexpr uint32_t Dword = 4;         // REG_DWORD
constexpr uint32_t MultiString = 7;   // REG_MULTI_SZ
}  // namespace registry_type

struct RegistryValueData {
    uint32_t type = registry_type::String;
    std::vector<uint8_t> data;  // exactly the bytes given to RegSetValueExW

    bool operator==(const RegistryValueData&) const = default;
};

// Supplies the whole contents of the file named by a "#v" value; throws
// setup::Exception when the file cannot be read.
using FileContentsReader = std::function<std::vector<uint8_t>(const std::wstring& path)>;

RegistryValueData ParseRegistryValue(const std::wstring& text, const FileContentsReader& readFile);

// Whether a value text means what it says. The parser is lenient (a DWORD
// without digits is 0, a stray letter ends a binary pair's number), so a
// package row is checked with this before it is scheduled: a "#" DWORD must be
// one signed decimal number within 32 bits, blanks around it allowed, and
// "#x" data only hexadecimal digits. Every other form is well formed.
bool IsWellFormedRegistryValue(std::wstring_view text);

// The formatted Value of a table row. A "#v" value reads a file into the
// registry with system rights: only the row's own text may ask for that. A
// formatted value that starts with "#v" although the row's text does not (a
// property put it there) becomes "##v...", the plain text "#v...". Every
// other value is returned unchanged.
std::wstring KeepFileReadToRowText(const std::wstring& rowText, const std::wstring& formatted);

// Unknown types give an empty text. DWORD data shorter than 4 bytes logs
// "Incorrect data size %d." and throws setup::Exception 0x80070057.
std::wstring RegistryValueToText(uint32_t type, const std::vector<uint8_t>& data, const LogLineSink& log);

// What a rollback writes to put a value found on the machine back.
struct RestoringValue {
    std::wstring text;                // value text
    std::optional<uint32_t> rawType;  // see DriverRegistryEntry::rawType

    bool operator==(const RestoringValue&) const = default;
};

// The text of RegistryValueToText, except for values that text would write
// back as another type or with other items: a REG_SZ holding "[~]" (it
// would become a multi-string), a REG_MULTI_SZ with an item holding "[~]"
// (the item would split) and types the value text has no form for (they
// read as an empty text). Those give "#x" with their exact bytes, and
// their type as rawType. Throws as RegistryValueToText does.
RestoringValue RegistryValueToRestoringText(uint32_t type, const std::vector<uint8_t>& data, const LogLineSink& log);

// ParseRegistryValue, but a rawType with a "#x" text gives those bytes
// under rawType.
RegistryValueData ParseRegistryValueAs(const std::wstring& text, std::optional<uint32_t> rawType,
                                       const FileContentsReader& readFile);

}  // namespace setup
