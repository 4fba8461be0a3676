// CZLib: a zip archive written through minizip's zip writer (deflate,
// level 9), one file per entry, entry names without folders.
#pragma once
#include <string>

class CZLib {
public:
    CZLib() = default;
    ~CZLib() { Close(); }
    CZLib(const CZLib&) = delete;
    CZLib& operator=(const CZLib&) = delete;

    // Creates a new archive at `path` (replacing a file of that name); true
    // when created.
    bool Open(const std::wstring& path);
    // Adds the file as an entry named after its last path part, dated with
    // its last-write time (local time, DOS format). The file is opened
    // without sharing, so no one writes it meanwhile; a file that cannot be
    // opened or read adds no entry. True when the entry was written.
    bool AddFile(const std::wstring& path);
    // Closes the archive with no global comment; true when it was open and
    // its central directory was written (only then does it hold its entries).
    bool Close();

private:
    void* zip_ = nullptr;  // zipFile
};
