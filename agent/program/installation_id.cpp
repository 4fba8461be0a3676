#include "agent/program/installation_id.h"

#include <cstdint>
#include <cwctype>
#include <vector>

#include "agent/settings/settings_reader.h"
#include "platform/settings_store.h"

namespace bx::feedback {

std::wstring ReadOrCreateInstallationId(const NewUuidText& newUuid) {
    std::wstring id;
    {
        SettingsReader reader(kAgentKeyPath);
        reader.String(kInstallationIdValue, id);
    }
    if (id.size() > kInstallationIdLength) id.resize(kInstallationIdLength);

    if (id.empty()) {
        std::wstring created;
        if (!newUuid || !newUuid(created) || created.size() < kInstallationIdLength) return std::wstring();
        created.resize(kInstallationIdLength);
        settings::Key key;
        if (settings::CreateKey(kAgentKeyPath, settings::Access::Set, key) != 0) return std::wstring();
        // UTF-16LE without the terminator: 72 bytes. The registry extends the
        // count of a string value by its terminator when one follows the
        // counted bytes in memory, so what follows them is no terminator.
        std::vector<uint8_t> bytes = StoredBytesFromText(created);
        bytes[kInstallationIdLength * 2] = 0xFF;
        bytes[kInstallationIdLength * 2 + 1] = 0xFF;
        if (key.SetValue(kInstallationIdValue, settings::kTypeString, bytes.data(),
                         static_cast<uint32_t>(kInstallationIdLength * 2)) != 0)
            return std::wstring();
        id = created;
    }

    for (wchar_t& c : id) c = static_cast<wchar_t>(std::towupper(c));
    return id;
}

}  // namespace bx::feedback
