// Base64 of the binary values in CustomActionData. Bytes encode to the
// standard alphabet with "=" padding and decode back; any text decodes
// without failing, characters outside the alphabet are skipped, and what it
// decodes to encodes to a text that decodes to the same bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "system/Utf16.h"
#include "tables/encoding/Base64.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool InAlphabet(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'+' || c == L'/';
}

void Bytes(const std::vector<uint8_t>& bytes) {
    const std::wstring text = setup::EncodeBase64(bytes);
    Check(text.size() == (bytes.size() + 2) / 3 * 4);
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'=') {
            Check(i + 2 >= text.size());
            ++padding;
        } else {
            Check(InAlphabet(text[i]) && padding == 0);
        }
    }
    Check(padding == (3 - bytes.size() % 3) % 3);
    Check(setup::DecodeBase64(text) == bytes);
}

void Text(const std::wstring& text) {
    const std::vector<uint8_t> bytes = setup::DecodeBase64(text);
    std::wstring kept;
    for (wchar_t c : text) {
        if (InAlphabet(c)) {
            kept.push_back(c);
        }
    }
    // Six bits a character, whole bytes only.
    Check(bytes.size() == kept.size() * 6 / 8);
    Check(setup::DecodeBase64(kept) == bytes);
    Check(setup::DecodeBase64(setup::EncodeBase64(bytes)) == bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    if (data[0] & 1) {
        Bytes(std::vector<uint8_t>(data + 1, data + size));
    } else {
        Text(setup::WideFromUtf16Le(data + 1, (size - 1) / 2));
    }
    return 0;
}
