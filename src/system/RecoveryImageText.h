#pragma once
// The text side of the recovery image steps: where reagentc's output names
// the image, and the command lines of reagentc and dism. Free of Win32.

#include <cstddef>
#include <string>
#include <string_view>

namespace setup {

// reagentc names the image's folder by a device path starting with this.
inline constexpr wchar_t kRecoveryImageMarker[] = L"\\\\?\\GLOBALROOT";
inline constexpr wchar_t kRecoveryImageFileName[] = L"WinRe.wim";

struct RecoveryImageLocation {
    enum class End {
        MarkerMissing,  // nothing found; location is empty
        LineEnd,        // the location ends at the line feed after the marker
        EndOfOutput,    // no line feed follows: the location runs to the end
    };
    End end = End::MarkerMissing;
    // From the first marker on, without its line end.
    std::wstring location;
};

// The folder of the image in the output of "reagentc.exe /info". A carriage
// return before the line feed belongs to the line end, not to the location.
RecoveryImageLocation FindRecoveryImageLocation(const std::wstring& locateOutput);

// Whether a file name is a published name of a third-party driver in an
// image's INF folder: "oem", decimal digits and ".inf", in any letter case.
// Only such a name is ever handed to dism's removal, which accepts nothing else.
bool IsPublishedInfName(std::wstring_view fileName);

// Command lines, the tool paths unquoted as the system directory gives them.
namespace recovery_command {
std::wstring Locate(const std::wstring& reagentc);
std::wstring ListMounted(const std::wstring& dism);
std::wstring Mount(const std::wstring& dism, const std::wstring& image, const std::wstring& mountDirectory);
std::wstring AddDriver(const std::wstring& dism, const std::wstring& mountDirectory, const std::wstring& infPath);
// Takes a published name of the image (oemN.inf), the only form dism removes.
std::wstring RemoveDriver(const std::wstring& dism, const std::wstring& mountDirectory, const std::wstring& publishedName);
std::wstring ListDrivers(const std::wstring& dism, const std::wstring& mountDirectory);
std::wstring Commit(const std::wstring& dism, const std::wstring& mountDirectory);
std::wstring Discard(const std::wstring& dism, const std::wstring& mountDirectory);
}  // namespace recovery_command

}  // namespace setup
