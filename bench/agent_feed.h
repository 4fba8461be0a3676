// What the end-to-end benchmarks share: the agent's settings written into
// the settings store, the driver records they feed, a free UDP port, and the
// peer script's files read back.
#pragma once
#include <cstdint>
#include <string>

#include "agent/identity/sid.h"
#include "agent/snoop/snoop_event.h"
#include "platform/settings_store.h"

namespace bx::bench {

// A shell command with its output sent to /dev/null.
std::string Quiet(const std::string& command);
// A whole file ("" when it cannot be read).
std::string ReadWhole(const std::string& path);
// KEY's value in the "KEY=value" lines of `env` ("" when absent).
std::string EnvValue(const std::string& env, const std::string& key);
// A UDP port that nothing on this host has bound now (0 when none).
uint16_t FreeUdpPort();

void SetString(bx::settings::Key& key, const wchar_t* name, const std::wstring& text);
void SetDword(bx::settings::Key& key, const wchar_t* name, uint32_t value);

// The driver's record number `index`: an open or a clean-up of a TCP port
// of its own (16,384 ports per local address 10.1.x.y) to 93.184.216.34:443,
// in session 2 by `sid`.
snoop_event_t Record(uint32_t index, bool open, const CSid& sid);

}  // namespace bx::bench
