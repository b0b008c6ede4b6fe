// Stored load-order values of any length: decoding stays inside the given
// bytes, and what is written back decodes to the same tags with the right count.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "system/LoadOrderList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that a read past the value is caught.
    const std::vector<uint8_t> stored(data, data + size);
    const setup::LoadOrderList tags = setup::DecodeLoadOrderValue(stored.empty() ? nullptr : stored.data(), stored.size());
    if (tags.size() != (size >= 4 ? size / 4 - 1 : 0)) {
        std::abort();
    }
    const std::vector<uint8_t> written = setup::EncodeLoadOrderValue(tags);
    if (written.size() != (tags.size() + 1) * 4 || written[0] != static_cast<uint8_t>(tags.size()) ||
        setup::DecodeLoadOrderValue(written.data(), written.size()) != tags) {
        std::abort();
    }
    if (!tags.empty()) {
        // The chain starts at the first copy of the first anchor and only
        // moves forward, onto an entry equal to one of the anchors.
        setup::LoadOrderList moved = tags;
        setup::MoveLoadOrderTagToFront(moved, tags.back());
        const auto anchor = setup::FindLoadOrderAnchor(moved, tags);
        size_t first = 0;
        while (moved[first] != tags.front()) {
            ++first;
        }
        if (!anchor || *anchor >= moved.size() || *anchor < first) {
            std::abort();
        }
        bool named = false;
        for (uint32_t t : tags) {
            named = named || moved[*anchor] == t;
        }
        if (!named) {
            std::abort();
        }
    }
    return 0;
}
