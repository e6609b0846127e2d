// Tunnel protocol test client.
#include "tunnel_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <wolfssl/options.h>
#include <wolfssl/ssl.h>
#include <wolfssl/wolfcrypt/aes.h>
#include <wolfssl/wolfcrypt/sha256.h>

namespace tunnel {

std::string sha256(const std::string& text) {
    unsigned char out[32];
    wc_Sha256 sha;
    wc_InitSha256(&sha);
    wc_Sha256Update(&sha, reinterpret_cast<const byte*>(text.data()),
                    static_cast<word32>(text.size()));
    wc_Sha256Final(&sha, out);
    wc_Sha256Free(&sha);
    return std::string(reinterpret_cast<char*>(out), 32);
}

std::string seal(const std::string& key, const std::string& plain, const std::string& iv_in) {
    std::string iv = iv_in;
    if (iv.empty()) {
        iv.resize(12);
        if (getrandom(&iv[0], 12, 0) != 12) return std::string();
    }
    std::string out = iv + std::string(plain.size() + 16, '\0');
    Aes aes;
    wc_AesInit(&aes, nullptr, INVALID_DEVID);
    wc_AesGcmSetKey(&aes, reinterpret_cast<const byte*>(key.data()), 32);
    byte* body = reinterpret_cast<byte*>(&out[12]);
    wc_AesGcmEncrypt(&aes, body, reinterpret_cast<const byte*>(plain.data()),
                     static_cast<word32>(plain.size()), reinterpret_cast<const byte*>(iv.data()),
                     12, body + plain.size(), 16, nullptr, 0);
    wc_AesFree(&aes);
    return out;
}

bool open_sealed(const std::string& key, const std::string& sealed, std::string& plain) {
    if (sealed.size() < 28) return false;
    size_t n = sealed.size() - 28;
    plain.assign(n, '\0');
    Aes aes;
    wc_AesInit(&aes, nullptr, INVALID_DEVID);
    wc_AesGcmSetKey(&aes, reinterpret_cast<const byte*>(key.data()), 32);
    const byte* body = reinterpret_cast<const byte*>(sealed.data()) + 12;
    int r = wc_AesGcmDecrypt(&aes, reinterpret_cast<byte*>(&plain[0]), body, static_cast<word32>(n),
                             reinterpret_cast<const byte*>(sealed.data()), 12, body + n, 16,
                             nullptr, 0);
    wc_AesFree(&aes);
    return r == 0;
}

std::string le16(uint16_t v) {
    std::string s(2, '\0');
    s[0] = static_cast<char>(v & 0xFF);
    s[1] = static_cast<char>(v >> 8);
    return s;
}

std::string auth_record(const std::string& name, uint16_t size) {
    std::string rec("\x03\x1A", 2);
    std::string field = name.substr(0, 16);
    field.resize(16, '\0');
    return rec + field + le16(size);
}

std::string connect_header(uint8_t protocol, const std::string& address, uint16_t port,
                           uint8_t status) {
    std::string hdr(20, '\0');
    hdr[0] = static_cast<char>(status);
    hdr[1] = static_cast<char>(protocol);
    bool v6 = protocol == 0xA4 || protocol == 0xA6;
    inet_pton(v6 ? AF_INET6 : AF_INET, address.c_str(), &hdr[2]);
    hdr.replace(18, 2, le16(port));
    return hdr;
}

Client::~Client() {
    if (ssl_) wolfSSL_free(ssl_);
    if (ctx_) wolfSSL_CTX_free(ctx_);
    if (fd >= 0) close(fd);
}

bool Client::connect_to(int port, bool tls, const std::string& address) {
    bool v6 = address.find(':') != std::string::npos;
    fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage ss;
    std::memset(&ss, 0, sizeof(ss));
    socklen_t len;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, address.c_str(), &a->sin6_addr);
        len = sizeof(*a);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address.c_str(), &a->sin_addr);
        len = sizeof(*a);
    }
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0) break;
        if (attempt == 99) return false;
        close(fd);
        fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        usleep(50000);
    }
    if (!tls) return true;
    ctx_ = wolfSSL_CTX_new(wolfTLS_client_method());
    if (!ctx_) return false;
    wolfSSL_CTX_set_verify(ctx_, WOLFSSL_VERIFY_NONE, nullptr);
    ssl_ = wolfSSL_new(ctx_);
    wolfSSL_set_fd(ssl_, fd);
    return wolfSSL_connect(ssl_) == WOLFSSL_SUCCESS;
}

void Client::set_rcvbuf(int bytes) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
}

bool Client::send_raw(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        int n =
            ssl_ ? wolfSSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done))
                 : static_cast<int>(
                       send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL));
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// >0 bytes, 0 closed, -1 timeout or error
int Client::recv_some(char* buf, size_t n, int timeout_ms) {
    if (!ssl_ || wolfSSL_pending(ssl_) == 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return -1;
    }
    if (ssl_) {
        int r = wolfSSL_read(ssl_, buf, static_cast<int>(n));
        if (r > 0) return r;
        int err = wolfSSL_get_error(ssl_, r);
        return (err == WOLFSSL_ERROR_ZERO_RETURN || err == SOCKET_PEER_CLOSED_E || r == 0) ? 0 : -2;
    }
    ssize_t r = recv(fd, buf, n, 0);
    if (r < 0) return errno == ECONNRESET ? 0 : -1;
    return static_cast<int>(r);
}

static int ms_left(std::chrono::steady_clock::time_point deadline) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                deadline - std::chrono::steady_clock::now())
                                .count());
}

bool Client::recv_exact(size_t n, std::string& out, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[16384];
    while (pending_.size() < n) {
        int left = ms_left(deadline);
        if (left <= 0) return false;
        int r = recv_some(buf, sizeof(buf), left);
        if (r <= 0) return false;
        pending_.append(buf, static_cast<size_t>(r));
    }
    out = pending_.substr(0, n);
    pending_.erase(0, n);
    return true;
}

bool Client::wait_closed(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    for (;;) {
        int left = ms_left(deadline);
        if (left <= 0) return false;
        int r = recv_some(buf, sizeof(buf), left);
        if (r == 0 || r == -2) return true;
        if (r < 0) return false;
    }
}

bool Client::open_tunnel(const std::string& user, const std::string& password, uint8_t protocol,
                         const std::string& address, int port, bool expect_reply) {
    key = sha256(password);
    std::string got;
    if (expect_reply && !reply.empty() && !recv_exact(reply.size(), got)) return false;
    if (expect_reply && got != reply) return false;
    std::string segment = seal(key, connect_header(protocol, address, static_cast<uint16_t>(port)));
    std::string upgrade = "GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n\r\n";
    if (!send_raw(upgrade + auth_record(user, static_cast<uint16_t>(segment.size())) + segment))
        return false;
    return recv_exact(4, got) && got == std::string("\x03\x02\x00\x00", 4);
}

bool Client::send_segment(const std::string& plain) {
    std::string sealed = seal(key, plain);
    return send_raw(le16(static_cast<uint16_t>(sealed.size())) + sealed);
}

bool Client::recv_segment(std::string& plain, int timeout_ms, size_t* sealed_size,
                          std::string* iv) {
    std::string len, sealed;
    if (!recv_exact(2, len, timeout_ms)) return false;
    size_t n = static_cast<uint8_t>(len[0]) | (static_cast<uint8_t>(len[1]) << 8);
    if (sealed_size) *sealed_size = n;
    if (!recv_exact(n, sealed, timeout_ms)) return false;
    if (iv) *iv = sealed.substr(0, 12);
    return open_sealed(key, sealed, plain);
}

} // namespace tunnel
