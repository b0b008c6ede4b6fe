#include "driver/install/InfFile.h"

#include <rpc.h>

#include <algorithm>
#include <cwctype>
#include <optional>

#include "driver/install/InfDecoration.h"
#include "frame/Exception.h"
#include "frame/HResult.h"
#include "frame/Log.h"
#include "system/WindowsVersion.h"

namespace setup::driver {

namespace {

// The decoration rules name the platform's own values.
static_assert(architecture::Intel == PROCESSOR_ARCHITECTURE_INTEL);
static_assert(architecture::Ia64 == PROCESSOR_ARCHITECTURE_IA64);
static_assert(architecture::Amd64 == PROCESSOR_ARCHITECTURE_AMD64);
static_assert(version_field::MinorVersion == VER_MINORVERSION);
static_assert(version_field::MajorVersion == VER_MAJORVERSION);
static_assert(version_field::BuildNumber == VER_BUILDNUMBER);
static_assert(version_field::SuiteName == VER_SUITENAME);
static_assert(version_field::ProductType == VER_PRODUCT_TYPE);
static_assert(sizeof(OSVERSIONINFOEXW) == 284);

constexpr wchar_t kReadFailed[] = L"Failed to read from inf file.";
constexpr wchar_t kManufacturerEmpty[] = L"The Manufacturer section is empty.";

// SetupAPI leaves stale codes behind after success: read only right after a failure.
int32_t LastErrorCode() { return HResultFromErrorCode(GetLastError()); }

const wchar_t* KeyOrNull(const std::wstring& key) { return key.empty() ? nullptr : key.c_str(); }

// Field `index` of a line (0 is the key): a size query, then a read into a
// buffer one character larger than asked for.
std::wstring ReadStringField(const INFCONTEXT& line, DWORD index) {
    INFCONTEXT context = line;
    DWORD size = 0;
    SetupGetStringFieldW(&context, index, nullptr, 0, &size);
    if (size == 0) {
        return std::wstring();
    }
    std::wstring buffer(static_cast<size_t>(size) + 1, L'\0');
    if (!SetupGetStringFieldW(&context, index, buffer.data(), size + 1, nullptr)) {
        throw Exception(LastErrorCode(), kReadFailed, std::wstring());
    }
    buffer.resize(std::min(buffer.size(), buffer.find(L'\0')));
    return buffer;
}

bool MatchesVersion(const DecorationVersion& version) {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    info.dwMajorVersion = static_cast<DWORD>(version.major);
    info.dwMinorVersion = static_cast<DWORD>(version.minor);
    info.wProductType = version.productType;
    info.wSuiteMask = version.suiteMask;
    info.dwBuildNumber = version.buildNumber;

    DWORDLONG conditions = 0;
    if (version.typeMask & VER_MAJORVERSION) {
        conditions = VerSetConditionMask(conditions, VER_MAJORVERSION, VER_GREATER_EQUAL);
    }
    if (version.typeMask & VER_MINORVERSION) {
        conditions = VerSetConditionMask(conditions, VER_MINORVERSION, VER_GREATER_EQUAL);
    }
    if (version.typeMask & VER_PRODUCT_TYPE) {
        conditions = VerSetConditionMask(conditions, VER_PRODUCT_TYPE, VER_EQUAL);
    }
    if (version.typeMask & VER_SUITENAME) {
        conditions = VerSetConditionMask(conditions, VER_SUITENAME, VER_EQUAL);
    }
    if (version.typeMask & VER_BUILDNUMBER) {
        conditions = VerSetConditionMask(conditions, VER_BUILDNUMBER, VER_GREATER_EQUAL);
    }
    // SetupAPI, which installs from the section chosen here, decides on the
    // true version, whatever the host program's manifest declares.
    return SystemVersionSatisfies(info, version.typeMask, conditions);
}

uint16_t NativeArchitecture() {
    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture;
}

// The published network setup classes: adapters, clients, services and
// transports. They differ only in the first group.
constexpr GUID kNetworkClasses[] = {
    {0x4d36e972, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}},
    {0x4d36e973, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}},
    {0x4d36e974, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}},
    {0x4d36e975, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}},
};

std::wstring LowerCase(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(towlower(c));
    }
    return text;
}

// The whole file, or nothing when it cannot be read; only INF-sized files
// are read at all.
std::optional<std::string> ReadSmallFile(const std::wstring& path) {
    constexpr LONGLONG kLargestInf = 16 * 1024 * 1024;
    const UniqueKernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > kLargestInf) {
        return std::nullopt;
    }
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() && (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                           read != bytes.size())) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<InfPackageIdentity> IdentityOf(const std::wstring& path) {
    try {
        return GetInfPackageIdentity(OpenInfFile(path));
    } catch (const Exception&) {
        return std::nullopt;
    }
}

