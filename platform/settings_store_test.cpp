// The settings store answers as the registry does. Under Wine these cases run
// against the real registry, natively against the in-memory store; each case
// works in a key of its own so that cases may run in parallel.
#include "platform/settings_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"

namespace bx::settings {
namespace {

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = info->name();
        path_ = L"SOFTWARE\\Brontavex\\PlatformTest\\" + std::wstring(name.begin(), name.end());
        DeleteKeyTree(path_.c_str());
    }
    void TearDown() override { DeleteKeyTree(path_.c_str()); }

    std::wstring path_;
};

TEST_F(SettingsStore, AbsentKeyAndValueGiveFileNotFound) {
    Key key;
    EXPECT_EQ(err::kFileNotFound, OpenKey(path_.c_str(), Access::Query, key));
    EXPECT_FALSE(key.IsOpen());

    ASSERT_EQ(err::kSuccess, CreateKey(path_.c_str(), Access::QueryAndSet, key));
    ASSERT_TRUE(key.IsOpen());
    uint32_t size = 4, data = 0;
    EXPECT_EQ(err::kFileNotFound, key.QueryValue(L"nothing", nullptr, &data, &size));
    EXPECT_EQ(err::kFileNotFound, key.DeleteValue(L"nothing"));
    // An opened key stays reachable by a second, query-only open.
    Key again;
    EXPECT_EQ(err::kSuccess, OpenKey(path_.c_str(), Access::Query, again));
    // A subkey that was never created is absent.
    EXPECT_EQ(err::kFileNotFound, OpenKey((path_ + L"\\Sub").c_str(), Access::Query, again));
}

TEST_F(SettingsStore, ValuesKeepTypeAndExactBytes) {
    Key key;
    ASSERT_EQ(err::kSuccess, CreateKey(path_.c_str(), Access::Set, key));
    const uint32_t dword = 0x12345678;
    const wchar_t text[] = L"10.1.2.3";  // stored with its terminating NUL
    const uint8_t bytes[3] = {1, 2, 3};
    ASSERT_EQ(err::kSuccess, key.SetValue(L"d", kTypeDword, &dword, 4));
    ASSERT_EQ(err::kSuccess, key.SetValue(L"s", kTypeString, text, sizeof text));
    ASSERT_EQ(err::kSuccess, key.SetValue(L"b", kTypeBinary, bytes, 3));
    ASSERT_EQ(err::kSuccess, key.SetValue(L"empty", kTypeString, nullptr, 0));

    ASSERT_EQ(err::kSuccess, OpenKey(path_.c_str(), Access::Query, key));
    uint32_t type = 0, size = 0;
    uint8_t buffer[64];

    size = sizeof buffer;
    ASSERT_EQ(err::kSuccess, key.QueryValue(L"d", &type, buffer, &size));
    EXPECT_EQ(kTypeDword, type);
    EXPECT_EQ(4u, size);
    EXPECT_EQ(0, std::memcmp(buffer, "\x78\x56\x34\x12", 4));

    size = sizeof buffer;
    ASSERT_EQ(err::kSuccess, key.QueryValue(L"s", &type, buffer, &size));
    EXPECT_EQ(kTypeString, type);
    EXPECT_EQ(sizeof text, size);
    EXPECT_EQ(0, std::memcmp(buffer, text, sizeof text));

    size = sizeof buffer;
    ASSERT_EQ(err::kSuccess, key.QueryValue(L"b", &type, buffer, &size));
    EXPECT_EQ(kTypeBinary, type);
    EXPECT_EQ(3u, size);

    size = sizeof buffer;
    ASSERT_EQ(err::kSuccess, key.QueryValue(L"empty", &type, buffer, &size));
    EXPECT_EQ(kTypeString, type);
    EXPECT_EQ(0u, size);

    // Size only: no buffer, the stored size comes back.
    size = 0;
    ASSERT_EQ(err::kSuccess, key.QueryValue(L"s", &type, nullptr, &size));
    EXPECT_EQ(sizeof text, size);
}

