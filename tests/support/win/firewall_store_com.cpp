// firewall_store.dll: the tests' own Windows Firewall COM server (see
// tests/support/win/firewall_store.h). Globally open ports live in the
// registry below kFirewallStoreKey, one subkey "<protocol>-<port>" per entry
// with Name, Port, Protocol and Enabled, so that every process of the test's
// prefix sees the same list. Only what a program needs to keep open ports is
// implemented; the rest answers E_NOTIMPL.
#include <windows.h>
#include <netfw.h>

#include <cstdio>
#include <new>
#include <string>

#include "platform/win/handles.h"
#include "tests/support/win/firewall_store.h"

namespace {

const CLSID kClsidNetFwMgr = {0x304ce942, 0x6e39, 0x40d8, {0x94, 0x3a, 0xb9, 0x13, 0xc4, 0x0c, 0x9c, 0xd4}};
const CLSID kClsidNetFwOpenPort = {0x0ca545c6, 0x37ad, 0x4a6c, {0xbf, 0x92, 0x9f, 0x76, 0x10, 0x06, 0x7e, 0xf5}};

LONG g_objects = 0;

// IUnknown and IDispatch (no type information) for one interface I.
template <typename I>
class Object : public I {
public:
    Object() { InterlockedIncrement(&g_objects); }
    virtual ~Object() { InterlockedDecrement(&g_objects); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(I)) {
            *out = static_cast<I*>(this);
            this->AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count) *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

private:
    LONG refs_ = 1;
};

class OpenPort : public Object<INetFwOpenPort> {
public:
    std::wstring name;
    NET_FW_IP_VERSION ipVersion = NET_FW_IP_VERSION_ANY;
    NET_FW_IP_PROTOCOL protocol = NET_FW_IP_PROTOCOL_TCP;
    LONG port = 0;
    NET_FW_SCOPE scope = NET_FW_SCOPE_ALL;
    std::wstring remote = L"*";
    VARIANT_BOOL enabled = VARIANT_TRUE;

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* out) override { return Copy(name, out); }
    HRESULT STDMETHODCALLTYPE put_Name(BSTR in) override {
        name = in ? in : L"";
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_IpVersion(NET_FW_IP_VERSION* out) override { return Get(ipVersion, out); }
    HRESULT STDMETHODCALLTYPE put_IpVersion(NET_FW_IP_VERSION in) override {
        ipVersion = in;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Protocol(NET_FW_IP_PROTOCOL* out) override { return Get(protocol, out); }
    HRESULT STDMETHODCALLTYPE put_Protocol(NET_FW_IP_PROTOCOL in) override {
        if (in != NET_FW_IP_PROTOCOL_TCP && in != NET_FW_IP_PROTOCOL_UDP) return E_INVALIDARG;
        protocol = in;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Port(LONG* out) override { return Get(port, out); }
    HRESULT STDMETHODCALLTYPE put_Port(LONG in) override {
        if (in < 1 || in > 65535) return E_INVALIDARG;  // as the system's firewall refuses it
        port = in;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Scope(NET_FW_SCOPE* out) override { return Get(scope, out); }
    HRESULT STDMETHODCALLTYPE put_Scope(NET_FW_SCOPE in) override {
        scope = in;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_RemoteAddresses(BSTR* out) override { return Copy(remote, out); }
    HRESULT STDMETHODCALLTYPE put_RemoteAddresses(BSTR in) override {
        remote = in ? in : L"";
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* out) override { return Get(enabled, out); }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL in) override {
        enabled = in;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_BuiltIn(VARIANT_BOOL* out) override { return Get<VARIANT_BOOL>(VARIANT_FALSE, out); }

private:
    template <typename T>
    static HRESULT Get(T value, T* out) {
        if (!out) return E_POINTER;
        *out = value;
        return S_OK;
    }
    static HRESULT Copy(const std::wstring& text, BSTR* out) {
        if (!out) return E_POINTER;
        *out = SysAllocString(text.c_str());
        return *out ? S_OK : E_OUTOFMEMORY;
    }
};

std::wstring EntryKey(LONG protocol, LONG port) {
    wchar_t name[64];
    std::swprintf(name, 64, L"%ld-%ld", static_cast<long>(protocol), static_cast<long>(port));
    return std::wstring(bx::test::kFirewallStoreKey) + L"\\" + name;
}

class OpenPorts : public Object<INetFwOpenPorts> {
public:
    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
        if (!count) return E_POINTER;
        *count = static_cast<LONG>(bx::test::ReadOpenPorts().size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Add(INetFwOpenPort* entry) override {
        if (!entry) return E_POINTER;
        bx::test::OpenPortEntry stored;
        LONG port = 0;
        NET_FW_IP_PROTOCOL protocol = NET_FW_IP_PROTOCOL_TCP;
        VARIANT_BOOL enabled = VARIANT_FALSE;
        BSTR name = nullptr;
        HRESULT hr;
        if (FAILED(hr = entry->get_Port(&port)) || FAILED(hr = entry->get_Protocol(&protocol)) ||
            FAILED(hr = entry->get_Enabled(&enabled)) || FAILED(hr = entry->get_Name(&name)))
            return hr;
        bx::win::UniqueBstr owned(name);
        if (port == 0) return E_INVALIDARG;
        stored.name = name ? name : L"";
        stored.port = port;
        stored.protocol = protocol;
        stored.enabled = enabled != VARIANT_FALSE;
        // The system's collection replaces an entry for the same port and protocol.
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, EntryKey(protocol, port).c_str());
        bx::test::AddOpenPort(stored);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Remove(LONG port, NET_FW_IP_PROTOCOL protocol) override {
        LONG error = RegDeleteTreeW(HKEY_LOCAL_MACHINE, EntryKey(protocol, port).c_str());
        return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error);
    }
    HRESULT STDMETHODCALLTYPE Item(LONG port, NET_FW_IP_PROTOCOL protocol, INetFwOpenPort** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        for (const bx::test::OpenPortEntry& e : bx::test::ReadOpenPorts()) {
            if (e.port != port || e.protocol != protocol) continue;
            auto* entry = new (std::nothrow) OpenPort;
            if (!entry) return E_OUTOFMEMORY;
            entry->name = e.name;
            entry->port = e.port;
            entry->protocol = static_cast<NET_FW_IP_PROTOCOL>(e.protocol);
            entry->enabled = e.enabled ? VARIANT_TRUE : VARIANT_FALSE;
            *out = entry;
            return S_OK;
        }
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
};

class Profile : public Object<INetFwProfile> {
public:
    HRESULT STDMETHODCALLTYPE get_Type(NET_FW_PROFILE_TYPE* type) override {
        if (!type) return E_POINTER;
        *type = NET_FW_PROFILE_STANDARD;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_FirewallEnabled(VARIANT_BOOL* on) override {
        if (!on) return E_POINTER;
        *on = VARIANT_TRUE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_FirewallEnabled(VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_ExceptionsNotAllowed(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ExceptionsNotAllowed(VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_NotificationsDisabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_NotificationsDisabled(VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_UnicastResponsesToMulticastBroadcastDisabled(VARIANT_BOOL*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE put_UnicastResponsesToMulticastBroadcastDisabled(VARIANT_BOOL) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_RemoteAdminSettings(INetFwRemoteAdminSettings**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_IcmpSettings(INetFwIcmpSettings**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_GloballyOpenPorts(INetFwOpenPorts** out) override {
        if (!out) return E_POINTER;
        *out = new (std::nothrow) OpenPorts;
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_Services(INetFwServices**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_AuthorizedApplications(INetFwAuthorizedApplications**) override { return E_NOTIMPL; }
};

class Policy : public Object<INetFwPolicy> {
public:
    HRESULT STDMETHODCALLTYPE get_CurrentProfile(INetFwProfile** out) override {
        if (!out) return E_POINTER;
        *out = new (std::nothrow) Profile;
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE GetProfileByType(NET_FW_PROFILE_TYPE, INetFwProfile** out) override {
        return get_CurrentProfile(out);
    }
};

class Manager : public Object<INetFwMgr> {
public:
    HRESULT STDMETHODCALLTYPE get_LocalPolicy(INetFwPolicy** out) override {
        if (!out) return E_POINTER;
        *out = new (std::nothrow) Policy;
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_CurrentProfileType(NET_FW_PROFILE_TYPE* type) override {
        if (!type) return E_POINTER;
        *type = NET_FW_PROFILE_STANDARD;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RestoreDefaults() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsPortAllowed(BSTR, NET_FW_IP_VERSION, LONG, BSTR, NET_FW_IP_PROTOCOL, VARIANT*,
                                            VARIANT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE IsIcmpTypeAllowed(NET_FW_IP_VERSION, BSTR, BYTE, VARIANT*, VARIANT*) override {
        return E_NOTIMPL;
    }
};

class Factory : public IClassFactory {
public:
    explicit Factory(bool manager) : manager_(manager) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // static objects
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        IUnknown* object = manager_ ? static_cast<IUnknown*>(new (std::nothrow) Manager)
                                    : static_cast<IUnknown*>(new (std::nothrow) OpenPort);
        if (!object) return E_OUTOFMEMORY;
        HRESULT hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    bool manager_;
};

Factory g_managerFactory(true);
Factory g_openPortFactory(false);

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (clsid == kClsidNetFwMgr) return g_managerFactory.QueryInterface(iid, out);
    if (clsid == kClsidNetFwOpenPort) return g_openPortFactory.QueryInterface(iid, out);
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() { return g_objects == 0 ? S_OK : S_FALSE; }
