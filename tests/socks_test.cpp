// Authentication record and connect header parsing, DNS classification; no
// socket is opened toward any address here.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include "src/buffers.h"
#include "src/socks.h"

namespace {
void fill(Buffers& b, const std::string& bytes) {
    b.allocate(2048);
    b.put(bytes.data(), bytes.size());
}

std::string record(const std::string& name, uint16_t size) {
    std::string r("\x03\x1A", 2);
    std::string field = name;
    field.resize(16, '\0');
    return r + field + std::string(1, static_cast<char>(size & 0xFF)) +
           std::string(1, static_cast<char>(size >> 8));
}

std::string header(uint8_t status, uint8_t proto, const std::string& addr16, uint8_t p0,
                   uint8_t p1) {
    std::string h;
    h += static_cast<char>(status);
    h += static_cast<char>(proto);
    h += addr16;
    h += static_cast<char>(p0);
    h += static_cast<char>(p1);
    return h;
}

std::string v4(const char* text) {
    std::string a(16, '\x7f');
    inet_pton(AF_INET, text, &a[0]);
    return a;
}

std::string v6(const char* text) {
    std::string a(16, '\0');
    inet_pton(AF_INET6, text, &a[0]);
    return a;
}
} // namespace

TEST(Socks, FindsRecordAfterUpgradeRequest) {
    Buffers b;
    fill(b, "GET / HTTP/1.1\r\nUpgrade: websocket\r\n\r\n" + record("alice", 300) + "tail");
    std::string name;
    unsigned short size = 0;
    EXPECT_EQ(kvr_socks_filter_auth(&b, name, size), 1);
    EXPECT_EQ(name, "alice");
    EXPECT_EQ(size, 300);
    EXPECT_EQ(b.length(), 4u);
}

TEST(Socks, RecordNeedsAllTwentyBytes) {
    Buffers b;
    std::string r = record("bob", 40);
    fill(b, r.substr(0, 19));
    std::string name;
    unsigned short size = 0;
    EXPECT_EQ(kvr_socks_filter_auth(&b, name, size), 0);
    EXPECT_EQ(b.length(), 19u);
    b.put(&r[19], 1);
    EXPECT_EQ(kvr_socks_filter_auth(&b, name, size), 1);
}

TEST(Socks, NameFieldAndZeroSize) {
    Buffers b;
    fill(b, record("abcdefghijklmnop", 1));
    std::string name;
    unsigned short size = 0;
    EXPECT_EQ(kvr_socks_filter_auth(&b, name, size), 1);
    EXPECT_EQ(name, "abcdefghijklmnop");
    std::string r = record("short", 1);
    r.replace(8, 10, "\0garbage!!", 10);
    Buffers c;
    fill(c, r);
    EXPECT_EQ(kvr_socks_filter_auth(&c, name, size), 1);
    EXPECT_EQ(name, "short");
    Buffers z;
    fill(z, record("x", 0));
    EXPECT_EQ(kvr_socks_filter_auth(&z, name, size), -1);
    EXPECT_EQ(z.length(), 20u);
}

TEST(Socks, ConnectHeaderDescriptors) {
    struct {
        std::string hdr;
        bool ok;
        int family, socktype;
        unsigned short port;
        bool dns;
    } cases[] = {
        {header(1, 0xA5, v4("10.77.77.2"), 0x35, 0), true, AF_INET, SOCK_DGRAM, 53, true},
        {header(1, 0xA5, v4("172.16.77.2"), 0x35, 0), true, AF_INET, SOCK_DGRAM, 53, true},
        {header(1, 0xA5, v4("192.168.77.2"), 0x35, 0), true, AF_INET, SOCK_DGRAM, 53, true},
        {header(1, 0xA5, v4("100.64.77.2"), 0x35, 0), true, AF_INET, SOCK_DGRAM, 53, true},
        {header(1, 0xA6, v6("fc00::2"), 0x35, 0), true, AF_INET6, SOCK_DGRAM, 53, true},
        {header(1, 0xA5, v4("10.77.77.2"), 0x36, 0), true, AF_INET, SOCK_DGRAM, 54, false},
        {header(1, 0xA3, v4("10.77.77.2"), 0x35, 0), true, AF_INET, SOCK_STREAM, 53, false},
        {header(1, 0xA5, v4("10.77.77.3"), 0x35, 0), true, AF_INET, SOCK_DGRAM, 53, false},
        {header(1, 0xA4, v6("::1"), 0x50, 0), true, AF_INET6, SOCK_STREAM, 80, false},
        {header(1, 0xA3, v4("127.0.0.1"), 0x00, 0x50), true, AF_INET, SOCK_STREAM, 20480, false},
        {header(1, 0xA2, v4("127.0.0.1"), 0x50, 0), false, 0, 0, 0, false},
        {header(1, 0xA7, v4("127.0.0.1"), 0x50, 0), false, 0, 0, 0, false},
        {header(1, 0xA3, v4("127.0.0.1"), 0, 0), false, AF_INET, SOCK_STREAM, 0, false},
    };
    for (auto& c : cases) {
        Buffers b;
        fill(b, c.hdr + "extra");
        testing::internal::CaptureStdout();
        KTUN_HDR_CONN* hdr = kvr_socks_ktun_hdr(&b);
        ASSERT_NE(hdr, nullptr);
        int family = 0, socktype = 0;
        unsigned short port = 0;
        bool dns = false;
        EXPECT_EQ(kvr_socks_ktun_desc(hdr, family, socktype, port, dns), c.ok);
        std::string out = testing::internal::GetCapturedStdout();
        if (!c.ok) {
            EXPECT_NE(out.find("[WARNING] kvr_socks_ktun_desc: invalid kavrotun"),
                      std::string::npos);
            continue;
        }
        EXPECT_EQ(family, c.family);
        EXPECT_EQ(socktype, c.socktype);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(dns, c.dns);
    }
}

TEST(Socks, StatusAndShortHeader) {
    Buffers b;
    fill(b, header(2, 0xA3, v4("127.0.0.1"), 80, 0));
    testing::internal::CaptureStdout();
    EXPECT_EQ(kvr_socks_ktun_hdr(&b), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[WARNING] kvr_socks_ktun_hdr: invalid kavrotun status descriptor\n");
    Buffers s;
    fill(s, std::string(19, '\x01'));
    EXPECT_EQ(kvr_socks_ktun_hdr(&s), nullptr);
}

TEST(Socks, DnsClassificationIsExact) {
    EXPECT_TRUE(kvr_socks_is_dns(SOCK_DGRAM, 53, "fc00::2"));
    EXPECT_FALSE(kvr_socks_is_dns(SOCK_DGRAM, 53, "fc00::3"));
    EXPECT_FALSE(kvr_socks_is_dns(SOCK_DGRAM, 53, "10.77.77.20"));
    EXPECT_FALSE(kvr_socks_is_dns(SOCK_STREAM, 53, "10.77.77.2"));
    EXPECT_FALSE(kvr_socks_is_dns(SOCK_DGRAM, 5353, "10.77.77.2"));
}

TEST(Socks, PrepareRefusesUnknownFamily) {
    uint8_t addr[16] = {127, 0, 0, 1};
    EXPECT_EQ(kvr_socks_prepare_fd(AF_UNIX, SOCK_STREAM, addr, 1), -1);
}
