// The Windows Firewall's globally open ports, through its COM interfaces
// (INetFwMgr -> INetFwPolicy -> INetFwProfile -> INetFwOpenPorts).
#pragma once
#include <windows.h>
#include <netfw.h>

#include <string>

#include "platform/win/handles.h"

// Class and interface ids the tool creates (written out, so that no GUID
// library has to define them).
extern const CLSID kClsidNetFwMgr;       // {304CE942-6E39-40D8-943A-B913C40C9CD4}
extern const IID kIidINetFwMgr;          // {F7898AF5-CAC4-4632-A2EC-DA06E5111AF2}
extern const CLSID kClsidNetFwOpenPort;  // {0CA545C6-37AD-4A6C-BF92-9F7610067EF5}
extern const IID kIidINetFwOpenPort;     // {E0483BA0-47FF-4D9C-A6D6-7741D0B195F7}

// The current profile of the local policy.
HRESULT InitFireWall(bx::win::ComPtr<INetFwProfile>& profile);
// Open only when an entry for the UDP port exists and is enabled; a failed
// look-up means "not open" and is not an error.
HRESULT FireWallPortIsOpen(INetFwProfile* profile, LONG port, bool& open);
// Adds a globally open UDP port named `name`, unless it is open already.
HRESULT FireWallPortAdd(INetFwProfile* profile, LONG port, const std::wstring& name);
// Removes the globally open UDP port when it is open.
HRESULT FireWallPortRemove(INetFwProfile* profile, LONG port);
