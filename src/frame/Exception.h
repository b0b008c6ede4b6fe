#pragma once
// The one way failures travel from the bodies to the entry-point frame.

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "frame/HResult.h"

namespace setup {

class Exception : public std::exception {
public:
    Exception(int32_t code, std::wstring message, std::wstring details)
        : code_(code), message_(std::move(message)), details_(std::move(details)) {}

    int32_t Code() const noexcept { return code_; }
    // The sentence written to the log.
    std::wstring Message() const { return message_; }
    // The object of the failure, handed to the installer's error message as [3].
    std::wstring Details() const { return details_; }

private:
    int32_t code_;
    std::wstring message_;
    std::wstring details_;
};

class InstallCanceledException : public Exception {
public:
    explicit InstallCanceledException(std::wstring message)
        : Exception(hresult::Canceled, std::move(message), std::wstring()) {}
};

class ArgumentException : public Exception {
public:
    explicit ArgumentException(std::wstring message)
        : Exception(hresult::InvalidArg, std::move(message), std::wstring()) {}
};

}  // namespace setup
