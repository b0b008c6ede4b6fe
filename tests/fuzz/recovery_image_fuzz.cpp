// Output of "reagentc.exe /info" of any shape (one byte per character, so
// that the marker is easy to reach): the location found is the text at the
// first marker, stops at the first line feed after it with at most one
// carriage return cut, and is reported missing only when there is no marker.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "system/RecoveryImageText.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::wstring output;
    for (size_t i = 0; i < size; ++i) {
        output.push_back(static_cast<wchar_t>(data[i]));
    }
    const setup::RecoveryImageLocation found = setup::FindRecoveryImageLocation(output);
    const std::wstring marker = setup::kRecoveryImageMarker;
    const size_t start = output.find(marker);
    using End = setup::RecoveryImageLocation::End;
    if (start == std::wstring::npos) {
        Check(found.end == End::MarkerMissing && found.location.empty());
        return 0;
    }
    Check(found.location.size() >= marker.size());
    Check(output.compare(start, found.location.size(), found.location) == 0);
    Check(found.location.find(L'\n') == std::wstring::npos);
    const size_t after = start + found.location.size();
    if (found.end == End::EndOfOutput) {
        Check(after == output.size());
    } else {
        Check(found.end == End::LineEnd);
        const std::wstring rest = output.substr(after, 2);
        Check(rest == L"\r\n" || (rest.size() >= 1 && rest[0] == L'\n'));
    }
    return 0;
}
