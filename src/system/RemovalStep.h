#pragma once
// What a recursive removal does with one entry it finds, from the entry's
// file attributes alone. Free of Win32: the attribute bits are the
// documented FILE_ATTRIBUTE_* values.

#include <cstdint>

namespace setup {

namespace file_attribute {
constexpr uint32_t Directory = 0x10;
constexpr uint32_t ReparsePoint = 0x400;
}  // namespace file_attribute

enum class RemovalStep {
    DeleteFile,   // a file, or a link to a file: the entry itself goes
    RemoveLink,   // a junction or a link to a folder: the link goes, never what it points to
    Descend,      // a real folder: its entries first, then the folder
    Leave,        // a real folder of a removal that does not recurse
};

RemovalStep DecideRemoval(uint32_t attributes, bool recursive);

}  // namespace setup
