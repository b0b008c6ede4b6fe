#pragma once
// Owners of every kind of Windows handle the library holds. Each owner
// knows its own "no handle" value and close function, closes exactly once,
// and moves but never copies; shared ownership is spelled std::shared_ptr
// around one of these.

#include <windows.h>
#include <objbase.h>
#include <msi.h>
#include <setupapi.h>
#include <winsvc.h>
#include <bcrypt.h>

#include <utility>

namespace setup {

template <class Traits>
class UniqueHandle {
public:
    using handle_type = typename Traits::handle_type;

    UniqueHandle() noexcept : handle_(Traits::Invalid()) {}
    explicit UniqueHandle(handle_type handle) noexcept : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueHandle() { reset(); }

    handle_type get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Traits::Invalid(); }

    // For out-parameters: closes what is held and hands out the slot.
    handle_type* put() noexcept {
        reset();
        return &handle_;
    }
    handle_type release() noexcept { return std::exchange(handle_, Traits::Invalid()); }
    void reset(handle_type handle = Traits::Invalid()) noexcept {
        const handle_type old = std::exchange(handle_, handle);
        if (old != Traits::Invalid()) {
            Traits::Close(old);
        }
    }

private:
    handle_type handle_;
};

namespace handle_traits {

struct Msi {
    using handle_type = MSIHANDLE;
    static handle_type Invalid() noexcept { return 0; }
    static void Close(handle_type h) noexcept { MsiCloseHandle(h); }
};

// CreateFileW and FindFirstFileW style: INVALID_HANDLE_VALUE means none.
struct File {
    using handle_type = HANDLE;
    static handle_type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(handle_type h) noexcept { CloseHandle(h); }
};

// Processes, threads, pipes, events and access tokens: NULL means none.
struct Kernel {
    using handle_type = HANDLE;
    static handle_type Invalid() noexcept { return nullptr; }
    static void Close(handle_type h) noexcept { CloseHandle(h); }
};

struct Find {
    using handle_type = HANDLE;
    static handle_type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(handle_type h) noexcept { FindClose(h); }
};

struct RegKey {
    using handle_type = HKEY;
    static handle_type Invalid() noexcept { return nullptr; }
    static void Close(handle_type h) noexcept { RegCloseKey(h); }
};

struct Service {
    using handle_type = SC_HANDLE;
    static handle_type Invalid() noexcept { return nullptr; }
    static void Close(handle_type h) noexcept { CloseServiceHandle(h); }
};

struct Module {
    using handle_type = HMODULE;
    static handle_type Invalid() noexcept { return nullptr; }
    static void Close(handle_type h) noexcept { FreeLibrary(h); }
};

struct Inf {
    using handle_type = HINF;
    static handle_type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(handle_type h) noexcept { SetupCloseInfFile(h); }
};

struct FileQueue {
    using handle_type = HSPFILEQ;
    static handle_type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(handle_type h) noexcept { SetupCloseFileQueue(h); }
};

struct DevInfo {
    using handle_type = HDEVINFO;
    static handle_type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(handle_type h) noexcept { SetupDiDestroyDeviceInfoList(h); }
};

// LocalAlloc memory handed to APIs that fill a caller-sized buffer.
struct LocalMemory {
    using handle_type = HLOCAL;
    static handle_type Invalid() noexcept { return nullptr; }
    static void Close(handle_type h) noexcept { LocalFree(h); }
};

struct GlobalAtom {
    using handle_type = ATOM;
    static handle_type Invalid() noexcept { return 0; }
    static void Close(handle_type h) noexcept { GlobalDeleteAtom(h); }
};

// A successful CoInitialize of the calling thread (S_OK and S_FALSE alike):
// the owner balances it with one CoUninitialize on the same thread.
struct ComInitialization {
    using handle_type = bool;
    static handle_type Invalid() noexcept { return false; }
    static void Close(handle_type) noexcept { CoUninitialize(); }
};

struct HashAlgorithm {
    using handle_type = BCRYPT_ALG_HANDLE;
    static handle_type Invalid() noexcept { return nullptr; }
    static void Close(handle_type h) noexcept { BCryptCloseAlgorithmProvider(h, 0); }
};

struct Hash {
    using handle_type = BCRYPT_HASH_HANDLE;
    static handle_type Invalid() noexcept { return nullptr; }
    static void Close(handle_type h) noexcept { BCryptDestroyHash(h); }
};

}  // namespace handle_traits

using UniqueMsiHandle = UniqueHandle<handle_traits::Msi>;
using UniqueFileHandle = UniqueHandle<handle_traits::File>;
using UniqueKernelHandle = UniqueHandle<handle_traits::Kernel>;
using UniqueFindHandle = UniqueHandle<handle_traits::Find>;
using UniqueRegKey = UniqueHandle<handle_traits::RegKey>;
using UniqueServiceHandle = UniqueHandle<handle_traits::Service>;
using UniqueModule = UniqueHandle<handle_traits::Module>;
using UniqueInfHandle = UniqueHandle<handle_traits::Inf>;
using UniqueFileQueue = UniqueHandle<handle_traits::FileQueue>;
using UniqueDevInfo = UniqueHandle<handle_traits::DevInfo>;
using UniqueLocalMemory = UniqueHandle<handle_traits::LocalMemory>;
using UniqueComInitialization = UniqueHandle<handle_traits::ComInitialization>;
using UniqueHashAlgorithm = UniqueHandle<handle_traits::HashAlgorithm>;
using UniqueHash = UniqueHandle<handle_traits::Hash>;

// COM interface pointer: Release on the way out.
template <class Interface>
class UniqueComPtr {
public:
    UniqueComPtr() noexcept = default;
    explicit UniqueComPtr(Interface* p) noexcept : p_(p) {}
    UniqueComPtr(const UniqueComPtr&) = delete;
    UniqueComPtr& operator=(const UniqueComPtr&) = delete;
    UniqueComPtr(UniqueComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    UniqueComPtr& operator=(UniqueComPtr&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.p_, nullptr));
        }
        return *this;
    }
    ~UniqueComPtr() { reset(); }

    Interface* get() const noexcept { return p_; }
    Interface* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    Interface** put() noexcept {
        reset();
        return &p_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    void reset(Interface* p = nullptr) noexcept {
        Interface* old = std::exchange(p_, p);
        if (old != nullptr) {
            old->Release();
        }
    }

private:
    Interface* p_ = nullptr;
};

}  // namespace setup
