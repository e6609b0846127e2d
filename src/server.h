// Per-port listener: listening sockets on every wildcard address, the TLS
// context, the event loop and the list of live sessions.
#pragma once

#include <cstdint>
#include <ev.h>
#include <vector>

class Session;
struct WOLFSSL_CTX;

struct ListenTask {
    int32_t fd;
    ev_io io;
};

class Server {
  public:
    explicit Server(int port);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool setup(bool ssl);
    bool setup_ssl_server();
    bool setup_tcp_server();
    void do_loop();
    void add_session(Session* session);
    void remove_session(Session* session);
    void pause_accept();
    void resume_accept();

    int32_t port;
    Session* sessions = nullptr; // first of the list, in accept order
    Session* sessions_tail = nullptr;
    uint64_t session_count = 0;
    std::vector<ListenTask*> listen_tasks;
    WOLFSSL_CTX* ssl_ctx = nullptr;
    struct ev_loop* loop = nullptr;
    bool terminated = false; // the loop ended on SIGTERM

  private:
    ev_signal term_watcher;
    ev_timer accept_timer; // resumes accepting after descriptors ran out
};

extern Server* svr;

void libev_listen_cb(struct ev_loop* loop, ev_io* watcher, int events);
void libev_timer_cb(struct ev_loop* loop, ev_timer* watcher, int events);
