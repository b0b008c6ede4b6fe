#include "frame/Format.h"

namespace setup::text {

namespace {

struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool zero = false;
    bool alt = false;
    std::size_t width = 0;
    bool hasPrecision = false;
    std::size_t precision = 0;
    int lengthBits = 0;  // 0: as passed; otherwise the printf length modifier's width
    wchar_t conversion = 0;
};

void Pad(std::wstring& out, const std::wstring& body, const Spec& spec, bool numeric) {
    if (body.size() >= spec.width) {
        out += body;
        return;
    }
    const std::size_t fill = spec.width - body.size();
    if (spec.left) {
        out += body;
        out.append(fill, L' ');
    } else if (spec.zero && numeric) {
        // Zeros go after a sign or a 0x prefix.
        std::size_t prefix = 0;
        if (!body.empty() && (body[0] == L'-' || body[0] == L'+' || body[0] == L' ')) {
            prefix = 1;
        }
        if (body.size() >= prefix + 2 && body[prefix] == L'0' && (body[prefix + 1] == L'x' || body[prefix + 1] == L'X')) {
            prefix += 2;
        }
        out.append(body, 0, prefix);
        out.append(fill, L'0');
        out.append(body, prefix, std::wstring::npos);
    } else {
        out.append(fill, L' ');
        out += body;
    }
}

std::wstring Digits(uint64_t value, unsigned base, bool upper) {
    const wchar_t* digits = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    std::wstring reversed;
    do {
        reversed.push_back(digits[value % base]);
        value /= base;
    } while (value != 0);
    return std::wstring(reversed.rbegin(), reversed.rend());
}

uint64_t Truncate(uint64_t value, int bits) {
    return bits >= 64 ? value : (value & ((uint64_t{1} << bits) - 1));
}

int64_t SignExtend(uint64_t value, int bits) {
    if (bits >= 64) {
        return static_cast<int64_t>(value);
    }
    const uint64_t truncated = Truncate(value, bits);
    const uint64_t sign = uint64_t{1} << (bits - 1);
    return static_cast<int64_t>((truncated ^ sign) - sign);
}

void FormatInteger(std::wstring& out, const Spec& spec, const FormatArg& arg) {
    // Integers keep the width they were passed with (at least 32 bits, as
    // printf's default promotions give) unless a length modifier says otherwise.
    int bits = arg.kind() == FormatArg::Kind::Pointer ? 64 : (arg.bits() < 32 ? 32 : arg.bits());
    if (spec.lengthBits != 0) {
        bits = spec.lengthBits;
    }
    std::wstring body;
    if (spec.conversion == L'd' || spec.conversion == L'i') {
        const int64_t v = SignExtend(arg.raw(), bits);
        const uint64_t magnitude = v < 0 ? (~static_cast<uint64_t>(v) + 1) : static_cast<uint64_t>(v);
        if (v < 0) {
            body = L"-";
        } else if (spec.plus) {
            body = L"+";
        } else if (spec.space) {
            body = L" ";
        }
        std::wstring digits = Digits(magnitude, 10, false);
        if (spec.hasPrecision && digits.size() < spec.precision) {
            digits.insert(0, spec.precision - digits.size(), L'0');
        }
        body += digits;
    } else if (spec.conversion == L'c') {
        body.push_back(static_cast<wchar_t>(Truncate(arg.raw(), 32)));
        Pad(out, body, spec, false);
        return;
    } else {
        const uint64_t v = Truncate(arg.raw(), bits);
        const unsigned base = spec.conversion == L'u' ? 10 : (spec.conversion == L'o' ? 8 : 16);
        std::wstring digits = Digits(v, base, spec.conversion == L'X');
        if (spec.hasPrecision && digits.size() < spec.precision) {
            digits.insert(0, spec.precision - digits.size(), L'0');
        }
        if (spec.alt && v != 0 && base == 16) {
            body = spec.conversion == L'X' ? L"0X" : L"0x";
        } else if (spec.alt && base == 8 && digits[0] != L'0') {
            body = L"0";
        }
        body += digits;
    }
    Pad(out, body, spec, !spec.hasPrecision);
}

void FormatString(std::wstring& out, const Spec& spec, const FormatArg& arg) {
    std::wstring body;
    switch (arg.kind()) {
        case FormatArg::Kind::Wide:
            body.assign(arg.wide());
            break;
        case FormatArg::Kind::Narrow:
            body = WidenBytes(arg.narrow());
            break;
        default: {
            // A number under %s: print it rather than read it as a pointer.
            Spec asNumber = spec;
            asNumber.conversion = arg.kind() == FormatArg::Kind::Signed ? L'd' : L'u';
            asNumber.hasPrecision = false;
            FormatInteger(body, asNumber, arg);
            break;
        }
    }
    if (spec.hasPrecision && body.size() > spec.precision) {
        body.resize(spec.precision);
    }
    Pad(out, body, spec, false);
}

}  // namespace

