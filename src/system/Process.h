#pragma once
// Runs one command line as a child process with its standard output and
// standard error captured, logs the output line by line once the child has
// ended, and fails on a non-zero exit code or when the child outlives the
// time-out.

#include <cstdint>
#include <string>

namespace setup {

// The child inherits only its output pipe, has no standard input and runs in
// a job that kills it and every process it started when the runner lets go:
// a child past its limit is gone, children included, before the runner throws.

namespace detail {

constexpr uint32_t kProcessTimeoutMilliseconds = 100000;

// The runner with the time-out as a parameter: tests use a short one. An
// empty application name lets the system take the program from the command
// line (an authored command line runs as written).
std::wstring RunProcess(const std::wstring& applicationName, const std::wstring& commandLine, uint32_t timeoutMilliseconds);
std::wstring RunProcess(const std::wstring& commandLine, uint32_t timeoutMilliseconds);

}  // namespace detail

// Returns the captured output, decoded from the console (OEM) code page.
// The command line runs as written.
std::wstring RunProcess(const std::wstring& commandLine);
void RunCommand(const std::wstring& commandLine);

// "program" in quotes, as argument 0 of a command line.
std::wstring QuoteProgram(const std::wstring& program);
// Runs the program at its full path: the path is the application name and,
// quoted, argument 0, so no blank in it lets another program run.
std::wstring RunProgram(const std::wstring& program, const std::wstring& arguments,
                        uint32_t timeoutMilliseconds = detail::kProcessTimeoutMilliseconds);

}  // namespace setup
