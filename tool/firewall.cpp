#include "tool/firewall.h"

const CLSID kClsidNetFwMgr = {0x304ce942, 0x6e39, 0x40d8, {0x94, 0x3a, 0xb9, 0x13, 0xc4, 0x0c, 0x9c, 0xd4}};
const IID kIidINetFwMgr = {0xf7898af5, 0xcac4, 0x4632, {0xa2, 0xec, 0xda, 0x06, 0xe5, 0x11, 0x1a, 0xf2}};
const CLSID kClsidNetFwOpenPort = {0x0ca545c6, 0x37ad, 0x4a6c, {0xbf, 0x92, 0x9f, 0x76, 0x10, 0x06, 0x7e, 0xf5}};
const IID kIidINetFwOpenPort = {0xe0483ba0, 0x47ff, 0x4d9c, {0xa6, 0xd6, 0x77, 0x41, 0xd0, 0xb1, 0x95, 0xf7}};

using bx::win::ComPtr;

HRESULT InitFireWall(ComPtr<INetFwProfile>& profile) {
    profile.reset();
    ComPtr<INetFwMgr> manager;
    HRESULT hr = ::CoCreateInstance(kClsidNetFwMgr, nullptr, CLSCTX_INPROC_SERVER, kIidINetFwMgr, manager.put_void());
    if (FAILED(hr)) return hr;
    ComPtr<INetFwPolicy> policy;
    hr = manager->get_LocalPolicy(policy.put());
    if (FAILED(hr)) return hr;
    if (!policy) return E_POINTER;
    hr = policy->get_CurrentProfile(profile.put());
    if (SUCCEEDED(hr) && !profile) hr = E_POINTER;
    return hr;
}

HRESULT FireWallPortIsOpen(INetFwProfile* profile, LONG port, bool& open) {
    open = false;
    if (!profile) return E_POINTER;
    ComPtr<INetFwOpenPorts> ports;
    HRESULT hr = profile->get_GloballyOpenPorts(ports.put());
    if (FAILED(hr)) return hr;
    if (!ports) return E_POINTER;
    ComPtr<INetFwOpenPort> entry;
    if (FAILED(ports->Item(port, NET_FW_IP_PROTOCOL_UDP, entry.put())) || !entry) return S_OK;
    VARIANT_BOOL enabled = VARIANT_FALSE;
    hr = entry->get_Enabled(&enabled);
    if (FAILED(hr)) return hr;
    open = enabled != VARIANT_FALSE;
    return S_OK;
}

HRESULT FireWallPortAdd(INetFwProfile* profile, LONG port, const std::wstring& name) {
    bool open = false;
    HRESULT hr = FireWallPortIsOpen(profile, port, open);
    if (FAILED(hr)) return hr;
    if (open) return S_OK;
    ComPtr<INetFwOpenPorts> ports;
    hr = profile->get_GloballyOpenPorts(ports.put());
    if (FAILED(hr)) return hr;
    if (!ports) return E_POINTER;
    ComPtr<INetFwOpenPort> entry;
    hr = ::CoCreateInstance(kClsidNetFwOpenPort, nullptr, CLSCTX_INPROC_SERVER, kIidINetFwOpenPort, entry.put_void());
    if (FAILED(hr)) return hr;
    if (FAILED(hr = entry->put_Port(port))) return hr;
    if (FAILED(hr = entry->put_Protocol(NET_FW_IP_PROTOCOL_UDP))) return hr;
    bx::win::UniqueBstr text(::SysAllocString(name.c_str()));
    if (!text) return E_OUTOFMEMORY;
    if (FAILED(hr = entry->put_Name(text.get()))) return hr;
    return ports->Add(entry.get());
}

HRESULT FireWallPortRemove(INetFwProfile* profile, LONG port) {
    bool open = false;
    HRESULT hr = FireWallPortIsOpen(profile, port, open);
    if (FAILED(hr) || !open) return hr;
    ComPtr<INetFwOpenPorts> ports;
    hr = profile->get_GloballyOpenPorts(ports.put());
    if (FAILED(hr)) return hr;
    if (!ports) return E_POINTER;
    return ports->Remove(port, NET_FW_IP_PROTOCOL_UDP);
}