std::wstring WidenBytes(std::string_view narrow) {
    std::wstring wide;
    wide.reserve(narrow.size());
    for (char c : narrow) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return wide;
}

std::wstring FormatArgs(std::wstring_view format, const FormatArg* args, std::size_t count) {
    std::wstring out;
    out.reserve(format.size() + 32 * count);
    std::size_t next = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        const wchar_t c = format[i];
        if (c != L'%') {
            out.push_back(c);
            ++i;
            continue;
        }
        const std::size_t start = i++;
        Spec spec;
        for (; i < format.size(); ++i) {
            const wchar_t f = format[i];
            if (f == L'-') spec.left = true;
            else if (f == L'+') spec.plus = true;
            else if (f == L' ') spec.space = true;
            else if (f == L'0') spec.zero = true;
            else if (f == L'#') spec.alt = true;
            else break;
        }
        while (i < format.size() && format[i] >= L'0' && format[i] <= L'9') {
            spec.width = spec.width * 10 + static_cast<std::size_t>(format[i] - L'0');
            ++i;
        }
        if (i < format.size() && format[i] == L'.') {
            spec.hasPrecision = true;
            ++i;
            while (i < format.size() && format[i] >= L'0' && format[i] <= L'9') {
                spec.precision = spec.precision * 10 + static_cast<std::size_t>(format[i] - L'0');
                ++i;
            }
        }
        if (format.substr(i, 3) == L"I64") {
            spec.lengthBits = 64;
            i += 3;
        } else if (format.substr(i, 2) == L"ll") {
            spec.lengthBits = 64;
            i += 2;
        } else if (format.substr(i, 2) == L"hh") {
            spec.lengthBits = 8;
            i += 2;
        } else if (i < format.size() && format[i] == L'h') {
            spec.lengthBits = 16;
            ++i;
        } else if (i < format.size() && (format[i] == L'l' || format[i] == L'w')) {
            ++i;  // %ld and %ls: long is 32 bits on Windows; the text width comes from the argument
        } else if (i < format.size() && (format[i] == L'z' || format[i] == L'I')) {
            spec.lengthBits = 64;
            ++i;
        }
        if (i >= format.size()) {
            out.append(format.substr(start));
            break;
        }
        spec.conversion = format[i++];
        if (spec.conversion == L'%') {
            out.push_back(L'%');
            continue;
        }
        const bool known = spec.conversion == L'd' || spec.conversion == L'i' || spec.conversion == L'u' ||
                           spec.conversion == L'x' || spec.conversion == L'X' || spec.conversion == L'o' ||
                           spec.conversion == L'c' || spec.conversion == L's' || spec.conversion == L'S' ||
                           spec.conversion == L'p';
        if (!known || next >= count) {
            // Unknown placeholders and ones without an argument stay as written.
            out.append(format.substr(start, i - start));
            continue;
        }
        const FormatArg& arg = args[next++];
        if (spec.conversion == L's' || spec.conversion == L'S') {
            FormatString(out, spec, arg);
        } else if (arg.kind() == FormatArg::Kind::Wide || arg.kind() == FormatArg::Kind::Narrow) {
            // A text under a numeric placeholder prints as text.
            Spec asText = spec;
            asText.hasPrecision = false;
            FormatString(out, asText, arg);
        } else {
            if (spec.conversion == L'p') {
                spec.conversion = L'X';
                spec.zero = true;
                spec.width = 16;
                spec.lengthBits = 64;
            }
            FormatInteger(out, spec, arg);
        }
    }
    return out;
}

}  // namespace setup::text

namespace setup::text {

std::wstring EscapeInstallerFormat(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (c == L'[') {
            out += L"[\\[]";
        } else if (c == L']') {
            out += L"[\\]]";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace setup::text
