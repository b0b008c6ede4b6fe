#include "system/RecoveryImageText.h"

namespace setup {

RecoveryImageLocation FindRecoveryImageLocation(const std::wstring& locateOutput) {
    RecoveryImageLocation found;
    const std::size_t start = locateOutput.find(kRecoveryImageMarker);
    if (start == std::wstring::npos) {
        return found;
    }
    const std::size_t lineFeed = locateOutput.find(L'\n', start);
    if (lineFeed == std::wstring::npos) {
        found.end = RecoveryImageLocation::End::EndOfOutput;
        found.location = locateOutput.substr(start);
        return found;
    }
    found.end = RecoveryImageLocation::End::LineEnd;
    // Only a carriage return is cut: a bare line feed must not cost the
    // location its last character.
    std::size_t end = lineFeed;
    if (locateOutput[end - 1] == L'\r') {
        --end;
    }
    found.location = locateOutput.substr(start, end - start);
    return found;
}

bool IsPublishedInfName(std::wstring_view fileName) {
    constexpr std::wstring_view kPrefix = L"oem";
    constexpr std::wstring_view kSuffix = L".inf";
    if (fileName.size() <= kPrefix.size() + kSuffix.size()) {
        return false;
    }
    const auto sameLetters = [](std::wstring_view text, std::wstring_view lower) {
        for (std::size_t i = 0; i < lower.size(); ++i) {
            const wchar_t c = text[i];
            if ((c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c) != lower[i]) {
                return false;
            }
        }
        return true;
    };
    const std::wstring_view digits = fileName.substr(kPrefix.size(), fileName.size() - kPrefix.size() - kSuffix.size());
    for (const wchar_t c : digits) {
        if (c < L'0' || c > L'9') {
            return false;
        }
    }
    return sameLetters(fileName.substr(0, kPrefix.size()), kPrefix) &&
           sameLetters(fileName.substr(fileName.size() - kSuffix.size()), kSuffix);
}

namespace recovery_command {

std::wstring Locate(const std::wstring& reagentc) { return reagentc + L" /info"; }

std::wstring ListMounted(const std::wstring& dism) { return dism + L" /Get-MountedWimInfo"; }

std::wstring Mount(const std::wstring& dism, const std::wstring& image, const std::wstring& mountDirectory) {
    return dism + L" /Mount-Wim /WimFile:\"" + image + L"\" /MountDir:\"" + mountDirectory + L"\" /index:1";
}

std::wstring AddDriver(const std::wstring& dism, const std::wstring& mountDirectory, const std::wstring& infPath) {
    return dism + L" /Image:\"" + mountDirectory + L"\" /Add-Driver /Driver:\"" + infPath + L"\"";
}

std::wstring RemoveDriver(const std::wstring& dism, const std::wstring& mountDirectory,
                         const std::wstring& publishedName) {
    return dism + L" /Image:\"" + mountDirectory + L"\" /Remove-Driver /Driver:\"" + publishedName + L"\"";
}

std::wstring ListDrivers(const std::wstring& dism, const std::wstring& mountDirectory) {
    return dism + L" /Image:\"" + mountDirectory + L"\" /Get-Drivers";
}

std::wstring Commit(const std::wstring& dism, const std::wstring& mountDirectory) {
    return dism + L" /Unmount-Wim /MountDir:\"" + mountDirectory + L"\" /Commit";
}

std::wstring Discard(const std::wstring& dism, const std::wstring& mountDirectory) {
    return dism + L" /Unmount-Wim /MountDir:\"" + mountDirectory + L"\" /Discard";
}

}  // namespace recovery_command

}  // namespace setup
