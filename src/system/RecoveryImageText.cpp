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

namespace recovery_command {

std::wstring Locate(const std::wstring& reagentc) { return reagentc + L" /info"; }

std::wstring ListMounted(const std::wstring& dism) { return dism + L" /Get-MountedWimInfo"; }

std::wstring Mount(const std::wstring& dism, const std::wstring& image, const std::wstring& mountDirectory) {
    return dism + L" /Mount-Wim /WimFile:\"" + image + L"\" /MountDir:\"" + mountDirectory + L"\" /index:1";
}

std::wstring AddDriver(const std::wstring& dism, const std::wstring& mountDirectory, const std::wstring& infPath) {
    return dism + L" /Image:\"" + mountDirectory + L"\" /Add-Driver /Driver:\"" + infPath + L"\"";
}

std::wstring RemoveDriver(const std::wstring& dism, const std::wstring& mountDirectory, const std::wstring& infPath) {
    return dism + L" /Image:\"" + mountDirectory + L"\" /Remove-Driver /Driver:\"" + infPath + L"\"";
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
