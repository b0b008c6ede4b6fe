#pragma once
// Points one entry of this program's import table at a test double while
// the patch lives, for platform calls whose failures Wine never produces.
// The library code is linked into the test program, so its calls go
// through this table.

namespace ddtest {

class ImportPatch {
public:
    // Throws std::runtime_error when the program does not import the function.
    ImportPatch(const char* dll, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    void* original() const { return original_; }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

}  // namespace ddtest