TEST_F(SettingsStore, SmallBufferGivesMoreDataWithNeededSize) {
    Key key;
    ASSERT_EQ(err::kSuccess, CreateKey(path_.c_str(), Access::QueryAndSet, key));
    std::wstring text(3000, L'k');
    uint32_t bytes = static_cast<uint32_t>((text.size() + 1) * sizeof(wchar_t));
    ASSERT_EQ(err::kSuccess, key.SetValue(L"long", kTypeString, text.c_str(), bytes));

    uint8_t small[2048];
    uint32_t size = sizeof small;
    EXPECT_EQ(err::kMoreData, key.QueryValue(L"long", nullptr, small, &size));
    EXPECT_EQ(bytes, size);

    const uint64_t qword = 7;
    ASSERT_EQ(err::kSuccess, key.SetValue(L"q", kTypeQword, &qword, 8));
    uint32_t four = 0;
    size = 4;
    EXPECT_EQ(err::kMoreData, key.QueryValue(L"q", nullptr, &four, &size));
    EXPECT_EQ(8u, size);
}

TEST_F(SettingsStore, ValueNamesAndPathsIgnoreCase) {
    Key key;
    ASSERT_EQ(err::kSuccess, CreateKey(path_.c_str(), Access::QueryAndSet, key));
    const uint32_t one = 1, two = 2;
    ASSERT_EQ(err::kSuccess, key.SetValue(L"verbose", kTypeDword, &one, 4));
    ASSERT_EQ(err::kSuccess, key.SetValue(L"Verbose", kTypeDword, &two, 4));  // the same value

    std::wstring upper = path_;
    for (auto& c : upper) c = static_cast<wchar_t>(towupper(c));
    Key other;
    ASSERT_EQ(err::kSuccess, OpenKey(upper.c_str(), Access::Query, other));
    uint32_t value = 0, size = 4;
    ASSERT_EQ(err::kSuccess, other.QueryValue(L"VERBOSE", nullptr, &value, &size));
    EXPECT_EQ(2u, value);
    EXPECT_EQ(err::kSuccess, key.DeleteValue(L"vErBoSe"));
    size = 4;
    EXPECT_EQ(err::kFileNotFound, other.QueryValue(L"verbose", nullptr, &value, &size));

    // Beyond ASCII as well: Latin-1, Latin Extended-A, Greek, Cyrillic.
    ASSERT_EQ(err::kSuccess, key.SetValue(L"Gr\u00FC\u00DFe \u0142\u017A \u03C9 \u0436\u0451", kTypeDword, &one, 4));
    size = 4;
    ASSERT_EQ(err::kSuccess,
              other.QueryValue(L"GR\u00DC\u00DFE \u0141\u0179 \u03A9 \u0416\u0401", nullptr, &value, &size));
    EXPECT_EQ(1u, value);
}

TEST_F(SettingsStore, AccessIsCheckedPerHandle) {
    Key writer;
    ASSERT_EQ(err::kSuccess, CreateKey(path_.c_str(), Access::Set, writer));
    const uint32_t one = 1;
    ASSERT_EQ(err::kSuccess, writer.SetValue(L"v", kTypeDword, &one, 4));
    uint32_t value = 0, size = 4;
    EXPECT_EQ(err::kAccessDenied, writer.QueryValue(L"v", nullptr, &value, &size));

    Key reader;
    ASSERT_EQ(err::kSuccess, OpenKey(path_.c_str(), Access::Query, reader));
    EXPECT_EQ(err::kAccessDenied, reader.SetValue(L"v", kTypeDword, &one, 4));
    EXPECT_EQ(err::kAccessDenied, reader.DeleteValue(L"v"));
}

