// Configuration file: defaults, key-by-key validation, rewrites, resolver list.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"
#include "src/config.h"

namespace {
std::string config_text(const std::string& dir, const std::string& override_key = "",
                        const std::string& override_value = "") {
    std::vector<std::pair<std::string, std::string>> members = {
        {"tcp_std", "[80]"},
        {"tcp_ssl", "[443]"},
        {"ssl_cert", "\"" + dir + "/cert.pem\""},
        {"ssl_key", "\"" + dir + "/key.pem\""},
        {"ssl_version", "\"AUTO\""},
        {"conn_timeout", "60"},
        {"dns_resolver", "\"" + dir + "/resolv.conf\""},
        {"http_ok", "\"HTTP/1.1 200 OK[crlf][crlf]\""},
    };
    std::string text = "{";
    for (auto& m : members) {
        std::string value = m.first == override_key ? override_value : m.second;
        text += "\"" + m.first + "\": " + value + ",\n";
    }
    text += "\"unused\": 1}";
    return text;
}

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("KAVROD_DIR", dir.path().c_str(), 1);
        dir.write("resolv.conf", "nameserver 127.0.0.1\n");
    }
    void TearDown() override { unsetenv("KAVROD_DIR"); }
    // Loads the configuration with standard output captured.
    std::string load(Config& config) {
        testing::internal::CaptureStdout();
        config.load_config();
        return testing::internal::GetCapturedStdout();
    }
    harness::TempDir dir;
};

bool has(const std::string& out, const std::string& line) {
    return out.find(line + "\n") != std::string::npos;
}
} // namespace

