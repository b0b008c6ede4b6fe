// Splitting a child process's captured output into log lines: every line is
// a non-empty piece between CR LF pairs, and together the lines are the
// output without its CR LF pairs. Input is UTF-16LE text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "system/ProcessOutput.h"
#include "system/Utf16.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The output with each CR LF pair taken out, scanning from the left.
std::wstring WithoutPairs(const std::wstring& output) {
    std::wstring out;
    for (size_t i = 0; i < output.size(); ++i) {
        if (output[i] == L'\r' && i + 1 < output.size() && output[i + 1] == L'\n') {
            ++i;
            continue;
        }
        out.push_back(output[i]);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring output = setup::WideFromUtf16Le(data, size / 2);
    const std::vector<std::wstring> lines = setup::SplitOutputLines(output);
    std::wstring joined;
    size_t from = 0;
    for (const std::wstring& line : lines) {
        Check(!line.empty());
        Check(line.find(L"\r\n") == std::wstring::npos);
        // Lines come in output order, each standing between pairs or the ends.
        const size_t at = output.find(line, from);
        Check(at != std::wstring::npos);
        from = at + line.size();
        joined += line;
    }
    Check(joined == WithoutPairs(output));
    return 0;
}
