// The agent installation's id (value HVNGUID under HKLM\SOFTWARE\Brontavex\HVNAgent):
// created once with a new UUID and read back at every later start. Portable:
// the store is the platform's settings store, the new UUID comes from the
// caller (Windows: UuidCreate and UuidToStringW).
#pragma once
#include <functional>
#include <string>

namespace bx::feedback {

constexpr wchar_t kAgentKeyPath[] = L"SOFTWARE\\Brontavex\\HVNAgent";
constexpr wchar_t kInstallationIdValue[] = L"HVNGUID";
constexpr size_t kInstallationIdLength = 36;

// Gives a new UUID's 36-character text form; false when none can be made.
using NewUuidText = std::function<bool(std::wstring&)>;

// The stored id, cut to its first 36 characters, in upper case. When no id
// is stored (or the stored one is empty), a new UUID's text is stored as
// HVNGUID (REG_SZ, its 36 characters without a terminator, 72 bytes) and
// used. Empty when no id could be read, made or stored.
std::wstring ReadOrCreateInstallationId(const NewUuidText& newUuid);

}  // namespace bx::feedback
