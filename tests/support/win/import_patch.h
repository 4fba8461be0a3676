// Points one of this program's import slots (__imp_Function) at a function
// of the test's own while the patch lives, and restores it afterwards. Code
// linked into the test program calls the replacement; the replacement can
// call the real function through Original().
#pragma once
#include <windows.h>

namespace bx::test {

template <typename F>
class ImportPatch {
public:
    ImportPatch(F& slot, F replacement) : slot_(slot), original_(slot) { Set(replacement); }
    ~ImportPatch() { Set(original_); }
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;
    F Original() const { return original_; }

private:
    void Set(F value) {
        DWORD old = 0;
        VirtualProtect(&slot_, sizeof slot_, PAGE_READWRITE, &old);
        slot_ = value;
        VirtualProtect(&slot_, sizeof slot_, old, &old);
    }
    F& slot_;
    F original_;
};

}  // namespace bx::test
