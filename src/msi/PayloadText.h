#pragma once
// Names and paths of package payload: cabinet values of the Media table,
// File table names, UNC sources and the fixed-size target names of cabinet
// extraction. Free of Win32.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// One file of an early package's folder and the SHA-256 of its bytes as the
// installing user extracted them (64 lower-case hexadecimal characters).
struct PayloadFile {
    std::wstring name;
    std::wstring sha256;

    bool operator==(const PayloadFile&) const = default;
};

// A bare file name: not empty, not "." or "..", without a folder separator,
// a drive or stream colon, or a wildcard, so that joined to a folder it
// names a file of that folder and nothing else.
bool IsPlainFileName(std::wstring_view name);

// "name:hash|name:hash": neither ':' nor '|' can occur in a file name.
std::wstring EncodePayloadFiles(const std::vector<PayloadFile>& files);
// Entries that are not a plain file name with a 64-digit hash are dropped:
// a file whose entry is lost is a file the package cannot be installed with.
std::vector<PayloadFile> DecodePayloadFiles(std::wstring_view text);

}  // namespace setup
