#pragma once
// Runs one command line as a child process with its standard output and
// standard error captured, logs the output line by line once the child has
// ended, and fails on a non-zero exit code or when the child outlives the
// time-out.

#include <cstdint>
#include <string>

namespace setup {

// Returns the captured output, decoded from the console (OEM) code page.
std::wstring RunProcess(const std::wstring& commandLine);
void RunCommand(const std::wstring& commandLine);

namespace detail {

constexpr uint32_t kProcessTimeoutMilliseconds = 100000;

// The runner with the time-out as a parameter: tests use a short one.
std::wstring RunProcess(const std::wstring& commandLine, uint32_t timeoutMilliseconds);

}  // namespace detail

}  // namespace setup