std::optional<std::vector<std::wstring>> ServicesOf(const InfHandle& inf, const std::function<std::wstring()>& section,
                                                    const wchar_t* key) {
    try {
        return GetFirstFieldOfLines(inf, section() + L".Services", key);
    } catch (const Exception& e) {
        Log(L"There is no services for the installation. '%s'. Error 0x%x.", e.Message(), e.Code());
        return std::nullopt;
    }
}

std::vector<std::wstring> ServicesOrNothing(const InfHandle& inf, std::wstring (*section)(const InfHandle&),
                                            const wchar_t* key) {
    return ServicesOf(inf, [&] { return section(inf); }, key).value_or(std::vector<std::wstring>());
}

}  // namespace

InfHandle OpenInfFile(const std::wstring& path) {
    UniqueInfHandle handle(SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
    if (!handle) {
        throw Exception(LastErrorCode(), L"Failed to open inf file: " + path, path);
    }
    return InfHandle(std::move(handle));
}

std::vector<std::wstring> GetLineFields(const INFCONTEXT& line) {
    INFCONTEXT context = line;
    const DWORD count = SetupGetFieldCount(&context);
    std::vector<std::wstring> fields;
    fields.reserve(count);
    for (DWORD index = 1; index <= count; ++index) {
        fields.push_back(ReadStringField(line, index));
    }
    return fields;
}

std::vector<std::wstring> GetFirstLineFields(const InfHandle& inf, const std::wstring& section, const std::wstring& key) {
    INFCONTEXT line = {};
    if (!SetupFindFirstLineW(inf.get(), section.c_str(), KeyOrNull(key), &line)) {
        return {};
    }
    return GetLineFields(line);
}

std::wstring GetFirstLineField(const InfHandle& inf, std::size_t index, const std::wstring& section) {
    const std::vector<std::wstring> fields = GetFirstLineFields(inf, section, std::wstring());
    return index < fields.size() ? fields[index] : std::wstring();
}

std::vector<std::wstring> GetFirstFieldOfLines(const InfHandle& inf, const std::wstring& section, const std::wstring& key) {
    std::vector<std::wstring> values;
    INFCONTEXT line = {};
    if (!SetupFindFirstLineW(inf.get(), section.c_str(), KeyOrNull(key), &line)) {
        return values;
    }
    // From the first matching line on, every line counts, whatever its key.
    do {
        const std::vector<std::wstring> fields = GetLineFields(line);
        if (!fields.empty()) {
            values.push_back(fields[0]);
        }
    } while (SetupFindNextLine(&line, &line));
    return values;
}

std::vector<std::wstring> GetSectionKeys(const InfHandle& inf, const std::wstring& section) {
    std::vector<std::wstring> keys;
    const LONG count = SetupGetLineCountW(inf.get(), section.c_str());
    for (LONG index = 0; index < count; ++index) {
        INFCONTEXT line = {};
        if (!SetupGetLineByIndexW(inf.get(), section.c_str(), static_cast<DWORD>(index), &line)) {
            continue;
        }
        keys.push_back(ReadStringField(line, 0));
    }
    return keys;
}

std::wstring GetFirstSectionKey(const InfHandle& inf, const std::wstring& section) {
    const std::vector<std::wstring> keys = GetSectionKeys(inf, section);
    return keys.empty() ? std::wstring() : keys[0];
}

std::wstring GetLineText(const InfHandle& inf, const std::wstring& section, const std::wstring& key) {
    DWORD size = 0;
    SetupGetLineTextW(nullptr, inf.get(), section.c_str(), KeyOrNull(key), nullptr, 0, &size);
    if (size == 0) {
        return std::wstring();
    }
    std::wstring buffer(static_cast<size_t>(size) + 1, L'\0');
    if (!SetupGetLineTextW(nullptr, inf.get(), section.c_str(), KeyOrNull(key), buffer.data(), size + 1, nullptr)) {
        throw Exception(LastErrorCode(), kReadFailed, std::wstring());
    }
    buffer.resize(std::min(buffer.size(), buffer.find(L'\0')));
    return buffer;
}

std::wstring GetModelsSection(const InfHandle& inf) {
    std::vector<std::vector<std::wstring>> lines;
    INFCONTEXT line = {};
    if (SetupFindFirstLineW(inf.get(), L"Manufacturer", nullptr, &line)) {
        do {
            lines.push_back(GetLineFields(line));
        } while (SetupFindNextLine(&line, &line));
    }
    if (lines.empty() || lines[0].empty()) {
        throw Exception(hresult::Fail, kManufacturerEmpty, std::wstring());
    }
    return ChooseModelsSectionOfLines(lines, NativeArchitecture(), MatchesVersion);
}

std::wstring GetActualSectionToInstall(const InfHandle& inf, const std::wstring& section) {
    // A section name is at most 255 characters: this buffer holds every
    // answer at once, and a longer one is read again at the size it needs.
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD size = 0;
    if (SetupDiGetActualSectionToInstallW(inf.get(), section.c_str(), buffer.data(), MAX_PATH, &size, nullptr)) {
        buffer.resize(std::min(buffer.size(), buffer.find(L'\0')));
        return buffer;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        return std::wstring();
    }
    buffer.assign(static_cast<size_t>(size) + 1, L'\0');
    if (!SetupDiGetActualSectionToInstallW(inf.get(), section.c_str(), buffer.data(), size + 1, nullptr, nullptr)) {
        throw Exception(LastErrorCode(), L"Failed to get actual section to install.", section);
    }
    buffer.resize(std::min(buffer.size(), buffer.find(L'\0')));
    return buffer;
}

std::wstring GetInstallSection(const InfHandle& inf) {
    // An INF without models installs from its DefaultInstall section.
    std::wstring section = L"DefaultInstall";
    try {
        const std::wstring models = GetModelsSection(inf);
        section = GetFirstLineField(inf, 0, models);
    } catch (const Exception&) {
    }
    return GetActualSectionToInstall(inf, section);
}

std::wstring GetUninstallSection(const InfHandle& inf) { return GetActualSectionToInstall(inf, L"DefaultUninstall"); }

std::vector<std::wstring> GetServicesToAdd(const InfHandle& inf) {
    return ServicesOrNothing(inf, GetInstallSection, L"AddService");
}

std::wstring GetFirstServiceToAdd(const InfHandle& inf) {
    const std::vector<std::wstring> services = GetServicesToAdd(inf);
    return services.empty() ? std::wstring() : services[0];
}

std::vector<std::wstring> GetServicesToDelete(const InfHandle& inf) {
    return ServicesOrNothing(inf, GetUninstallSection, L"DelService");
}

std::optional<std::wstring> FindFirstServiceToAdd(const InfHandle& inf,
                                                  const std::function<std::wstring()>& installSection) {
    const std::optional<std::vector<std::wstring>> services = ServicesOf(inf, installSection, L"AddService");
    if (!services) {
        return std::nullopt;
    }
    return services->empty() ? std::wstring() : services->front();
}

std::wstring GetFirstServiceToDelete(const InfHandle& inf) {
    const std::vector<std::wstring> services = GetServicesToDelete(inf);
    return services.empty() ? std::wstring() : services[0];
}

GUID GetClassGuid(const InfHandle& inf) {
    GUID guid = {};
    std::wstring text = GetLineText(inf, L"Version", L"ClassGUID");
    if (text.empty()) {
        return guid;
    }
    // Braces may stand anywhere; the UUID parser takes the bare form only.
    std::erase(text, L'{');
    std::erase(text, L'}');
    if (UuidFromStringW(reinterpret_cast<RPC_WSTR>(text.data()), &guid) != RPC_S_OK) {
        throw Exception(hresult::Fail, L"The ClassGUID is incorrect.", std::wstring());
    }
    return guid;
}

std::wstring GetModelHardwareId(const InfHandle& inf) { return GetFirstLineField(inf, 1, GetModelsSection(inf)); }

bool IsNetworkClassInf(const std::wstring& infPath) {
    const GUID guid = GetClassGuid(OpenInfFile(infPath));
    return std::any_of(std::begin(kNetworkClasses), std::end(kNetworkClasses),
                       [&](const GUID& network) { return IsEqualGUID(guid, network) != FALSE; });
}

InfPackageIdentity GetInfPackageIdentity(const InfHandle& inf) {
    return InfPackageIdentity{LowerCase(GetFirstSectionKey(inf, L"SourceDisksFiles")),
                              LowerCase(GetFirstServiceToAdd(inf))};
}

InfPackageIdentity GetInfPackageIdentity(const InfHandle& inf, const std::wstring& firstServiceToAdd) {
    return InfPackageIdentity{LowerCase(GetFirstSectionKey(inf, L"SourceDisksFiles")), LowerCase(firstServiceToAdd)};
}

bool IsPublishedCopyOfInf(const std::wstring& packageInfPath, const std::wstring& candidatePath) {
    const std::optional<std::string> package = ReadSmallFile(packageInfPath);
    const std::optional<std::string> candidate = ReadSmallFile(candidatePath);
    if (!package || !candidate) {
        return false;
    }
    if (*package == *candidate) {
        return true;
    }
    const std::optional<InfPackageIdentity> own = IdentityOf(packageInfPath);
    const std::optional<InfPackageIdentity> other = IdentityOf(candidatePath);
    return own && other && own->Complete() && own->sourceFile == other->sourceFile && own->service == other->service;
}

}  // namespace setup::driver
