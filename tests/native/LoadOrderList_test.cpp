#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "system/LoadOrderList.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Le(std::initializer_list<uint32_t> fields) {
    Bytes out;
    for (uint32_t v : fields) {
        out.push_back(static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v >> 16));
        out.push_back(static_cast<uint8_t>(v >> 24));
    }
    return out;
}

Bytes Plus(Bytes bytes, std::initializer_list<uint8_t> tail) {
    bytes.insert(bytes.end(), tail);
    return bytes;
}

}  // namespace

TEST(LoadOrderList, DecodeTrustsTheLengthNotTheCount) {
    const struct {
        const char* name;
        Bytes stored;
        setup::LoadOrderList tags;
    } cases[] = {
        {"empty", {}, {}},
        {"shorter than the count", {0x03, 0x00, 0x00}, {}},
        {"count only", Le({0}), {}},
        {"count and three tags", Le({3, 10, 20, 30}), {10, 20, 30}},
        {"count too large", Le({7, 10, 20, 30}), {10, 20, 30}},
        {"count too small", Le({1, 10, 20, 30}), {10, 20, 30}},
        {"two stray bytes", Plus(Le({3, 10, 20, 30}), {0xAA, 0xBB}), {10, 20, 30}},
        {"three stray bytes after the count", Plus(Le({5}), {0x01, 0x02, 0x03}), {}},
        {"duplicates kept", Le({3, 20, 20, 0x80000001u}), {20, 20, 0x80000001u}},
        {"little-endian", {0x01, 0, 0, 0, 0x04, 0x03, 0x02, 0x01}, {0x01020304u}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A copy of exactly the stored size, so that a read past it is caught.
        std::vector<uint8_t> exact(c.stored.begin(), c.stored.end());
        const uint8_t* data = exact.empty() ? nullptr : exact.data();
        EXPECT_EQ(c.tags, setup::DecodeLoadOrderValue(data, exact.size()));
    }
}

TEST(LoadOrderList, EncodeWritesTheRightCountLittleEndian) {
    EXPECT_EQ(Le({0}), setup::EncodeLoadOrderValue({}));
    EXPECT_EQ(Le({3, 30, 10, 20}), setup::EncodeLoadOrderValue({30, 10, 20}));
    EXPECT_EQ((Bytes{1, 0, 0, 0, 0x04, 0x03, 0x02, 0x01}), setup::EncodeLoadOrderValue({0x01020304u}));
    const Bytes stored = Plus(Le({9, 10, 20}), {0xFF});
    EXPECT_EQ(Le({2, 10, 20}), setup::EncodeLoadOrderValue(setup::DecodeLoadOrderValue(stored.data(), stored.size())));
}

TEST(LoadOrderList, TextIsSignedDecimalEachFollowedByABlank) {
    EXPECT_EQ(L"", setup::LoadOrderText({}));
    EXPECT_EQ(L"10 20 30 ", setup::LoadOrderText({10, 20, 30}));
    EXPECT_EQ(L"-1 0 ", setup::LoadOrderText({0xFFFFFFFFu, 0}));
}

TEST(LoadOrderList, RemoveAndFront) {
    setup::LoadOrderList list{20, 10, 20, 30, 20};
    setup::RemoveLoadOrderTag(list, 20);
    EXPECT_EQ((setup::LoadOrderList{10, 30}), list);
    setup::RemoveLoadOrderTag(list, 99);
    EXPECT_EQ((setup::LoadOrderList{10, 30}), list);

    setup::LoadOrderList front{10, 30, 20, 30};
    setup::MoveLoadOrderTagToFront(front, 30);
    EXPECT_EQ((setup::LoadOrderList{30, 10, 20}), front);
    setup::LoadOrderList none;
    setup::MoveLoadOrderTagToFront(none, 7);
    EXPECT_EQ((setup::LoadOrderList{7}), none);
}

TEST(LoadOrderList, AnchorIsReachedByAForwardChainFromTheFirstNamedService) {
    const struct {
        const char* name;
        setup::LoadOrderList list;
        std::vector<uint32_t> anchors;
        std::optional<std::size_t> anchor;
    } cases[] = {
        {"one anchor", {10, 20, 30}, {20}, 1},
        {"earlier anchor passed over", {10, 20, 30}, {20, 10}, 1},
        {"later anchor followed", {10, 20, 30}, {10, 30}, 2},
        {"chain through three", {10, 20, 30, 40}, {10, 30, 20, 40}, 3},
        {"absent later anchor passed over", {10, 20, 30}, {20, 99}, 1},
        {"first anchor absent", {10, 20, 30}, {40, 20}, std::nullopt},
        {"no anchors", {10, 20, 30}, {}, std::nullopt},
        {"empty list", {}, {10}, std::nullopt},
        {"first occurrence of the first anchor", {20, 10, 20}, {20}, 0},
        {"later copy found going forward", {20, 10, 30, 10}, {20, 30, 10}, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.anchor, setup::FindLoadOrderAnchor(c.list, c.anchors));
    }
}

TEST(LoadOrderList, SplitKeepsEveryEmptyPiece) {
    const std::wstring sep = L"[~]";
    const struct {
        std::wstring text;
        std::vector<std::wstring> pieces;
    } cases[] = {
        {L"", {L""}},
        {L"a", {L"a"}},
        {L"a[~]b", {L"a", L"b"}},
        {L"a[~]", {L"a", L""}},
        {L"[~]a", {L"", L"a"}},
        {L"a[~][~]b", {L"a", L"", L"b"}},
        {L"a[~b]", {L"a[~b]"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
        EXPECT_EQ(c.pieces, setup::SplitServiceNames(c.text, sep));
    }
    EXPECT_EQ(std::vector<std::wstring>{L"a[~]b"}, setup::SplitServiceNames(L"a[~]b", L""));
}