TEST_F(ConfigTest, MissingFileGetsTheDefaults) {
    Config config;
    std::string out = load(config);
    std::string d = dir.path() + "/";
    EXPECT_EQ(
        dir.read("config.json"),
        "{\n\t\"tcp_std\": [\n\t\t80\n\t],\n\t\"tcp_ssl\": [\n\t\t443\n\t],\n\t\"ssl_cert\": \"" +
            d + "cert.pem\",\n\t\"ssl_key\": \"" + d +
            "key.pem\",\n\t\"ssl_version\": \"AUTO\",\n"
            "\t\"conn_timeout\": 60,\n\t\"dns_resolver\": \"/etc/resolv.conf\",\n\t\"http_ok\": "
            "\"HTTP/1.1 101 Switching Protocols[crlf]Upgrade: websocket[crlf]Connection: "
            "Upgrade[crlf][crlf]\"\n}");
    EXPECT_EQ(dir.mode("config.json"), 0600u);
    size_t warn =
        out.find("[WARNING] forcing write default config to file: " + d + "config.json\n");
    size_t path = out.find("[INFO] config path: " + d + "config.json\n");
    ASSERT_NE(warn, std::string::npos) << out;
    EXPECT_LT(warn, path);
    EXPECT_TRUE(has(out, "[INFO] config tcp_std: [80]"));
    EXPECT_TRUE(has(out, "[INFO] config http_ok: HTTP/1.1 101 Switching Protocols[crlf]Upgrade: "
                         "websocket[crlf]Connection: Upgrade[crlf][crlf]"));
    EXPECT_EQ(out.find("bak"), std::string::npos) << "nothing to keep for a missing file";
    EXPECT_EQ(
        config.http_ok,
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n");
}

TEST_F(ConfigTest, ValidFileIsUsedAndLeftAlone) {
    std::string text = config_text(dir.path());
    dir.write("config.json", text);
    chmod(dir.file("config.json").c_str(), 0644);
    Config config;
    std::string out = load(config);
    EXPECT_EQ(dir.read("config.json"), text);
    EXPECT_EQ(dir.mode("config.json"), 0644u);
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
    EXPECT_EQ(config.http_ok, "HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_FALSE(dir.exists("config.json.bak"));
}

struct BadSetting {
    const char* key;
    const char* value;
    const char* error;
};

class ConfigSettingTest : public ConfigTest, public ::testing::WithParamInterface<BadSetting> {};

TEST_P(ConfigSettingTest, InvalidSettingIsReportedAndFileRewritten) {
    const BadSetting& p = GetParam();
    std::string original = config_text(dir.path(), p.key, p.value);
    dir.write("config.json", original);
    Config config;
    std::string out = load(config);
    EXPECT_TRUE(has(out, std::string("[ERROR] ") + p.error)) << out;
    EXPECT_TRUE(has(out, "[WARNING] forcing write possible current config to file: " +
                             dir.file("config.json")));
    EXPECT_EQ(dir.read("config.json.bak"), original) << "the operator's file is kept";
    EXPECT_TRUE(has(out, "[WARNING] load_config: previous config file kept as " +
                             dir.file("config.json.bak")));
    EXPECT_EQ(dir.read("config.json").find("unused"), std::string::npos);
    EXPECT_EQ(dir.mode("config.json"), 0600u);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ConfigSettingTest,
    ::testing::Values(
        BadSetting{"tcp_std", "[80, 0, 8080]",
                   "config_key: tcp_std, value: 0 isn't in range (1-65535)"},
        BadSetting{"tcp_std", "\"80\"", "config_key: tcp_std, isn't array value: 80"},
        BadSetting{"tcp_std", "[\"80\"]", "config_key: tcp_std, value: 80 is not valid number"},
        BadSetting{"tcp_ssl", "[65536]",
                   "config_key: tcp_ssl, value: 65536 isn't in range (1-65535)"},
        BadSetting{"ssl_cert", "\"\"", "config_key: ssl_cert, doesn't contain path value"},
        BadSetting{"ssl_key", "7", "config_key: ssl_key, isn't string value"},
        BadSetting{"ssl_version", "3", "config_key: ssl_version, isn't string value"},
        BadSetting{"conn_timeout", "4", "config_key: conn_timeout, value: 4 isn't in range (5-60)"},
        BadSetting{"conn_timeout", "61",
                   "config_key: conn_timeout, value: 61 isn't in range (5-60)"},
        BadSetting{"conn_timeout", "\"30\"", "config_key: conn_timeout, isn't number value"},
        BadSetting{"dns_resolver", "[]", "config_key: dns_resolver, isn't string value"},
        BadSetting{"http_ok", "null", "config_key: http_ok, isn't string value"}));

TEST_F(ConfigTest, PortsReadBeforeTheBadOneAreKept) {
    dir.write("config.json", config_text(dir.path(), "tcp_std", "[80, 0, 8080]"));
    Config config;
    load(config);
    EXPECT_EQ(config.tcp_std, std::vector<int>{80});
    std::string text = dir.read("config.json");
    EXPECT_NE(text.find("\"tcp_std\": [\n\t\t80\n\t]"), std::string::npos) << text;
    EXPECT_NE(text.find("HTTP/1.1 101 Switching"), std::string::npos)
        << "later keys revert to defaults";
}

TEST_F(ConfigTest, AcceptedValues) {
    // Each value is taken without a warning and shows in the settings dump as given.
    struct {
        const char* key;
        const char* value;
        const char* logged;
        const char* reply = nullptr; // the reply bytes in use, when checked
    } cases[] = {
        {"tcp_std", "[]", "[INFO] config tcp_std: []"},
        {"conn_timeout", "5", "[INFO] config conn_timeout: 5"},
        {"conn_timeout", "30.9", "[INFO] config conn_timeout: 30"},
        {"ssl_version", "\"TLSv1_2\"", "[INFO] config ssl_version: TLSv1_2"},
        {"ssl_version", "\"tls1.3\"", "[INFO] config ssl_version: AUTO"},
        {"http_ok", "\"\"", "[INFO] config http_ok: "},
        {"http_ok", "\"A\\r\\nB[lf]\"", "[INFO] config http_ok: A[crlf]B[lf]", "A\r\nB\n"}};
    for (auto& c : cases) {
        dir.write("config.json", config_text(dir.path(), c.key, c.value));
        Config config;
        std::string out = load(config);
        EXPECT_EQ(out.find("WARNING"), std::string::npos) << c.key << c.value << out;
        EXPECT_TRUE(has(out, c.logged)) << c.logged << "\n" << out;
        if (c.reply != nullptr) {
            EXPECT_EQ(config.http_ok, c.reply);
        }
    }
}

TEST_F(ConfigTest, BrokenOrArrayFileIsReplacedByDefaults) {
    dir.write("config.json", "{\"tcp_std\": [80], \"tcp_std\": [81]}");
    Config config;
    std::string out = load(config);
    EXPECT_TRUE(has(out, "[ERROR] read_config_file: config file isn't valid: Key conflict")) << out;
    EXPECT_TRUE(
        has(out, "[WARNING] forcing write default config to file: " + dir.file("config.json")));
    EXPECT_EQ(dir.read("config.json.bak"), "{\"tcp_std\": [80], \"tcp_std\": [81]}");

    dir.write("config.json", "[1, 2]");
    Config arr;
    out = load(arr);
    EXPECT_TRUE(has(out, "[ERROR] config_key: tcp_std, doesn't contain key")) << out;
    EXPECT_EQ(dir.read("config.json").substr(0, 14), "{\n\t\"tcp_std\": ");
}

TEST_F(ConfigTest, UnwritableFileEndsTheProcess) {
    setenv("KAVROD_DIR", (dir.path() + "/missing-dir").c_str(), 1);
    pid_t pid = fork();
    if (pid == 0) {
        Config config;
        config.load_config();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST_F(ConfigTest, ResolverLines) {
    dir.write("r1",
              "# comment\nsearch lan\n#nameserver 8.8.4.4\nnameserver 1.1.1.1\r\n"
              "NameServer\t9.9.9.9\nnameserver 1.1.1.1 # home\nnameserver2001:4860:4860::8888\n"
              "nameserver fe80::1%eth0");
    Config config;
    testing::internal::CaptureStdout();
    config.read_dns_resolv_file(dir.file("r1"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[INFO] read_dns_resolv_file: add local_dns 1.1.1.1:53\n"
                   "[INFO] read_dns_resolv_file: add local_dns 9.9.9.9:53\n"
                   "[WARNING] read_dns_resolv_file: skiping unsupported local dns 1.1.1.1#home\n"
                   "[INFO] read_dns_resolv_file: add local_dns 2001:4860:4860::8888:53\n"
                   "[WARNING] read_dns_resolv_file: skiping unsupported local dns fe80::1%eth0\n");
    ASSERT_EQ(config.local_dns.size(), 3u);
    EXPECT_EQ(config.local_dns[2].family, AF_INET6);
    EXPECT_EQ(config.local_dns_index(AF_INET), 0);
    EXPECT_EQ(config.local_dns_index(AF_INET6), 2);
    EXPECT_EQ(config.dns_resolver, dir.file("r1"));
}

TEST_F(ConfigTest, ResolverChoiceAndFallback) {
    dir.write("v6first", "nameserver 2001:4860:4860::8888\nnameserver 1.1.1.1");
    Config both;
    testing::internal::CaptureStdout();
    both.read_dns_resolv_file(dir.file("v6first"));
    EXPECT_EQ(both.local_dns_index(AF_INET), 1);
    EXPECT_EQ(both.local_dns_index(AF_INET6), 0);
    Config v6only;
    dir.write("v6", "nameserver ::1\n");
    v6only.read_dns_resolv_file(dir.file("v6"));
    EXPECT_EQ(v6only.local_dns_index(AF_INET), 0);
    Config none;
    none.read_dns_resolv_file(dir.file("missing"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(has(
        out, "[WARNING] read_dns_resolv_file: local dns is empty or maybe wrong resolv.conf file, "
             "force using default dns (8.8.8.8:53)"));
    ASSERT_EQ(none.local_dns.size(), 1u);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, none.local_dns[0].address, text, sizeof(text));
    EXPECT_STREQ(text, "8.8.8.8");
    testing::internal::CaptureStdout();
    both.read_dns_resolv_file(dir.file("missing"));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(both.local_dns.size(), 2u) << "no fallback once entries exist";
}

TEST(ConfigTokens, PayloadRoundTrip) {
    std::string s = "a\\r\\nb[cr]c[lf]d[crlf]e[lfcr]f";
    Config::payload_format(s);
    EXPECT_EQ(s, "a\r\nb\rc\nd\r\ne\n\rf");
    Config::payload_string(s);
    EXPECT_EQ(s, "a[crlf]b[cr]c[lf]d[crlf]e[lfcr]f");
    std::string name;
    for (int v = 0; v <= 6; ++v) {
        Config::ssl_version_string(static_cast<KVR_SSL>(v), name);
        std::string copy = name;
        EXPECT_EQ(Config::ssl_version_enum(copy), v <= 5 ? v : 5) << name;
    }
}
