// A Windows Firewall of the tests' own. Wine's firewall COM objects accept
// every call and store nothing, so a program's open-port changes cannot be
// seen there. firewall_store.dll is an in-process COM server that answers
// under the same class ids (the manager {304CE942-...} and the open port
// {0CA545C6-...}) with INetFwMgr, INetFwPolicy, INetFwProfile,
// INetFwOpenPorts and INetFwOpenPort, and keeps the globally open ports in
// the registry of the test's prefix (below kFirewallStoreKey), so that the
// test process sees what the program under test changed and can seed entries.
//
// FirewallStoreRegistration points the two class ids at the DLL for as long
// as it lives and puts Wine's own registration back afterwards.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace bx::test {

constexpr wchar_t kFirewallStoreKey[] = L"SOFTWARE\\BXTest\\FirewallStore\\GloballyOpenPorts";

struct OpenPortEntry {
    std::wstring name;
    long port = 0;
    long protocol = 17;  // NET_FW_IP_PROTOCOL_UDP
    bool enabled = true;
};

// The entries stored, in no particular order.
std::vector<OpenPortEntry> ReadOpenPorts();
void ClearOpenPorts();
void AddOpenPort(const OpenPortEntry& entry);

class FirewallStoreRegistration {
public:
    // dllPath: the full path of firewall_store.dll.
    explicit FirewallStoreRegistration(const std::wstring& dllPath);
    ~FirewallStoreRegistration();
    FirewallStoreRegistration(const FirewallStoreRegistration&) = delete;
    FirewallStoreRegistration& operator=(const FirewallStoreRegistration&) = delete;
    bool Ok() const { return ok_; }

private:
    struct Saved {
        std::wstring clsid;
        bool existed = false;
        std::wstring server;
        std::wstring threading;
    };
    std::vector<Saved> saved_;
    bool ok_ = false;
};

}  // namespace bx::test
