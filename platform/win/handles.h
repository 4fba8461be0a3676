// RAII owners for Win32 handles, the one owner header of the tree. Each owner is
// non-copyable, movable, and knows its own empty value, so that a NULL handle
// and INVALID_HANDLE_VALUE are never confused.
#pragma once
#include <windows.h>
#include <msi.h>
#include <oleauto.h>
#include <winhttp.h>
#include <wtsapi32.h>

#include <utility>

namespace bx::win {

template <typename T, typename Traits>
class UniqueResource {
public:
    UniqueResource() noexcept = default;
    explicit UniqueResource(T value) noexcept : value_(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    T get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::Empty(); }
    T release() noexcept { return std::exchange(value_, Traits::Empty()); }
    void reset(T value = Traits::Empty()) noexcept {
        T old = std::exchange(value_, value);
        if (old != Traits::Empty()) Traits::Close(old);
    }
    // For out-parameters: releases what is held and gives the slot.
    T* put() noexcept {
        reset();
        return &value_;
    }

private:
    T value_ = Traits::Empty();
};

struct HandleTraits {  // kernel objects whose empty value is NULL (events, threads, processes)
    static HANDLE Empty() { return nullptr; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct FileHandleTraits {  // CreateFile: empty value INVALID_HANDLE_VALUE
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct ScHandleTraits {
    static SC_HANDLE Empty() { return nullptr; }
    static void Close(SC_HANDLE h) { ::CloseServiceHandle(h); }
};
struct ScLockTraits {
    static SC_LOCK Empty() { return nullptr; }
    static void Close(SC_LOCK l) { ::UnlockServiceDatabase(l); }
};
struct FindFileTraits {  // FindFirstFileW: empty value INVALID_HANDLE_VALUE
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::FindClose(h); }
};
struct RegKeyTraits {
    static HKEY Empty() { return nullptr; }
    static void Close(HKEY k) { ::RegCloseKey(k); }
};
struct EventSourceTraits {
    static HANDLE Empty() { return nullptr; }
    static void Close(HANDLE h) { ::DeregisterEventSource(h); }
};
struct ModuleTraits {
    static HMODULE Empty() { return nullptr; }
    static void Close(HMODULE m) { ::FreeLibrary(m); }
};
struct LocalMemoryTraits {
    static HLOCAL Empty() { return nullptr; }
    static void Close(HLOCAL p) { ::LocalFree(p); }
};

struct GdiObjectTraits {  // fonts, brushes, bitmaps
    static HGDIOBJ Empty() { return nullptr; }
    static void Close(HGDIOBJ o) { ::DeleteObject(o); }
};

struct BstrTraits {  // COM strings
    static BSTR Empty() { return nullptr; }
    static void Close(BSTR s) { ::SysFreeString(s); }
};

struct WtsMemoryTraits {  // buffers that the terminal-services API allocates
    static void* Empty() { return nullptr; }
    static void Close(void* p) { ::WTSFreeMemory(p); }
};

struct WinHttpTraits {  // WinHTTP session, connection and request handles (link winhttp)
    static HINTERNET Empty() { return nullptr; }
    static void Close(HINTERNET h) { ::WinHttpCloseHandle(h); }
};

struct MsiHandleTraits {  // Windows Installer handles: records, views, databases (link msi)
    static MSIHANDLE Empty() { return 0; }
    static void Close(MSIHANDLE h) { ::MsiCloseHandle(h); }
};

using UniqueHandle = UniqueResource<HANDLE, HandleTraits>;
using UniqueFile = UniqueResource<HANDLE, FileHandleTraits>;
using UniqueFindFile = UniqueResource<HANDLE, FindFileTraits>;
using UniqueScHandle = UniqueResource<SC_HANDLE, ScHandleTraits>;
using UniqueScLock = UniqueResource<SC_LOCK, ScLockTraits>;
using UniqueRegKey = UniqueResource<HKEY, RegKeyTraits>;
using UniqueEventSource = UniqueResource<HANDLE, EventSourceTraits>;
using UniqueModule = UniqueResource<HMODULE, ModuleTraits>;
using UniqueLocal = UniqueResource<HLOCAL, LocalMemoryTraits>;
using UniqueWtsMemory = UniqueResource<void*, WtsMemoryTraits>;
using UniqueGdiObject = UniqueResource<HGDIOBJ, GdiObjectTraits>;
using UniqueBstr = UniqueResource<BSTR, BstrTraits>;
using UniqueMsiHandle = UniqueResource<MSIHANDLE, MsiHandleTraits>;

// An owned reference to a COM interface: Release when the owner goes.
template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : p_(other.release()) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = other.release();
        }
        return *this;
    }
    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    T* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept {
        if (T* old = std::exchange(p_, nullptr)) old->Release();
    }
    // For out-parameters: releases what is held and gives the slot.
    T** put() noexcept {
        reset();
        return &p_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

private:
    T* p_ = nullptr;
};

// Closes a file now, for a writer that must know whether its data reached the
// file: 0, or the error of CloseHandle. The owner is empty afterwards.
inline DWORD CloseNow(UniqueFile& file) noexcept {
    HANDLE handle = file.release();
    if (handle != INVALID_HANDLE_VALUE && !::CloseHandle(handle)) return ::GetLastError();
    return 0;
}
using UniqueWinHttp = UniqueResource<HINTERNET, WinHttpTraits>;

// Runs a function when the scope ends, unless dismissed: for paired calls
// that have no handle to own (SetEvent after work, ReleaseMutex, RevertToSelf).
template <typename F>
class ScopeExit {
public:
    explicit ScopeExit(F f) noexcept : f_(std::move(f)) {}
    ~ScopeExit() {
        if (armed_) f_();
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    void Dismiss() noexcept { armed_ = false; }

private:
    F f_;
    bool armed_ = true;
};

// A critical section and its scope guard.
class CriticalSection {
public:
    CriticalSection() { ::InitializeCriticalSection(&cs_); }
    ~CriticalSection() { ::DeleteCriticalSection(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void Enter() { ::EnterCriticalSection(&cs_); }
    void Leave() { ::LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_;
};

class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
    ~CriticalSectionLock() { cs_.Leave(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CriticalSection& cs_;
};

}  // namespace bx::win
