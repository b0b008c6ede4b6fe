#include <gtest/gtest.h>

#include <cstdint>

#include "system/RemovalStep.h"

namespace {

using setup::RemovalStep;

TEST(RemovalStep, LinksAreRemovedAsLinksNeverFollowed) {
    struct Case {
        uint32_t attributes;
        bool recursive;
        RemovalStep step;
    } const cases[] = {
        {0x20, true, RemovalStep::DeleteFile},     // archive file
        {0x80, false, RemovalStep::DeleteFile},    // normal file
        {0x10, true, RemovalStep::Descend},        // folder
        {0x10, false, RemovalStep::Leave},
        {0x410, true, RemovalStep::RemoveLink},    // junction or folder link (what Wine shows for a Linux link)
        {0x410, false, RemovalStep::RemoveLink},
        {0x416, true, RemovalStep::RemoveLink},    // hidden system junction
        {0x420, true, RemovalStep::DeleteFile},    // link to a file
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.step, setup::DecideRemoval(c.attributes, c.recursive)) << std::hex << c.attributes << " " << c.recursive;
    }
}

}  // namespace
