// RAII owners for Win32 handles, the one owner header of the tree. Each owner is
// non-copyable, movable, and knows its own empty value, so that a NULL handle
// and INVALID_HANDLE_VALUE are never confused.
#pragma once
#include <windows.h>
#include <winhttp.h>
#include <wtsapi32.h>

#include <utility>

namespace bx::win {

template <typename T, typename Traits>
class UniqueResource {
public:
    UniqueResource() noexcept = default;
    explicit UniqueResource(T value) noexcept : m_value(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : m_value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    T get() const noexcept { return m_value; }
    explicit operator bool() const noexcept { return m_value != Traits::Empty(); }
    T release() noexcept { return std::exchange(m_value, Traits::Empty()); }
    void reset(T value = Traits::Empty()) noexcept {
        T old = std::exchange(m_value, value);
        if (old != Traits::Empty()) Traits::Close(old);
    }
    // For out-parameters: releases what is held and gives the slot.
    T* put() noexcept {
        reset();
        return &m_value;
    }

private:
    T m_value = Traits::Empty();
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

struct WtsMemoryTraits {  // buffers that the terminal-services API allocates
    static void* Empty() { return nullptr; }
    static void Close(void* p) { ::WTSFreeMemory(p); }
};

struct WinHttpTraits {  // WinHTTP session, connection and request handles (link winhttp)
    static HINTERNET Empty() { return nullptr; }
    static void Close(HINTERNET h) { ::WinHttpCloseHandle(h); }
};

using UniqueHandle = UniqueResource<HANDLE, HandleTraits>;
using UniqueFile = UniqueResource<HANDLE, FileHandleTraits>;
using UniqueScHandle = UniqueResource<SC_HANDLE, ScHandleTraits>;
using UniqueScLock = UniqueResource<SC_LOCK, ScLockTraits>;
using UniqueRegKey = UniqueResource<HKEY, RegKeyTraits>;
using UniqueEventSource = UniqueResource<HANDLE, EventSourceTraits>;
using UniqueModule = UniqueResource<HMODULE, ModuleTraits>;
using UniqueLocal = UniqueResource<HLOCAL, LocalMemoryTraits>;
using UniqueWtsMemory = UniqueResource<void*, WtsMemoryTraits>;
using UniqueWinHttp = UniqueResource<HINTERNET, WinHttpTraits>;

// Runs a function when the scope ends, unless dismissed: for paired calls
// that have no handle to own (SetEvent after work, ReleaseMutex, RevertToSelf).
template <typename F>
class ScopeExit {
public:
    explicit ScopeExit(F f) noexcept : m_f(std::move(f)) {}
    ~ScopeExit() {
        if (m_armed) m_f();
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    void Dismiss() noexcept { m_armed = false; }

private:
    F m_f;
    bool m_armed = true;
};

// A critical section and its scope guard.
class CriticalSection {
public:
    CriticalSection() { ::InitializeCriticalSection(&m_cs); }
    ~CriticalSection() { ::DeleteCriticalSection(&m_cs); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void Enter() { ::EnterCriticalSection(&m_cs); }
    void Leave() { ::LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CriticalSection& cs) : m_cs(cs) { m_cs.Enter(); }
    ~CriticalSectionLock() { m_cs.Leave(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CriticalSection& m_cs;
};

}  // namespace bx::win
