// Fixture for tests of the running service: a configuration directory with a
// certificate, accounts, and helpers to start kavrod and open tunnels.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "tunnel_client.h"

struct ServiceOptions {
    std::vector<int> plain;
    std::vector<int> tls;
    int conn_timeout = 60;
    std::string http_ok = "HTTP/1.1 101 Switching Protocols[crlf]Upgrade: "
                          "websocket[crlf]Connection: Upgrade[crlf][crlf]";
    std::string resolv_conf = "nameserver 127.0.0.1\n";
    bool debug = false;
};

class ServiceTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite();
    static std::string cert_pem;
    static std::string key_pem;

    void add_user(const std::string& name, const std::string& password);
    void write_config(const ServiceOptions& options);
    // Writes the configuration and starts the service; waits for every worker.
    bool start(const ServiceOptions& options);
    // Starts the service on one fresh plain or TLS port; returns it, or -1.
    int start_one(ServiceOptions options, bool tls);
    std::unique_ptr<tunnel::Client> client(int port, bool tls);

    harness::TempDir dir;
    std::unique_ptr<harness::Service> service;
    ServiceOptions opts;
};
