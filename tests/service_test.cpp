// The service end to end: real binary, real sockets, loopback only.
#include "service_fixture.h"

#include <chrono>
#include <csignal>
#include <set>
#include <sys/resource.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return s;
}

// Sends `data` in client segments of up to 2020 bytes and reads the echo back,
// checking every server segment's size; bounded in-flight data keeps both
// directions moving without a second thread.
void echo_through(tunnel::Client& c, const std::string& data, size_t window = 65536,
                  int pause_ms = 0) {
    size_t sent = 0, received = 0;
    std::string echoed;
    while (received < data.size()) {
        bool refilled = false;
        while (sent < data.size() && sent - received < window) {
            size_t n = std::min<size_t>(2020, data.size() - sent);
            ASSERT_TRUE(c.send_segment(data.substr(sent, n)));
            sent += n;
            refilled = true;
        }
        if (refilled && pause_ms > 0) usleep(static_cast<useconds_t>(pause_ms) * 1000);
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
    ASSERT_TRUE(c->open_tunnel("alice", "secret", 0xA3, "127.0.0.1", echo.port()));
    echo_through(*c, pattern(p.size, 3));
}

INSTANTIATE_TEST_SUITE_P(Sizes, TcpEchoTest,
                         ::testing::Values(EchoCase{false, false, 1}, EchoCase{false, false, 2018},
                                           EchoCase{false, false, 2021},
                                           EchoCase{false, true, 5000},
                                           EchoCase{false, false, 3 << 20},
                                           EchoCase{true, false, 1}, EchoCase{true, true, 2019},
                                           EchoCase{true, false, 5000},
                                           EchoCase{true, false, 3 << 20}),
                         [](const ::testing::TestParamInfo<EchoCase>& info) {
                             return std::string(info.param.tls ? "tls" : "plain") +
                                    (info.param.empty_reply ? "_noreply_" : "_") +
                                    std::to_string(info.param.size);
                         });

TEST_F(ServiceTest, RecordAndSegmentsArriveInSmallPieces) {
    harness::EchoServer echo(harness::EchoServer::TCP, "127.0.0.1");
    add_user("bob", "pw");
    ServiceOptions o;
    o.debug = true;
    int port = start_one(o, false);
    ASSERT_GT(port, 0) << service->output();
    auto c = client(port, false);
    ASSERT_TRUE(c);
    std::string reply;
    ASSERT_TRUE(c->recv_exact(c->reply.size(), reply));
    c->key = tunnel::sha256("pw");
    std::string segment =
        tunnel::seal(c->key, tunnel::connect_header(0xA3, "127.0.0.1", echo.port()));
    std::string bytes = "GET / HTTP/1.1\r\n\r\n" +
                        tunnel::auth_record("bob", static_cast<uint16_t>(segment.size())) + segment;
    for (char ch : bytes) {
        ASSERT_TRUE(c->send_raw(std::string(1, ch)));
        usleep(2000);
    }
    std::string answer;
    ASSERT_TRUE(c->recv_exact(4, answer));
    EXPECT_EQ(answer, std::string("\x03\x02\x00\x00", 4));
    EXPECT_TRUE(service->wait_for("relay-server->do_connect->read_client: pending 0"));
    // one data segment split byte by byte, then two segments in one write
    std::string sealed = tunnel::seal(c->key, "piecewise");
    std::string framed = tunnel::le16(static_cast<uint16_t>(sealed.size())) + sealed;
    for (char ch : framed)
        ASSERT_TRUE(c->send_raw(std::string(1, ch)));
    std::string plain;
    ASSERT_TRUE(c->recv_segment(plain));
    EXPECT_EQ(plain, "piecewise");
    std::string a = tunnel::seal(c->key, "first"), b = tunnel::seal(c->key, "second");
    ASSERT_TRUE(c->send_raw(tunnel::le16(static_cast<uint16_t>(a.size())) + a +
                            tunnel::le16(static_cast<uint16_t>(b.size())) + b));
    std::string got;
    while (got.size() < 11 && c->recv_segment(plain))
        got += plain;
    EXPECT_EQ(got, "firstsecond");
}

TEST_F(ServiceTest, UdpEchoKeepsDatagramBoundaries) {
    harness::EchoServer echo(harness::EchoServer::UDP, "127.0.0.1");
    add_user("u", "p");
    ServiceOptions o;
    int port = start_one(o, false);
    ASSERT_GT(port, 0) << service->output();
    auto c = client(port, false);
    ASSERT_TRUE(c->open_tunnel("u", "p", 0xA5, "127.0.0.1", echo.port()));
    for (size_t n : {1u, 100u, 2018u}) {
        std::string data = pattern(n, static_cast<unsigned>(n));
        ASSERT_TRUE(c->send_segment(data));
        std::string plain;
        ASSERT_TRUE(c->recv_segment(plain));
        EXPECT_EQ(plain, data) << n;
    }
}

TEST_F(ServiceTest, Ipv6DestinationOnLoopback) {
    harness::EchoServer echo(harness::EchoServer::TCP, "::1");
    if (!echo.ok()) GTEST_SKIP() << "no IPv6 loopback";
    add_user("six", "p6");
    int port = harness::free_port();
    ServiceOptions o;
    o.tls = {port};
    ASSERT_TRUE(start(o));
    auto c = client(port, true);
    ASSERT_TRUE(c->open_tunnel("six", "p6", 0xA4, "::1", echo.port()));
    echo_through(*c, pattern(10000, 6));
}

TEST_F(ServiceTest, DnsRequestGoesToHostResolver) {
    // the resolver listens on port 53 of a loopback address, which needs root
    harness::EchoServer resolver(harness::EchoServer::UDP, "127.0.0.53", 53);
    if (!resolver.ok()) GTEST_SKIP() << "cannot bind port 53 here";
    add_user("d", "n");
    ServiceOptions o;
    o.resolv_conf = "# test resolver\nsearch example\nnameserver 127.0.0.53\n";
    o.debug = true;
    int port = start_one(o, false);
    ASSERT_GT(port, 0) << service->output();
    auto c = client(port, false);
    ASSERT_TRUE(c->open_tunnel("d", "n", 0xA5, "10.77.77.2", 53));
    std::string query("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x01x\x00\x00\x01\x00\x01",
                      19);
    ASSERT_TRUE(c->send_segment(query));
    std::string plain;
    ASSERT_TRUE(c->recv_segment(plain));
    EXPECT_EQ(plain, query);
    EXPECT_TRUE(service->wait_for("[DEBUG] redirecting client dns request"));
}

struct RefusalCase {
    const char* label;
    const char* user;
    const char* password;
    int record_size; // -1: the real segment size
    bool blocked;
    bool expired;
};

class RefusalTest : public ServiceTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, SessionEndsWithoutEstablish) {
    const RefusalCase& p = GetParam();
    harness::EchoServer echo(harness::EchoServer::TCP, "127.0.0.1");
    add_user("carol", "right");
    if (p.blocked) {
        ASSERT_EQ(harness::run_kavrod(dir.path(), {"--block-user", "carol"}).status, 0);
    }
    if (p.expired) {
        std::string users = dir.read("users.json");
        size_t at = users.find("\"issued\":\"");
        users.replace(at + 10, 8, harness::today(-5));
        users.replace(users.find("\"expired\":0"), 11, "\"expired\":2");
        dir.write("users.json", users);
    }
    ServiceOptions o;
    o.debug = true;
    int port = start_one(o, false);
    ASSERT_GT(port, 0) << service->output();
    auto c = client(port, false);
    std::string reply;
    ASSERT_TRUE(c->recv_exact(c->reply.size(), reply));
    std::string segment = tunnel::seal(tunnel::sha256(p.password),
                                       tunnel::connect_header(0xA3, "127.0.0.1", echo.port()));
    if (p.record_size > 2048) segment.resize(2100, 'x'); // the declared size can never fit
    uint16_t size = p.record_size < 0 ? static_cast<uint16_t>(segment.size())
                                      : static_cast<uint16_t>(p.record_size);
    ASSERT_TRUE(c->send_raw(tunnel::auth_record(p.user, size) + segment));
    EXPECT_TRUE(c->wait_closed()) << p.label;
    if (p.record_size < 0 && std::string(p.password) == "right") {
        EXPECT_TRUE(service->wait_for(std::string("authenticate rejected (user:") + p.user + ")"))
            << service->output();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusalTest,
    ::testing::Values(RefusalCase{"wrong password", "carol", "wrong", -1, false, false},
                      RefusalCase{"blocked", "carol", "right", -1, true, false},
                      RefusalCase{"expired", "carol", "right", -1, false, true},
                      RefusalCase{"unknown user", "mallory", "right", -1, false, false},
                      RefusalCase{"record size 0", "carol", "right", 0, false, false},
                      RefusalCase{"size below a sealed segment", "carol", "right", 27, false,
                                  false},
                      RefusalCase{"size beyond the buffer", "carol", "right", 4000, false, false}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) {
        std::string s = info.param.label;
        for (char& ch : s) {
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return s;
    });

class BadLengthTest : public ServiceTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(BadLengthTest, DataSegmentLengthOutOfRangeEndsSession) {
    harness::EchoServer echo(harness::EchoServer::TCP, "127.0.0.1");
    add_user("len", "p");
    ServiceOptions o;
    int port = start_one(o, false);
    ASSERT_GT(port, 0) << service->output();
    auto c = client(port, false);
    ASSERT_TRUE(c->open_tunnel("len", "p", 0xA3, "127.0.0.1", echo.port()));
    ASSERT_TRUE(c->send_raw(tunnel::le16(GetParam()) + std::string(64, 'x')));
    EXPECT_TRUE(c->wait_closed());
}

INSTANTIATE_TEST_SUITE_P(Lengths, BadLengthTest, ::testing::Values(27, 2049, 28));

TEST_F(ServiceTest, DestinationRefusingOrClosingEndsSession) {
    add_user("r", "p");
    int port = harness::free_port(), tls_port = harness::free_port();
    ServiceOptions o;
    o.plain = {port};
    o.tls = {tls_port};
    ASSERT_TRUE(start(o));
    int closed_port = harness::free_port(); // nobody listens here
    for (bool tls : {false, true}) {
        auto c = client(tls ? tls_port : port, tls);
        ASSERT_TRUE(c->open_tunnel("r", "p", 0xA3, "127.0.0.1", closed_port));
        EXPECT_TRUE(c->wait_closed()) << tls;
    }
    harness::EchoServer greeter(harness::EchoServer::TCP, "127.0.0.1");
    greeter.send_and_close("hello, then bye");
    for (bool tls : {false, true}) {
        auto c = client(tls ? tls_port : port, tls);
        ASSERT_TRUE(c->open_tunnel("r", "p", 0xA3, "127.0.0.1", greeter.port()));
        std::string plain;
        ASSERT_TRUE(c->recv_segment(plain));
        EXPECT_EQ(plain, "hello, then bye");
        EXPECT_TRUE(c->wait_closed()) << tls;
    }
}

TEST_F(ServiceTest, SlowReaderAndSlowWriterStillGetEveryByte) {
    // Small socket buffers make the server's writes partial in both directions;
    // they can only be set for the test's own network namespace.
    harness::SocketBuffers small(16384);
    harness::EchoServer slow(harness::EchoServer::TCP, "127.0.0.1");
    slow.slow_reader(1);
    add_user("s", "p");
    ServiceOptions o;
    o.debug = true;
    int port = start_one(o, false);
    ASSERT_GT(port, 0) << service->output();
    // client side: a small receive buffer and a pause before reading
    auto c = client(port, false);
    c->set_rcvbuf(4096);
    ASSERT_TRUE(c->open_tunnel("s", "p", 0xA3, "127.0.0.1", slow.port()));
    std::string data = pattern(100000, 9);
    echo_through(*c, data, 50000, 200);
    if (small.applied()) {
        EXPECT_TRUE(service->wait_for("relay-remote->do_stream_recv: pending, write:"));
        EXPECT_TRUE(service->wait_for("relay-server->do_stream_recv: pending, write:"));
    }
}

TEST_F(ServiceTest, IdleSessionTimesOut) {
    add_user("i", "p");
    ServiceOptions o;
    o.conn_timeout = 5;
    o.debug = true;
    int port = start_one(o, false);
    ASSERT_GT(port, 0) << service->output();
    auto c = client(port, false);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(c->wait_closed(13000));
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(s, 4.5);
    EXPECT_TRUE(service->wait_for("[DEBUG] session_timeout: removing session"));
}

TEST_F(ServiceTest, SigtermEndsEveryWorker) {
    int a = harness::free_port(), b = harness::free_port();
    ServiceOptions o;
    o.plain = {a};
    o.tls = {b};
    ASSERT_TRUE(start(o));
    std::vector<pid_t> workers = harness::child_pids(service->pid());
    EXPECT_EQ(workers.size(), 2u);
    EXPECT_EQ(service->stop(), 0);
    std::string out = service->output();
    EXPECT_NE(out.find("[INFO] start_service: aborting kavro service"), std::string::npos) << out;
    for (pid_t w : workers)
        EXPECT_NE(kill(w, 0), 0) << "worker " << w << " still alive";
    EXPECT_LT(out.find("start_service: starting kavro service"), out.find("entering event loop"));
}

TEST_F(ServiceTest, UnbindablePlainPortEndsOnlyItsWorker) {
    int taken = harness::free_port(), good = harness::free_port();
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(taken));
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    harness::EchoServer echo(harness::EchoServer::TCP, "127.0.0.1");
    add_user("b", "p");
    ServiceOptions o;
    o.plain = {taken, good};
    start(o);
    EXPECT_TRUE(service->wait_for("[DEATH] server->setup_tcp_server: cant bind on local_port " +
                                  std::to_string(taken)));
    auto c = client(good, false);
    ASSERT_TRUE(c->open_tunnel("b", "p", 0xA3, "127.0.0.1", echo.port()));
    echo_through(*c, "still served");
    close(holder);
}

TEST_F(ServiceTest, TlsPortWithoutKeyStopsTheService) {
    int plain = harness::free_port(), tls = harness::free_port();
    ServiceOptions o;
    o.plain = {plain};
    o.tls = {tls};
    write_config(o);
    unlink(dir.file("key.pem").c_str());
    service.reset(new harness::Service(dir.path(), {"--start-service"}));
    EXPECT_EQ(service->wait_exit(15000), 0);
    std::string out = service->output();
    EXPECT_NE(out.find("[ERROR] setup_ssl_server: unable to load ssl private key: " +
                       dir.file("key.pem")),
              std::string::npos)
        << out;
    EXPECT_NE(
        out.find("[ERROR] fork_service: failed to setup service for port: " + std::to_string(tls)),
        std::string::npos);
    EXPECT_NE(out.find("start_service: aborting kavro service"), std::string::npos);
}

TEST_F(ServiceTest, AccountBlockedWhileRunningIsRefusedNextTime) {
    harness::EchoServer echo(harness::EchoServer::TCP, "127.0.0.1");
    add_user("dave", "pw");
    ServiceOptions o;
    int port = start_one(o, false);
    ASSERT_GT(port, 0) << service->output();
    auto first = client(port, false);
    ASSERT_TRUE(first->open_tunnel("dave", "pw", 0xA3, "127.0.0.1", echo.port()));
    ASSERT_EQ(harness::run_kavrod(dir.path(), {"--block-user", "dave"}).status, 0);
    auto second = client(port, false);
    EXPECT_FALSE(second->open_tunnel("dave", "pw", 0xA3, "127.0.0.1", echo.port()));
    echo_through(*first, "the open session goes on");
}

TEST_F(ServiceTest, WorkersNeverRepeatIvsUnderOneKey) {
    harness::EchoServer echo(harness::EchoServer::TCP, "127.0.0.1");
    add_user("iv", "p");
    int a = harness::free_port(), b = harness::free_port();
    ServiceOptions o;
    o.plain = {a, b};
    ASSERT_TRUE(start(o));
    std::set<std::string> ivs;
    size_t total = 0;
    for (int port : {a, b}) {
        auto c = client(port, false);
        ASSERT_TRUE(c->open_tunnel("iv", "p", 0xA3, "127.0.0.1", echo.port()));
        for (int i = 0; i < 200; ++i) {
            ASSERT_TRUE(c->send_segment("x"));
            std::string plain, iv;
            ASSERT_TRUE(c->recv_segment(plain, 5000, nullptr, &iv));
            ivs.insert(iv);
            ++total;
        }
    }
    EXPECT_EQ(ivs.size(), total);
}

TEST_F(ServiceTest, DescriptorsReturnAfterManySessions) {
    harness::EchoServer echo(harness::EchoServer::TCP, "127.0.0.1");
    add_user("fd", "p");
    ServiceOptions o;
    int port = start_one(o, false);
    ASSERT_GT(port, 0) << service->output();
    std::vector<pid_t> workers = harness::child_pids(service->pid());
    ASSERT_EQ(workers.size(), 1u);
    int before = harness::count_fds(workers[0]);
    int closed_port = harness::free_port();
    for (int i = 0; i < 300; ++i) {
        auto c = client(port, false);
        ASSERT_TRUE(c);
        switch (i % 5) {
        case 0:
            break; // connect and leave
        case 1:
            c->send_raw(tunnel::auth_record("nobody", 40));
            break;
        case 2:
            c->send_raw(tunnel::auth_record("fd", 0));
            break;
        case 3:
            c->open_tunnel("fd", "p", 0xA3, "127.0.0.1", closed_port);
            break;
        case 4:
            ASSERT_TRUE(c->open_tunnel("fd", "p", 0xA3, "127.0.0.1", echo.port()));
            echo_through(*c, "ok");
            break;
        }
    }
    int after = -1;
    for (int i = 0; i < 200 && after != before; ++i) {
        usleep(20000);
        after = harness::count_fds(workers[0]);
    }
    EXPECT_EQ(after, before);
}

TEST_F(ServiceTest, NoPortsMeansNoService) {
    ServiceOptions o; // both lists empty
    write_config(o);
    harness::RunResult r = harness::run_kavrod(dir.path(), {"--start-service"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("[ERROR] start_service: service not available"), std::string::npos)
        << r.out;
}

TEST_F(ServiceTest, DebugTraceOfATlsSession) {
    harness::EchoServer echo(harness::EchoServer::TCP, "127.0.0.1");
    add_user("trace", "p");
    ServiceOptions o;
    o.debug = true;
    int port = start_one(o, true);
    ASSERT_GT(port, 0);
    {
        auto c = client(port, true);
        ASSERT_TRUE(c->open_tunnel("trace", "p", 0xA3, "127.0.0.1", echo.port()));
        echo_through(*c, "traced");
    }
    for (const char* line :
         {"[DEBUG] relay-server->do_ssl_accept: ssl accepted",
          "[DEBUG] relay_server->do_http_response: http response completed",
          "[DEBUG] relay-server->do_auth: authenticate completed",
          "[DEBUG] client request: AF_INET,SOCK_STREAM,127.0.0.1:",
          "[DEBUG] relay-server->do_connect: connect completed",
          "[DEBUG] relay_remote->do_establish: establish completed",
          "[DEBUG] relay-server->do_stream_recv: complete",
          "[DEBUG] relay-remote->do_stream_recv: complete", "[DEBUG] session active: 0"}) {
        EXPECT_TRUE(service->wait_for(line)) << line << "\n" << service->output();
    }
}

TEST_F(ServiceTest, TlsRecordsArrivingTogetherAreAllRead) {
    // Request, record, connect segment and a data segment as four TLS records
    // in one TCP segment: nothing may wait for a readiness event that never comes.
    harness::EchoServer echo(harness::EchoServer::TCP, "127.0.0.1");
    add_user("cork", "p");
    int port = start_one(ServiceOptions(), true);
    ASSERT_GT(port, 0);
    auto c = client(port, true);
    std::string reply;
    ASSERT_TRUE(c->recv_exact(c->reply.size(), reply));
    c->key = tunnel::sha256("p");
    std::string segment =
        tunnel::seal(c->key, tunnel::connect_header(0xA3, "127.0.0.1", echo.port()));
    std::string data = tunnel::seal(c->key, "corked");
    int on = 1, off = 0;
    setsockopt(c->fd, IPPROTO_TCP, TCP_CORK, &on, sizeof(on));
    ASSERT_TRUE(c->send_raw("GET / HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(c->send_raw(tunnel::auth_record("cork", static_cast<uint16_t>(segment.size()))));
    ASSERT_TRUE(c->send_raw(segment));
    ASSERT_TRUE(c->send_raw(tunnel::le16(static_cast<uint16_t>(data.size())) + data));
    setsockopt(c->fd, IPPROTO_TCP, TCP_CORK, &off, sizeof(off));
    std::string answer, plain;
    ASSERT_TRUE(c->recv_exact(4, answer));
    ASSERT_TRUE(c->recv_segment(plain));
    EXPECT_EQ(plain, "corked");
}

TEST_F(ServiceTest, RunningOutOfDescriptorsIsSurvived) {
    harness::EchoServer echo(harness::EchoServer::TCP, "127.0.0.1");
    add_user("many", "p");
    ServiceOptions o;
    o.plain = {harness::free_port()};
    write_config(o);
    // The service inherits a small descriptor limit.
    struct rlimit saved, small = {48, 48};
    getrlimit(RLIMIT_NOFILE, &saved);
    small.rlim_max = saved.rlim_max;
    setrlimit(RLIMIT_NOFILE, &small);
    service.reset(new harness::Service(dir.path(), {"--start-service"}));
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(service->wait_for("entering event loop"));
    std::vector<std::unique_ptr<tunnel::Client>> crowd;
    for (int i = 0; i < 80; ++i)
        crowd.push_back(client(o.plain[0], false));
    usleep(300000);
    crowd.clear();
    std::unique_ptr<tunnel::Client> c;
    for (int attempt = 0; attempt < 50; ++attempt) { // accepting resumes within about a second
        c = client(o.plain[0], false);
        if (c && c->open_tunnel("many", "p", 0xA3, "127.0.0.1", echo.port())) break;
        c.reset();
        usleep(100000);
    }
    ASSERT_TRUE(c);
    echo_through(*c, "served again");
}
