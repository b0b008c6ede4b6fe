#pragma once
// printf-style formatting of log lines and messages, checked against the real
// argument types at run time, so a mismatched placeholder can never read the
// wrong bytes off the stack. Free of Win32.
//
// Placeholders: %[-+ 0#][width][.precision][h|hh|l|ll|I64|z]{d,i,u,x,X,o,c,s,S,%}.
// %s and %S both print a text argument of either width (wide or narrow);
// integers print with the width of the type they were passed as, so an
// int32_t HRESULT under %x reads 80070057 and a uint32_t exit code under %d
// reads as a signed 32-bit number.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace setup::text {

class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Wide, Narrow, Pointer };

    FormatArg(const std::wstring& v) : kind_(Kind::Wide), wide_(v) {}
    FormatArg(std::wstring_view v) : kind_(Kind::Wide), wide_(v) {}
    FormatArg(const wchar_t* v) : kind_(Kind::Wide), wide_(v != nullptr ? std::wstring_view(v) : std::wstring_view(L"(null)")) {}
    FormatArg(wchar_t* v) : FormatArg(static_cast<const wchar_t*>(v)) {}
    FormatArg(const std::string& v) : kind_(Kind::Narrow), narrow_(v) {}
    FormatArg(std::string_view v) : kind_(Kind::Narrow), narrow_(v) {}
    FormatArg(const char* v) : kind_(Kind::Narrow), narrow_(v != nullptr ? std::string_view(v) : std::string_view("(null)")) {}
    FormatArg(char* v) : FormatArg(static_cast<const char*>(v)) {}
    FormatArg(wchar_t v) : kind_(Kind::Unsigned), bits_(16), value_(static_cast<uint64_t>(v)) {}
    FormatArg(const void* v) : kind_(Kind::Pointer), bits_(64), value_(reinterpret_cast<uintptr_t>(v)) {}

    template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, wchar_t> && !std::is_same_v<T, bool>, int> = 0>
    FormatArg(T v)
        : kind_(std::is_signed_v<T> ? Kind::Signed : Kind::Unsigned),
          bits_(static_cast<int>(sizeof(T) * 8)),
          value_(static_cast<uint64_t>(static_cast<std::conditional_t<std::is_signed_v<T>, int64_t, uint64_t>>(v))) {}
    FormatArg(bool v) : kind_(Kind::Unsigned), bits_(32), value_(v ? 1u : 0u) {}

    template <class E, std::enable_if_t<std::is_enum_v<E>, int> = 0>
    FormatArg(E v) : FormatArg(static_cast<std::underlying_type_t<E>>(v)) {}

    Kind kind() const { return kind_; }
    int bits() const { return bits_; }
    uint64_t raw() const { return value_; }
    std::wstring_view wide() const { return wide_; }
    std::string_view narrow() const { return narrow_; }

private:
    Kind kind_;
    int bits_ = 0;
    uint64_t value_ = 0;
    std::wstring_view wide_;
    std::string_view narrow_;
};

std::wstring FormatArgs(std::wstring_view format, const FormatArg* args, std::size_t count);

template <class... Args>
std::wstring Format(std::wstring_view format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return FormatArgs(format, nullptr, 0);
    } else {
        const FormatArg list[] = {FormatArg(args)...};
        return FormatArgs(format, list, sizeof...(Args));
    }
}

// Narrow text becomes wide one byte per character (Latin-1): log patterns and
// exception texts of the standard library are plain ASCII.
std::wstring WidenBytes(std::string_view narrow);

}  // namespace setup::text

namespace setup::text {

// Field 0 of an installer record is a template the installer formats: "[x]"
// would print property x and "[~]" would cut the line. Square brackets in
// logged text are therefore written as the installer's literal escapes
// "[\[]" and "[\]]".
std::wstring EscapeInstallerFormat(std::wstring_view text);

}  // namespace setup::text
