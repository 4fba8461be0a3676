#include "tool/save_dialog.h"

#include <shobjidl.h>

#include <vector>

#include "platform/win/handles.h"

namespace bx::ui {

std::wstring ShowSaveDialog(HWND owner, const SaveDialogOptions& options) {
    HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    bx::win::ScopeExit uninitialize([com] {
        if (SUCCEEDED(com)) ::CoUninitialize();
    });
    bx::win::ComPtr<IFileSaveDialog> dialog;
    if (FAILED(::CoCreateInstance(CLSID_FileSaveDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IFileSaveDialog,
                                  dialog.put_void())))
        return std::wstring();

    // "A|a|B|b|" -> {A, a}, {B, b}
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (size_t bar; (bar = options.filter.find(L'|', start)) != std::wstring::npos; start = bar + 1)
        parts.push_back(options.filter.substr(start, bar - start));
    std::vector<COMDLG_FILTERSPEC> specs;
    for (size_t i = 0; i + 1 < parts.size(); i += 2)
        if (!parts[i].empty()) specs.push_back({parts[i].c_str(), parts[i + 1].c_str()});
    if (!specs.empty()) dialog->SetFileTypes(static_cast<UINT>(specs.size()), specs.data());

    FILEOPENDIALOGOPTIONS flags = 0;
    dialog->GetOptions(&flags);
    flags |= FOS_OVERWRITEPROMPT | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST;
    if (options.noChangeDirectory) flags |= FOS_NOCHANGEDIR;
    dialog->SetOptions(flags);
    if (!options.title.empty()) dialog->SetTitle(options.title.c_str());
    if (!options.defaultExtension.empty()) dialog->SetDefaultExtension(options.defaultExtension.c_str());
    if (!options.defaultName.empty()) dialog->SetFileName(options.defaultName.c_str());

    if (FAILED(dialog->Show(owner))) return std::wstring();  // cancelled
    bx::win::ComPtr<IShellItem> item;
    if (FAILED(dialog->GetResult(item.put()))) return std::wstring();
    wchar_t* path = nullptr;
    if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) || !path) return std::wstring();
    std::wstring result = path;
    ::CoTaskMemFree(path);
    return result;
}

}  // namespace bx::ui
