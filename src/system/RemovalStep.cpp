#include "system/RemovalStep.h"

namespace setup {

RemovalStep DecideRemoval(uint32_t attributes, bool recursive) {
    const bool folder = (attributes & file_attribute::Directory) != 0;
    // A reparse point is decided before the folder bit: a junction also
    // carries the folder bit, and following it would delete another folder's
    // files with system rights.
    if ((attributes & file_attribute::ReparsePoint) != 0) {
        return folder ? RemovalStep::RemoveLink : RemovalStep::DeleteFile;
    }
    if (folder) {
        return recursive ? RemovalStep::Descend : RemovalStep::Leave;
    }
    return RemovalStep::DeleteFile;
}

}  // namespace setup
