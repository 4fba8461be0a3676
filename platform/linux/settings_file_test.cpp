// The settings file: what it may hold, what the file itself must be, and the
// values as the settings store then answers them.
#include "platform/linux/settings_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/settings_store.h"
#include "tests/support/posix/linux_host.h"

namespace bx::settings {
namespace {

TEST(AgentConf, ReadsEveryValueAsTheRegistryHoldsIt) {
    AgentConf conf;
    std::string error;
    ASSERT_EQ(0u, ParseAgentConf("# the appliance\n"
                                 "  IP = utm-1.example.com   # its name\n"
                                 "port=4500\r\n"
                                 "key = 0123456789abcdef\n"
                                 "\n"
                                 "timeout = 30\nRETRIES=0\nverbose = 1\ncgroup = /sys/fs/cgroup/users\n",
                                 conf, error))
        << error;
    ASSERT_EQ(6u, conf.values.size());
    EXPECT_EQ(L"ip", conf.values[0].name);
    EXPECT_EQ(kTypeString, conf.values[0].type);
    std::vector<uint8_t> ip;
    for (char c : std::string("utm-1.example.com")) ip.insert(ip.end(), {static_cast<uint8_t>(c), 0});
    ip.insert(ip.end(), {0, 0});
    EXPECT_EQ(ip, conf.values[0].data);
    EXPECT_EQ(L"port", conf.values[1].name);
    EXPECT_EQ(kTypeDword, conf.values[1].type);
    EXPECT_EQ((std::vector<uint8_t>{0x94, 0x11, 0, 0}), conf.values[1].data);
    EXPECT_EQ(L"TimeOut", conf.values[3].name);  // the canonical spelling
    EXPECT_EQ(L"Retries", conf.values[4].name);
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0}), conf.values[4].data);
    EXPECT_EQ("/sys/fs/cgroup/users", conf.cgroup);
}

TEST(AgentConf, RefusesMalformedLinesNamingThem) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"port 4500\n", "line 1: expected \"name = value\", not \"port 4500\""},
        {"ip = 10.0.0.1\nprot = 4500\n", "line 2: unknown setting \"prot\""},
        {"port = 70000\n", "line 1: port must be a number from 1 to 65535, not \"70000\""},
        {"port = 0\n", "port must be a number from 1 to 65535"},
        {"port = -1\n", "port must be a number from 1 to 65535"},
        {"TimeOut = 0\n", "TimeOut must be a number from 1 to 3600"},
        {"Retries = 101\n", "Retries must be a number from 0 to 100"},
        {"verbose = yes\n", "verbose must be a number from 0 to 1"},
        {"key = 0123456789abcde\n", "key must be an even number of hexadecimal digits, at most 16, not 15"},
        {"key = 0123456789abcdef01\n", "at most 16, not 18 characters"},
        {"key = 01234567zz\n", "key must be an even number"},
        {"ip = 10.0.0.256\n", "ip must be a dotted IPv4 address or a host name, not \"10.0.0.256\""},
        {"ip = utm 1\n", "ip must be a dotted IPv4 address"},
        {"ip =\n", "ip must be"},
        {"port = 1\nPORT = 2\n", "line 2: port is given twice (first on line 1)"},
        {"cgroup = users\n", "cgroup must be an absolute path"},
        {"ip = caf\xc3\xa9\n", "only printable ASCII characters are allowed: \"ip = caf\\xC3\\xA9\""},
    };
    for (const Case& c : cases) {
        AgentConf conf;
        std::string error;
        EXPECT_EQ(err::kInvalidData, ParseAgentConf(c.text, conf, error)) << c.text;
        EXPECT_NE(std::string::npos, error.find(c.error)) << c.text << " gave: " << error;
        EXPECT_TRUE(conf.values.empty());
    }
}

class AgentConfFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0u, geteuid()) << "the settings file's checks are made as root";
        char pattern[] = "/tmp/bxhvns-conf-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
        path = dir + "/agent.conf";
    }
    void TearDown() override { bx::test::Shell("rm -rf " + dir); }
    void Write(const std::string& text, mode_t mode) {
        FILE* f = fopen(path.c_str(), "w");
        ASSERT_NE(nullptr, f);
        fputs(text.c_str(), f);
        fclose(f);
        ASSERT_EQ(0, chmod(path.c_str(), mode));
    }
    std::string dir, path;
};

TEST_F(AgentConfFile, OnlyRootMayReadIt) {
    AgentConf conf;
    std::string error;
    EXPECT_EQ(err::kFileNotFound, ReadAgentConf(path, conf, error));
    EXPECT_EQ(path + " does not exist", error);

    Write("ip = 10.0.0.1\nkey = 00112233\n", 0644);
    EXPECT_EQ(err::kAccessDenied, ReadAgentConf(path, conf, error));
    EXPECT_EQ(path + " has mode 0644: it holds the shared key, so only root may read it (chmod 600 " + path + ")",
              error);
    ASSERT_EQ(0, chmod(path.c_str(), 0640));
    EXPECT_EQ(err::kAccessDenied, ReadAgentConf(path, conf, error));

    ASSERT_EQ(0, chmod(path.c_str(), 0600));
    ASSERT_EQ(0, chown(path.c_str(), 65534, 0));
    EXPECT_EQ(err::kAccessDenied, ReadAgentConf(path, conf, error));
    EXPECT_NE(std::string::npos, error.find("belongs to uid 65534, not to root")) << error;
    ASSERT_EQ(0, chown(path.c_str(), 0, 0));

    const std::string link = dir + "/link.conf";
    ASSERT_EQ(0, symlink(path.c_str(), link.c_str()));
    EXPECT_EQ(err::kAccessDenied, ReadAgentConf(link, conf, error));
    EXPECT_NE(std::string::npos, error.find("is a symbolic link")) << error;

    ASSERT_EQ(0u, ReadAgentConf(path, conf, error)) << error;
    EXPECT_EQ(2u, conf.values.size());

    Write("ip = 10.0.0.1\nport = x\n", 0400);
    EXPECT_EQ(err::kInvalidData, ReadAgentConf(path, conf, error));
    EXPECT_EQ(path + ": line 2: port must be a number from 1 to 65535, not \"x\"", error);
}

TEST(AgentConfStore, StoreHoldsExactlyTheFileValues) {
    const wchar_t kPath[] = L"SOFTWARE\\BxTest\\ConfStore";
    AgentConf first, second;
    std::string error;
    ASSERT_EQ(0u, ParseAgentConf("ip = 10.0.0.1\nport = 4500\nverbose = 1\n", first, error));
    ASSERT_EQ(0u, StoreAgentConf(kPath, first));
    ASSERT_EQ(0u, ParseAgentConf("port = 4600\n", second, error));
    ASSERT_EQ(0u, StoreAgentConf(kPath, second));

    Key key;
    ASSERT_EQ(0u, OpenKey(kPath, Access::Query, key));
    uint32_t type = 0, value = 0, size = sizeof value;
    ASSERT_EQ(0u, key.QueryValue(L"Port", &type, &value, &size));
    EXPECT_EQ(kTypeDword, type);
    EXPECT_EQ(4600u, value);
    size = sizeof value;
    EXPECT_EQ(err::kFileNotFound, key.QueryValue(L"verbose", &type, &value, &size));  // gone with the old file
    EXPECT_EQ(err::kFileNotFound, key.QueryValue(L"ip", nullptr, nullptr, &size));
    DeleteKeyTree(L"SOFTWARE\\BxTest");
}

}  // namespace
}  // namespace bx::settings
