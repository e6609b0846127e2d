// The service end to end: real binary, real sockets, loopback only.
#include "service_fixture.h"

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return s;
}

// Sends `data` in client segments of up to 2020 bytes and reads the echo back,
// checking every server segment's size; bounded in-flight data keeps both
// directions moving without a second thread.
void echo_through(tunnel::Client& c, const std::string& data, size_t window = 65536) {
    size_t sent = 0, received = 0;
    std::string echoed;
    while (received < data.size()) {
        while (sent < data.size() && sent - received < window) {
            size_t n = std::min<size_t>(2020, data.size() - sent);
            ASSERT_TRUE(c.send_segment(data.substr(sent, n)));
            sent += n;
        }
        std::string plain;
        size_t sealed = 0;
        ASSERT_TRUE(c.recv_segment(plain, 10000, &sealed)) << "after " << received << " bytes";
        ASSERT_LE(plain.size(), 2018u);
        ASSERT_EQ(sealed, plain.size() + 28);
        echoed += plain;
        received += plain.size();
    }
    EXPECT_TRUE(echoed == data) << "echo differs";
}

} // namespace

struct EchoCase {
    bool tls;
    bool empty_reply;
    size_t size;
};

class TcpEchoTest : public ServiceTest, public ::testing::WithParamInterface<EchoCase> {};

TEST_P(TcpEchoTest, BytesComeBackUnchanged) {
    const EchoCase& p = GetParam();
    harness::EchoServer echo(harness::EchoServer::TCP, "127.0.0.1");
    ASSERT_TRUE(echo.ok());
    add_user("alice", "secret");
    ServiceOptions o;
    int port = harness::free_port();
    (p.tls ? o.tls : o.plain).push_back(port);
    if (p.empty_reply) o.http_ok = "";
    ASSERT_TRUE(start(o)) << service->output();
    auto c = client(port, p.tls);
    ASSERT_TRUE(c);
    ASSERT_TRUE(c->open_tunnel("alice", "secret", 0xA3, "127.0.0.1", static_cast<uint16_t>(echo.port())));
    echo_through(*c, pattern(p.size, 3));
}

INSTANTIATE_TEST_SUITE_P(Sizes, TcpEchoTest,
                         ::testing::Values(EchoCase{false, false, 1}, EchoCase{false, false, 2018},
                                           EchoCase{false, false, 2021}, EchoCase{false, true, 5000},
                                           EchoCase{false, false, 3 << 20}, EchoCase{true, false, 1},
                                           EchoCase{true, true, 2019}, EchoCase{true, false, 5000},
                                           EchoCase{true, false, 3 << 20}));
