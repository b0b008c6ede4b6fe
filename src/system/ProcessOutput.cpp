#include "system/ProcessOutput.h"

#include <utility>

#include "system/PathText.h"

namespace setup {

std::vector<std::wstring> SplitOutputLines(const std::wstring& output) {
    std::vector<std::wstring> lines;
    for (std::wstring& piece : SplitString(output, L"\r\n")) {
        if (!piece.empty()) {
            lines.push_back(std::move(piece));
        }
    }
    return lines;
}

}  // namespace setup
