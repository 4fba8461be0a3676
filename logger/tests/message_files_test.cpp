// The event message files, read the way an event viewer reads them: each
// DLL loaded as a data file, FormatMessageW with the event id and the
// event's insertion strings. EvtMessages.dll (BXLogger's event source) and
// bxhvns.DLL (the agent service's) are built beside the test program.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/win/handles.h"
#include "tests/support/win/process_runner.h"

using bx::win::UniqueModule;

namespace {

UniqueModule LoadMessageFile(const wchar_t* name) {
    std::wstring path = bx::test::ExeDirectory() + name;
    UniqueModule module(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    EXPECT_TRUE(module) << "LoadLibraryExW Error:" << GetLastError();
    return module;
}

// The text of `id` with the insertion strings, line ends removed; "" when
// the file has no such message.
std::wstring Format(HMODULE module, DWORD id, const wchar_t* first, const wchar_t* second = L"") {
    DWORD_PTR strings[] = {reinterpret_cast<DWORD_PTR>(first), reinterpret_cast<DWORD_PTR>(second)};
    wchar_t text[2048];
    DWORD n =
        FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id,
                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, 2048, reinterpret_cast<va_list*>(strings));
    std::wstring out(text, n);
    while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r')) out.pop_back();
    return out;
}

}  // namespace

// The logger reports event id 0 of every type; its text is the one insertion
// string alone.
TEST(MessageFiles, EvtMessagesShowTheInsertionStringForEveryType) {
    UniqueModule module = LoadMessageFile(L"EvtMessages.dll");
    ASSERT_TRUE(module);
    for (DWORD id : {0x00000000u, 0x40000000u, 0x80000000u, 0xC0000000u})
        EXPECT_EQ(std::wstring(L"Failed to open device driver Error:2"),
                  Format(module.get(), id, L"Failed to open device driver Error:2"))
            << std::hex << id;
    EXPECT_EQ(std::wstring(), Format(module.get(), 1, L"x"));  // nothing else
}

TEST(MessageFiles, AgentMessageFileHasATextForEveryServiceEvent) {
    UniqueModule module = LoadMessageFile(L"bxhvns.DLL");
    ASSERT_TRUE(module);
    const wchar_t name[] = L"Brontavex Halvern";
    const wchar_t error[] = L"BX Halvern: 5, Access is denied.";
    const struct {
        DWORD id;
        const wchar_t* insertion;
        const wchar_t* text;
    } kEvents[] = {
        {0x40000001, name, L"The Brontavex Halvern service was started."},
        {0x40000002, name, L"The Brontavex Halvern service was installed."},
        {0x40000003, name, L"The Brontavex Halvern service was stopped."},
        {0x40000004, name, L"The Brontavex Halvern service was paused."},
        {0x40000005, name, L"The Brontavex Halvern service was continued."},
        {0x40000009, name, L"The Brontavex Halvern service was told that the system is shutting down."},
        {0xC0000006, error,
         L"The service could not connect to the Service Control Manager. BX Halvern: 5, Access is denied."},
        {0xC0000007, error,
         L"The service could not be opened in the Service Control Manager. BX Halvern: 5, Access is denied."},
        {0xC0000008, error, L"The service could not be deleted. BX Halvern: 5, Access is denied."},
        {0xC0000009, error, L"The service failed. BX Halvern: 5, Access is denied."},
        {0xC000000A, error, L"The service could not be started. BX Halvern: 5, Access is denied."},
        {0xC000000B, L"1053", L"The service could not be stopped. Error code: 1053"},
        {0xC000000C, error, L"The service could not be continued. BX Halvern: 5, Access is denied."},
        {0xC000000D, error, L"The service could not be paused. BX Halvern: 5, Access is denied."},
        {0xC000000F, error, L"The service status could not be queried. BX Halvern: 5, Access is denied."},
    };
    for (const auto& e : kEvents)
        EXPECT_EQ(std::wstring(e.text), Format(module.get(), e.id, e.insertion)) << std::hex << e.id;
    // The wait failure carries the error text and the state waited for.
    EXPECT_EQ(std::wstring(L"The service did not reach state 4 in time. BX Halvern: 1460, This operation returned "
                           L"because the timeout period expired."),
              Format(module.get(), 0xC000000E,
                     L"BX Halvern: 1460, This operation returned because the timeout period expired.", L"4"));
    // An id the framework never writes has no text.
    EXPECT_EQ(std::wstring(), Format(module.get(), 0x40000006, name));
}
