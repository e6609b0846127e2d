// Service fixture implementation.
#include "service_fixture.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

std::string ServiceTest::cert_pem;
std::string ServiceTest::key_pem;

static std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void ServiceTest::SetUpTestSuite() {
    if (!cert_pem.empty()) return;
    harness::TempDir tmp;
    std::string cmd = "openssl req -x509 -nodes -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                      "-days 30 -subj /CN=kavrod-test -keyout " +
                      tmp.file("key.pem") + " -out " + tmp.file("cert.pem") + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return;
    cert_pem = slurp(tmp.file("cert.pem"));
    key_pem = slurp(tmp.file("key.pem"));
}

void ServiceTest::add_user(const std::string& name, const std::string& password) {
    harness::RunResult r = harness::run_kavrod(dir.path(), {"--add-user", name, password});
    ASSERT_EQ(r.status, 0) << r.out;
}

static std::string port_list(const std::vector<int>& ports) {
    std::string out = "[";
    for (size_t i = 0; i < ports.size(); ++i)
        out += (i ? "," : "") + std::to_string(ports[i]);
    return out + "]";
}

void ServiceTest::write_config(const ServiceOptions& o) {
    dir.write("cert.pem", cert_pem);
    dir.write("key.pem", key_pem);
    dir.write("resolv.conf", o.resolv_conf);
    std::string text =
        "{\"tcp_std\":" + port_list(o.plain) + ",\"tcp_ssl\":" + port_list(o.tls) +
        ",\"ssl_cert\":\"" + dir.file("cert.pem") + "\",\"ssl_key\":\"" + dir.file("key.pem") +
        "\",\"ssl_version\":\"AUTO\",\"conn_timeout\":" + std::to_string(o.conn_timeout) +
        ",\"dns_resolver\":\"" + dir.file("resolv.conf") + "\",\"http_ok\":\"" + o.http_ok + "\"}";
    dir.write("config.json", text);
}

bool ServiceTest::start(const ServiceOptions& o) {
    opts = o;
    write_config(o);
    std::vector<std::string> args = {"--start-service"};
    if (o.debug) args.push_back("--debug");
    service.reset(new harness::Service(dir.path(), args));
    int workers = static_cast<int>(o.plain.size() + o.tls.size());
    return service->wait_for("entering event loop", 10000, workers);
}

int ServiceTest::start_one(ServiceOptions o, bool tls) {
    int port = harness::free_port();
    (tls ? o.tls : o.plain).push_back(port);
    return start(o) ? port : -1;
}

std::unique_ptr<tunnel::Client> ServiceTest::client(int port, bool tls) {
    std::unique_ptr<tunnel::Client> c(new tunnel::Client);
    if (!c->connect_to(port, tls)) return nullptr;
    if (opts.http_ok.empty()) c->reply.clear();
    return c;
}
