// The decorations of an INF's Manufacturer line. The first byte picks the
// machine's architecture, the second the answers of the version test; the
// rest is UTF-16LE text: fields separated by ",", or, in the second mode,
// four numbers that are written out as a decoration and must read back.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwctype>
#include <string>
#include <vector>

#include "driver/install/InfDecoration.h"
#include "system/Utf16.h"

namespace {

namespace dd = setup::driver;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void CheckParsed(const std::wstring& decoration) {
    const dd::ParsedDecoration parsed = dd::ParseDecoration(decoration);
    const size_t dot = decoration.find(L'.');
    Check(parsed.hasVersion == (dot != std::wstring::npos));
    Check(parsed.platform.size() == (dot == std::wstring::npos ? decoration.size() : dot));
    for (wchar_t c : parsed.platform) {
        Check(!(c >= L'A' && c <= L'Z'));
    }
    const dd::DecorationVersion& v = parsed.version;
    Check(((v.typeMask & dd::version_field::MajorVersion) != 0) == (v.major != 0));
    Check(((v.typeMask & dd::version_field::MinorVersion) != 0) == (v.minor != 0));
    Check(((v.typeMask & dd::version_field::ProductType) != 0) == (v.productType != 0));
    Check(((v.typeMask & dd::version_field::SuiteName) != 0) == (v.suiteMask != 0));
    Check(((v.typeMask & dd::version_field::BuildNumber) != 0) == (v.buildNumber != 0));
    Check((v.typeMask & ~uint32_t{0xC7}) == 0);
    if (!parsed.hasVersion) {
        Check(v.major == 0 && v.minor == 0 && v.productType == 0 && v.suiteMask == 0 && v.buildNumber == 0);
    }
}

std::vector<std::wstring> Fields(const std::wstring& text) {
    std::vector<std::wstring> fields;
    size_t begin = 0;
    while (true) {
        const size_t comma = text.find(L',', begin);
        fields.push_back(text.substr(begin, comma == std::wstring::npos ? std::wstring::npos : comma - begin));
        if (comma == std::wstring::npos) {
            return fields;
        }
        begin = comma + 1;
    }
}

void ManufacturerLine(const std::wstring& text, uint16_t architecture, uint8_t answers) {
    const std::vector<std::wstring> fields = Fields(text);
    for (const std::wstring& field : fields) {
        CheckParsed(field);
    }
    unsigned asked = 0;
    const dd::VersionTest test = [&](const dd::DecorationVersion&) { return ((answers >> (asked++ % 8)) & 1) != 0; };
    const std::wstring chosen = dd::ChooseModelsSection(fields, architecture, test);
    Check(chosen.compare(0, fields[0].size(), fields[0]) == 0);
    if (chosen.size() == fields[0].size()) {
        return;
    }
    // The models name, a "." and one of the decorations as written.
    Check(chosen[fields[0].size()] == L'.');
    const std::wstring decoration = chosen.substr(fields[0].size() + 1);
    bool found = false;
    for (size_t i = 1; i < fields.size() && !found; ++i) {
        found = fields[i] == decoration;
    }
    Check(found);
    Check(dd::PlatformFits(dd::ParseDecoration(decoration).platform, architecture));
}

uint32_t Number(const uint8_t* data) {
    return uint32_t{data[0]} | (uint32_t{data[1]} << 8) | (uint32_t{data[2]} << 16) | (uint32_t{data[3]} << 24);
}

std::wstring Hex(uint32_t value) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    do {
        text.insert(text.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return L"0x" + text;
}

// Numbers written the way INF authors write them read back as written.
void WrittenVersion(const uint8_t* data, size_t size) {
    if (size < 16) {
        return;
    }
    const int32_t major = static_cast<int32_t>(Number(data));
    const int32_t minor = static_cast<int32_t>(Number(data + 4));
    const uint32_t product = Number(data + 8);
    const uint32_t suite = Number(data + 12);
    const std::wstring tail = setup::WideFromUtf16Le(data + 16, (size - 16) / 2);
    const std::wstring decoration = L"NTamd64." + std::to_wstring(major) + L"." + std::to_wstring(minor) + L"." + Hex(product) + L"." +
                                    Hex(suite) + (tail.empty() || (tail[0] >= L'0' && tail[0] <= L'9') ||
                                                          (tail[0] >= L'a' && tail[0] <= L'f') || (tail[0] >= L'A' && tail[0] <= L'F')
                                                      ? std::wstring()
                                                      : tail);
    CheckParsed(decoration);
    const dd::ParsedDecoration parsed = dd::ParseDecoration(decoration);
    Check(parsed.platform == L"ntamd64");
    Check(parsed.version.major == major);
    Check(parsed.version.minor == minor);
    Check(parsed.version.productType == static_cast<uint8_t>(product & 0xFF));
    Check(parsed.version.suiteMask == static_cast<uint16_t>(suite & 0xFFFF));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    static const uint16_t kArchitectures[] = {dd::architecture::Intel, dd::architecture::Ia64, dd::architecture::Amd64, 5, 12};
    const uint16_t architecture = kArchitectures[data[0] % 5];
    const uint8_t answers = data[1];
    if (data[0] & 0x80) {
        WrittenVersion(data + 2, size - 2);
    } else {
        ManufacturerLine(setup::WideFromUtf16Le(data + 2, (size - 2) / 2), architecture, answers);
    }
    return 0;
}
