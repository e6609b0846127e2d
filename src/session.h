// One tunnelled connection: client socket (and TLS), destination socket, the two
// relay halves, protocol state, account key and the inactivity timer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ev.h>

class Buffers;
class RelayServer;
class RelayRemote;
struct WOLFSSL;
struct WOLFSSL_CTX;

enum SessionState : int32_t {
    SSL_ACCEPT = 0,
    HTTP_RESPONSE = 1,
    AUTH = 2,
    CONNECT = 3,
    ESTABLISH = 4,
    STREAM = 5,
    SSL_SHUTDOWN = 6,
};

class Session {
  public:
    static constexpr size_t RELAY_BUFFER_SIZE = 2048;

    explicit Session(struct ev_loop* loop);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool setup_server(int fd, WOLFSSL_CTX* ctx);
    bool setup_remote(int fd);
    void timer_again();
    void arming_recv_stream();
    bool finish_stream();
    bool get_ssl_error(int ret);

    int read_client(Buffers* buf, size_t want);
    int read_remote(Buffers* buf);
    int64_t write_client(const uint8_t* data, size_t len);
    int64_t write_remote(const uint8_t* data, size_t len);

    ev_timer timer;
    double last_activity;
    SessionState state = SSL_ACCEPT;
    int32_t timeout;
    int32_t socktype = -1;
    int32_t client_fd = -1;
    int32_t remote_fd = -1;
    uint64_t pending_offset = 0;
    uint64_t segment_size = 0;
    uint8_t key[32] = {0};
    WOLFSSL* ssl = nullptr;
    RelayServer* relay_server = nullptr;
    RelayRemote* relay_remote = nullptr;
    struct ev_loop* loop;

    // Links of the server's session list (constant-time removal).
    Session* list_prev = nullptr;
    Session* list_next = nullptr;
    bool listed = false;

  private:
    int read_tls(Buffers* buf, size_t want, size_t size);
    void restart_timer(double seconds);
};
