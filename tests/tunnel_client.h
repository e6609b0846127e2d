// A small client of the tunnel protocol, written from its wire format: optional
// TLS, the authentication record, sealed connect and data segments.
#pragma once

#include <cstdint>
#include <string>

struct WOLFSSL;
struct WOLFSSL_CTX;

namespace tunnel {

std::string sha256(const std::string& text);
// | IV (12) | ciphertext | tag (16) |
std::string seal(const std::string& key, const std::string& plain, const std::string& iv = "");
bool open_sealed(const std::string& key, const std::string& sealed, std::string& plain);

std::string auth_record(const std::string& name, uint16_t size);
// protocol 0xA3 tcp4, 0xA4 tcp6, 0xA5 udp4, 0xA6 udp6
std::string connect_header(uint8_t protocol, const std::string& address, uint16_t port,
                           uint8_t status = 0x01);
std::string le16(uint16_t v);

class Client {
  public:
    Client() = default;
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connect_to(int port, bool tls, const std::string& address = "127.0.0.1");
    bool send_raw(const std::string& bytes);
    // Reads exactly n bytes within timeout_ms.
    bool recv_exact(size_t n, std::string& out, int timeout_ms = 5000);
    // True when the server closed the connection within timeout_ms.
    bool wait_closed(int timeout_ms = 5000);
    void set_rcvbuf(int bytes);

    // Reply, record and connect segment; then the 4-byte establish answer.
    bool open_tunnel(const std::string& user, const std::string& password, uint8_t protocol,
                     const std::string& address, int port, bool expect_reply = true);
    bool send_segment(const std::string& plain);
    // One server segment; `sealed_size` receives its announced length.
    bool recv_segment(std::string& plain, int timeout_ms = 5000, size_t* sealed_size = nullptr,
                      std::string* iv = nullptr);

    std::string key;
    std::string reply =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";
    int fd = -1;

  private:
    int recv_some(char* buf, size_t n, int timeout_ms);
    WOLFSSL_CTX* ctx_ = nullptr;
    WOLFSSL* ssl_ = nullptr;
    std::string pending_;
};

} // namespace tunnel
