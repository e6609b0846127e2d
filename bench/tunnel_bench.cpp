// Throughput of the tunnel, memory per session, and the cost of the users-file
// read that every authentication makes. Loopback only; run as root inside a
// private network namespace (unshare --net) for clean numbers.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "src/json/json.h"
#include "tests/harness.h"
#include "tests/tunnel_client.h"

namespace {
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

long rss_kb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (in >> key) {
        long v;
        if (key == "VmRSS:" && in >> v) return v;
    }
    return -1;
}

std::string config(const harness::TempDir& dir, int plain, int tls) {
    return "{\"tcp_std\":[" + std::to_string(plain) + "],\"tcp_ssl\":[" + std::to_string(tls) +
           "],\"ssl_cert\":\"" + dir.file("cert.pem") + "\",\"ssl_key\":\"" + dir.file("key.pem") +
           "\",\"ssl_version\":\"AUTO\",\"conn_timeout\":60,\"dns_resolver\":\"/nonexistent\","
           "\"http_ok\":\"\"}";
}

void throughput(int port, bool tls, int echo_port, size_t total) {
    tunnel::Client c;
    c.reply.clear();
    if (!c.connect_to(port, tls) ||
        !c.open_tunnel("bench", "pw", 0xA3, "127.0.0.1", static_cast<uint16_t>(echo_port), false)) {
        std::printf("%s: tunnel failed\n", tls ? "tls" : "plain");
        return;
    }
    std::string chunk(2020, 'b');
    size_t sent = 0, got = 0;
    auto t0 = Clock::now();
    while (got < total) {
        while (sent < total && sent - got < 262144) {
            c.send_segment(chunk);
            sent += chunk.size();
        }
        std::string plain;
        if (!c.recv_segment(plain, 10000)) break;
        got += plain.size();
    }
    double s = seconds_since(t0);
    std::printf("%-5s echo %6.1f MB in %.2f s: %7.1f MB/s each way\n", tls ? "tls" : "plain",
                static_cast<double>(got) / 1e6, s, static_cast<double>(got) / 1e6 / s);
}

void users_file_parse(size_t accounts) {
    std::string text = "{";
    for (size_t i = 0; i < accounts; ++i) {
        text += (i ? ",\"user" : "\"user") + std::to_string(i) +
                "\":{\"blocked\":false,\"hash_key\":"
                "\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\","
                "\"issued\":\"20261201\",\"expired\":30}";
    }
    text += "}";
    auto t0 = Clock::now();
    const int rounds = 5;
    for (int i = 0; i < rounds; ++i)
        json::jobject::parse(text);
    std::printf("users file of %zu accounts (%zu bytes): %.2f ms per parse\n", accounts,
                text.size(), seconds_since(t0) * 1000 / rounds);
}
} // namespace

int main(int argc, char** argv) {
    users_file_parse(100);
    users_file_parse(10000);
    if (argc > 1 && std::string(argv[1]) == "json") return 0;

    harness::TempDir dir;
    std::string cmd =
        "openssl req -x509 -nodes -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -days 1 "
        "-subj /CN=bench -keyout " +
        dir.file("key.pem") + " -out " + dir.file("cert.pem") + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return 1;
    int plain = harness::free_port(), tls = harness::free_port();
    dir.write("config.json", config(dir, plain, tls));
    harness::run_kavrod(dir.path(), {"--add-user", "bench", "pw"});
    harness::EchoServer echo(harness::EchoServer::TCP, "127.0.0.1");
    harness::Service service(dir.path(), {"--start-service"});
    if (!service.wait_for("entering event loop", 10000, 2)) return 1;

    throughput(plain, false, echo.port(), 256u << 20);
    throughput(tls, true, echo.port(), 128u << 20);

    std::vector<pid_t> workers = harness::child_pids(service.pid());
    pid_t plain_worker = workers.empty() ? 0 : workers[0];
    long before = rss_kb(plain_worker);
    const int sessions = 2000;
    std::vector<tunnel::Client*> clients;
    for (int i = 0; i < sessions; ++i) {
        auto* c = new tunnel::Client;
        c->reply.clear();
        if (!c->connect_to(plain, false) ||
            !c->open_tunnel("bench", "pw", 0xA3, "127.0.0.1", static_cast<uint16_t>(echo.port()),
                            false)) {
            delete c;
            break;
        }
        clients.push_back(c);
    }
    usleep(200000);
    long after = rss_kb(plain_worker);
    std::printf("%zu streaming sessions: worker RSS %ld kB -> %ld kB, %.1f kB per session\n",
                clients.size(), before, after,
                clients.empty()
                    ? 0.0
                    : static_cast<double>(after - before) / static_cast<double>(clients.size()));
    for (auto* c : clients)
        delete c;
    service.stop();
    return 0;
}
