// Points one of this program's import slots (__imp_Function) at a function
// of the test's own while the patch lives, and restores it afterwards. Code
// linked into the test program calls the replacement; the replacement can
// call the real function through Original(). ImportSlot finds the slot of
// another loaded module (a DLL under test), so that the DLL's own calls reach
// the replacement.
#pragma once
#include <windows.h>

#include <cstring>

namespace bx::test {

// The import slot through which `module` calls `function` of `dll` (DLL name
// compared without case), or null when the module imports no such function
// by name.
template <typename F>
F* ImportSlot(HMODULE module, const char* dll, const char* function) {
    if (!module) return nullptr;
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!imports.VirtualAddress) return nullptr;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name; ++d) {
        if (_stricmp(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
        // The names come from the lookup table; the bound slots no longer hold them.
        if (!d->OriginalFirstThunk) return nullptr;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0)
                return reinterpret_cast<F*>(&slots->u1.Function);
        }
    }
    return nullptr;
}

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
