// A MAPI32.DLL of the tests' own. Wine's MAPI32.DLL resolves any address and
// has no mail program behind it, so a test puts this DLL in the place of the
// system's (win/system_mapi.h), where the tool loads simple MAPI from. Every
// call is appended, with its arguments, as one line to
// "mapi_calls.txt" beside the DLL; the answers come from "mapi_answer.txt"
// there ("<resolve result> <send result>", both 0 when the file is absent).
// Built once more without MAPIFreeBuffer (MAPI_RECORDER_NO_FREE) for the
// "invalid DLL" case.
#include <windows.h>
#include <mapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

HMODULE g_module = nullptr;

std::string Beside(const char* name) {
    char path[MAX_PATH] = {};
    DWORD length = ::GetModuleFileNameA(g_module, path, MAX_PATH);
    std::string text(path, length);
    size_t slash = text.find_last_of('\\');
    return (slash == std::string::npos ? std::string() : text.substr(0, slash + 1)) + name;
}

void Record(const std::string& line) {
    FILE* file = std::fopen(Beside("mapi_calls.txt").c_str(), "ab");
    if (!file) return;
    std::fputs((line + "\n").c_str(), file);
    std::fclose(file);
}

void Answers(unsigned long& resolve, unsigned long& send) {
    resolve = send = 0;
    FILE* file = std::fopen(Beside("mapi_answer.txt").c_str(), "rb");
    if (!file) return;
    if (std::fscanf(file, "%lu %lu", &resolve, &send) != 2) resolve = send = 0;
    std::fclose(file);
}

std::string Text(const char* text) { return text ? "\"" + std::string(text) + "\"" : "null"; }

std::string Number(unsigned long long value) { return std::to_string(value); }

MapiRecipDesc* g_resolved = nullptr;

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_module = module;
    return TRUE;
}

__declspec(dllexport) ULONG WINAPI MAPIResolveName(LHANDLE session, ULONG_PTR uiParam, LPSTR name, FLAGS flags,
                                                   ULONG reserved, lpMapiRecipDesc* recipient) {
    unsigned long resolve = 0, send = 0;
    Answers(resolve, send);
    Record("MAPIResolveName session=" + Number(session) + " ui=" + Number(uiParam) + " name=" + Text(name) +
           " flags=" + Number(flags) + " reserved=" + Number(reserved) + " result=" + Number(resolve));
    if (resolve != 0) return resolve;
    static char resolvedName[] = "Resolved Name";
    static char resolvedAddress[] = "SMTP:resolved@example.invalid";
    static BYTE entry[4] = {1, 2, 3, 4};
    auto* desc = static_cast<MapiRecipDesc*>(std::calloc(1, sizeof(MapiRecipDesc)));
    desc->ulReserved = 7;
    desc->ulRecipClass = MAPI_TO;
    desc->lpszName = resolvedName;
    desc->lpszAddress = resolvedAddress;
    desc->ulEIDSize = sizeof entry;
    desc->lpEntryID = entry;
    g_resolved = desc;
    *recipient = desc;
    return SUCCESS_SUCCESS;
}

__declspec(dllexport) ULONG WINAPI
    MAPISendMail(LHANDLE session, ULONG_PTR uiParam, lpMapiMessage message, FLAGS flags, ULONG reserved) {
    unsigned long resolve = 0, send = 0;
    Answers(resolve, send);
    std::string line = "MAPISendMail session=" + Number(session) + " ui=" +
                       std::string(reinterpret_cast<HWND>(uiParam) == ::GetDesktopWindow() ? "desktop" : "other") +
                       " flags=" + Number(flags) + " reserved=" + Number(reserved);
    line += " subject=" + Text(message->lpszSubject) + " note=" + Text(message->lpszNoteText) +
            " originator=" + std::string(message->lpOriginator ? "set" : "null") +
            " recipients=" + Number(message->nRecipCount);
    for (ULONG i = 0; i < message->nRecipCount; ++i) {
        const MapiRecipDesc& r = message->lpRecips[i];
        line += " [class=" + Number(r.ulRecipClass) + " name=" + Text(r.lpszName) + " address=" + Text(r.lpszAddress) +
                " reserved=" + Number(r.ulReserved) + " eid=" + Number(r.ulEIDSize) +
                (g_resolved && r.lpEntryID == g_resolved->lpEntryID ? " resolved-entry" : "") + "]";
    }
    line += " files=" + Number(message->nFileCount);
    for (ULONG i = 0; i < message->nFileCount; ++i) {
        const MapiFileDesc& f = message->lpFiles[i];
        line += " [path=" + Text(f.lpszPathName) + " name=" + Text(f.lpszFileName) +
                " position=" + std::to_string(static_cast<long>(f.nPosition)) + " flags=" + Number(f.flFlags) +
                " type=" + std::string(f.lpFileType ? "set" : "null") + "]";
    }
    line += " result=" + Number(send);
    Record(line);
    return send;
}

#ifndef MAPI_RECORDER_NO_FREE
__declspec(dllexport) ULONG WINAPI MAPIFreeBuffer(LPVOID buffer) {
    Record(std::string("MAPIFreeBuffer ") + (buffer && buffer == g_resolved ? "resolved" : "other"));
    if (buffer == g_resolved) g_resolved = nullptr;
    std::free(buffer);
    return SUCCESS_SUCCESS;
}
#endif

}  // extern "C"