TEST_F(SettingsStore, DeleteTreeRemovesSubkeysAndKeyOwnsHandle) {
    Key key;
    ASSERT_EQ(err::kSuccess, CreateKey((path_ + L"\\A\\B").c_str(), Access::Set, key));
    const uint32_t one = 1;
    ASSERT_EQ(err::kSuccess, key.SetValue(L"v", kTypeDword, &one, 4));
    key.Close();
    EXPECT_FALSE(key.IsOpen());
    // Parents were created on the way.
    EXPECT_EQ(err::kSuccess, OpenKey((path_ + L"\\A").c_str(), Access::Query, key));

    Key moved(std::move(key));
    EXPECT_FALSE(key.IsOpen());
    EXPECT_TRUE(moved.IsOpen());
    moved = Key();
    EXPECT_FALSE(moved.IsOpen());

    EXPECT_EQ(err::kSuccess, DeleteKeyTree(path_.c_str()));
    EXPECT_EQ(err::kFileNotFound, OpenKey((path_ + L"\\A\\B").c_str(), Access::Query, key));
    EXPECT_EQ(err::kFileNotFound, OpenKey(path_.c_str(), Access::Query, key));
    EXPECT_EQ(err::kFileNotFound, DeleteKeyTree(path_.c_str()));
}

TEST_F(SettingsStore, HandleToADeletedKeyAnswersKeyDeletedEvenWhenMadeAnew) {
    Key writer, reader;
    ASSERT_EQ(err::kSuccess, CreateKey(path_.c_str(), Access::QueryAndSet, writer));
    const uint32_t one = 1, two = 2;
    ASSERT_EQ(err::kSuccess, writer.SetValue(L"v", kTypeDword, &one, 4));
    ASSERT_EQ(err::kSuccess, OpenKey(path_.c_str(), Access::Query, reader));

    ASSERT_EQ(err::kSuccess, DeleteKeyTree(path_.c_str()));
    Key fresh;
    ASSERT_EQ(err::kSuccess, CreateKey(path_.c_str(), Access::QueryAndSet, fresh));
    ASSERT_EQ(err::kSuccess, fresh.SetValue(L"v", kTypeDword, &two, 4));

    // ERROR_KEY_DELETED for the handles of the old key, whatever was made since.
    const uint32_t kKeyDeleted = 1018;
    uint32_t value = 0, size = 4;
    EXPECT_EQ(kKeyDeleted, reader.QueryValue(L"v", nullptr, &value, &size));
    EXPECT_EQ(kKeyDeleted, writer.SetValue(L"v", kTypeDword, &one, 4));
    // The same path, spelled as before, opens the new key.
    ASSERT_EQ(err::kSuccess, OpenKey(path_.c_str(), Access::Query, reader));
    size = 4;
    ASSERT_EQ(err::kSuccess, reader.QueryValue(L"v", nullptr, &value, &size));
    EXPECT_EQ(2u, value);
}

// Readers open, query and close while the key is deleted and made anew: each
// answer is a value, an absent key or value, or a deleted key, never garbage.
TEST_F(SettingsStore, ReadsWhileTheKeyIsDeletedAndMadeAnew) {
    const uint32_t kMarker = 0x5EED;
    auto makeKey = [this, kMarker] {
        Key key;
        ASSERT_EQ(err::kSuccess, CreateKey(path_.c_str(), Access::Set, key));
        ASSERT_EQ(err::kSuccess, key.SetValue(L"v", kTypeDword, &kMarker, 4));
    };
    makeKey();
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0}, read{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                Key key;
                if (OpenKey(path_.c_str(), Access::Query, key) != err::kSuccess) continue;
                uint32_t value = 0, size = 4;
                uint32_t result = key.QueryValue(L"V", nullptr, &value, &size);
                if (result == err::kSuccess && value == kMarker)
                    ++read;
                else if (result != err::kFileNotFound && result != 1018)
                    ++unexpected;
            }
        });
    }
    // At least 200 rounds, and on until the readers have seen the value a
    // few times (bounded, should the readers never be scheduled).
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int round = 0; round < 200 || (read.load() < 50 && std::chrono::steady_clock::now() < giveUp); ++round) {
        DeleteKeyTree(path_.c_str());
        makeKey();
    }
    stop = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(0, unexpected.load());
    EXPECT_GT(read.load(), 0);
}

}  // namespace
}  // namespace bx::settings
