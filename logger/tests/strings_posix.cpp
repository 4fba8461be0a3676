// String library for the logger's LogId tests, natively: the table a
// resource-only DLL holds on Windows.
#include <cstdint>

extern "C" __attribute__((visibility("default"))) const wchar_t* BXLogStringTable(uint32_t id) {
    switch (id) {
        case 1000:
            return L"User %s logged %d times";
        case 1001:
            return L"";
        default:
            return nullptr;
    }
}
