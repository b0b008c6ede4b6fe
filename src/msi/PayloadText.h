#pragma once
// Names and paths of package payload: cabinet values of the Media table,
// File table names, UNC sources and the fixed-size target names of cabinet
// extraction. Free of Win32.

#include <cstddef>
#include <optional>
#include <string>

namespace setup {

// A Media "Cabinet" value "#name" names a stream of the package; the stream
// name is the value without the "#". Any other value is returned unchanged.
std::wstring GetCabinetStreamName(const std::wstring& value);
bool IsStreamCabinet(const std::wstring& value);

// A File table FileName is "name" or "short|long": the long name is used.
std::wstring LongFileName(const std::wstring& fileName);

// An INF path on a network share ("\\server\share\...").
bool IsNetworkPath(const std::wstring& path);

// folder + "\" + name when it fits, with its terminating NUL, into a buffer
// of `capacity` characters; nothing otherwise.
std::optional<std::wstring> ComposeTargetName(const std::wstring& folder, const std::wstring& name, std::size_t capacity);

}  // namespace setup
