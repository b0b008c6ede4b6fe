#include "system/FileHash.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdint>
#include <vector>

#include "frame/Exception.h"
#include "frame/Handles.h"
#include "frame/HResult.h"

namespace setup {

namespace {

constexpr DWORD kBlock = 64 * 1024;
constexpr ULONG kDigestSize = 32;

[[noreturn]] void FailWithLastError(const std::wstring& message, const std::wstring& path) {
    throw Exception(HResultFromWin32(GetLastError()), message + path, path);
}

[[noreturn]] void FailWithStatus(NTSTATUS status, const std::wstring& path) {
    throw Exception(static_cast<int32_t>(HRESULT_FROM_NT(status)), L"Failed to hash file: " + path, path);
}

class Sha256 {
public:
    explicit Sha256(const std::wstring& path) : path_(path) {
        NTSTATUS status = BCryptOpenAlgorithmProvider(algorithm_.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        if (status >= 0) {
            status = BCryptCreateHash(algorithm_.get(), hash_.put(), nullptr, 0, nullptr, 0, 0);
        }
        if (status < 0) {
            FailWithStatus(status, path_);
        }
    }
    void Add(const uint8_t* data, DWORD size) {
        const NTSTATUS status = BCryptHashData(hash_.get(), const_cast<PUCHAR>(data), size, 0);
        if (status < 0) {
            FailWithStatus(status, path_);
        }
    }
    std::wstring Finish() {
        uint8_t digest[kDigestSize] = {};
        const NTSTATUS status = BCryptFinishHash(hash_.get(), digest, kDigestSize, 0);
        if (status < 0) {
            FailWithStatus(status, path_);
        }
        static constexpr wchar_t kDigits[] = L"0123456789abcdef";
        std::wstring text;
        for (uint8_t byte : digest) {
            text += kDigits[byte >> 4];
            text += kDigits[byte & 15];
        }
        return text;
    }

private:
    std::wstring path_;
    UniqueHashAlgorithm algorithm_;
    UniqueHash hash_;
};

UniqueFileHandle OpenForReading(const std::wstring& path) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        FailWithLastError(L"Failed to open file: ", path);
    }
    return file;
}

// Reads the whole file block by block, handing every block to use.
template <class Use>
void ReadBlocks(HANDLE file, const std::wstring& path, Use use) {
    std::vector<uint8_t> block(kBlock);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, block.data(), kBlock, &read, nullptr)) {
            FailWithLastError(L"Failed to read file: ", path);
        }
        if (read == 0) {
            return;
        }
        use(block.data(), read);
    }
}

}  // namespace

std::wstring HashFile(const std::wstring& path) {
    const UniqueFileHandle file = OpenForReading(path);
    Sha256 hash(path);
    ReadBlocks(file.get(), path, [&](const uint8_t* data, DWORD size) { hash.Add(data, size); });
    return hash.Finish();
}

std::wstring CopyFileHashed(const std::wstring& source, const std::wstring& target) {
    const UniqueFileHandle from = OpenForReading(source);
    UniqueFileHandle to(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!to) {
        FailWithLastError(L"Failed to create file: ", target);
    }
    try {
        Sha256 hash(source);
        ReadBlocks(from.get(), source, [&](const uint8_t* data, DWORD size) {
            DWORD written = 0;
            if (!WriteFile(to.get(), data, size, &written, nullptr) || written != size) {
                FailWithLastError(L"Failed to write file: ", target);
            }
            hash.Add(data, size);
        });
        return hash.Finish();
    } catch (...) {
        to.reset();
        DeleteFileW(target.c_str());
        throw;
    }
}

}  // namespace setup
