// Listener and event loop of one worker.
#include "server.h"

#include "attributes.h"
#include "config.h"
#include "session.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

#include <wolfssl/options.h>
#include <wolfssl/ssl.h>

Server* svr = nullptr;

static void libev_term_cb(struct ev_loop* loop, ev_signal* watcher, int) {
    static_cast<Server*>(watcher->data)->terminated = true;
    ev_break(loop, EVBREAK_ALL);
}

static void libev_accept_timer_cb(struct ev_loop*, ev_timer* watcher, int) {
    static_cast<Server*>(watcher->data)->resume_accept();
}

Server::Server(int port) : port(port) {
    ev_signal_init(&term_watcher, libev_term_cb, SIGTERM);
    term_watcher.data = this;
    ev_timer_init(&accept_timer, libev_accept_timer_cb, 1., 0.);
    accept_timer.data = this;
}

Server::~Server() {
    while (sessions != nullptr)
        remove_session(sessions);
    for (ListenTask* task : listen_tasks) {
        if (loop != nullptr) ev_io_stop(loop, &task->io);
        close(task->fd);
        delete task;
    }
    listen_tasks.clear();
    if (ssl_ctx != nullptr) wolfSSL_CTX_free(ssl_ctx);
    if (loop != nullptr) {
        ev_timer_stop(loop, &accept_timer);
        ev_signal_stop(loop, &term_watcher);
        ev_break(loop, EVBREAK_ALL);
        ev_loop_destroy(loop);
    }
}

bool Server::setup(bool ssl) {
    if (ssl && !setup_ssl_server()) return false;
    loop = ev_loop_new(EVBACKEND_EPOLL);
    if (loop == nullptr)
        kvr_logs_print("DEATH", "server->setup(type=%s): cant setup libev loop",
                       ssl ? "ssl" : "std");
    // SIGTERM leaves the loop; the worker then tears down outside of it.
    ev_signal_start(loop, &term_watcher);
    return setup_tcp_server();
}

bool Server::setup_ssl_server() {
    ssl_ctx = wolfSSL_CTX_new(cfg->ssl_method());
    if (ssl_ctx == nullptr) {
        kvr_logs_print("ERROR", "setup_ssl_server: failed to create ssl context");
        return false;
    }
    if (wolfSSL_CTX_use_certificate_file(ssl_ctx, cfg->ssl_cert.c_str(), WOLFSSL_FILETYPE_PEM) !=
        WOLFSSL_SUCCESS) {
        kvr_logs_print("ERROR", "setup_ssl_server: unable to load ssl certificate: %s",
                       cfg->ssl_cert.c_str());
        return false;
    }
    if (wolfSSL_CTX_use_PrivateKey_file(ssl_ctx, cfg->ssl_key.c_str(), WOLFSSL_FILETYPE_PEM) !=
        WOLFSSL_SUCCESS) {
        kvr_logs_print("ERROR", "setup_ssl_server: unable to load ssl private key: %s",
                       cfg->ssl_key.c_str());
        return false;
    }
    wolfSSL_CTX_set_verify(ssl_ctx, WOLFSSL_VERIFY_NONE, nullptr);
    kvr_logs_print("INFO", "setup_ssl_server: setup ssl success");
    return true;
}

static int open_listener(const struct addrinfo* ai) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one));
    if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, 128) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool Server::setup_tcp_server() {
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[16];
    std::snprintf(service, sizeof(service), "%d", port);
    struct addrinfo* list = nullptr;
    if (getaddrinfo(nullptr, service, &hints, &list) != 0) {
        kvr_logs_print("ERROR", "server->setup_tcp_server: getaddrinfo failed, %s",
                       std::strerror(errno));
        return false;
    }
    for (struct addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        int fd = open_listener(ai);
        if (fd < 0) continue;
        ListenTask* task = new (std::nothrow) ListenTask;
        if (task == nullptr) {
            close(fd);
            kvr_logs_print("WARNING", "server->setup_tcp_server: cant create server listen task");
            continue;
        }
        task->fd = fd;
        ev_io_init(&task->io, libev_listen_cb, fd, EV_READ);
        task->io.data = this;
        ev_io_start(loop, &task->io);
        listen_tasks.push_back(task);
    }
    freeaddrinfo(list);
    if (listen_tasks.empty())
        kvr_logs_print("DEATH", "server->setup_tcp_server: cant bind on local_port %d", port);
    return true;
}

void Server::do_loop() {
    if (loop == nullptr) return;
    kvr_logs_print("INFO", "local_port: %d entering event loop", port);
    ev_run(loop, 0);
}

void Server::add_session(Session* session) {
    if (session == nullptr || session->listed) return;
    session->list_prev = sessions_tail;
    session->list_next = nullptr;
    if (sessions_tail != nullptr)
        sessions_tail->list_next = session;
    else
        sessions = session;
    sessions_tail = session;
    session->listed = true;
    ++session_count;
}

void Server::remove_session(Session* session) {
    if (session != nullptr && session->listed) {
        if (session->list_prev != nullptr)
            session->list_prev->list_next = session->list_next;
        else
            sessions = session->list_next;
        if (session->list_next != nullptr)
            session->list_next->list_prev = session->list_prev;
        else
            sessions_tail = session->list_prev;
        session->listed = false;
        --session_count;
    }
    delete session;
    if (kvr_logs_debug)
        kvr_logs_print("DEBUG", "session active: %lu", static_cast<unsigned long>(session_count));
}

// Out of descriptors the listening sockets stay readable; stop accepting for a
// second instead of spinning on accept failures.
void Server::pause_accept() {
    for (ListenTask* task : listen_tasks)
        ev_io_stop(loop, &task->io);
    ev_timer_start(loop, &accept_timer);
}

void Server::resume_accept() {
    for (ListenTask* task : listen_tasks)
        ev_io_start(loop, &task->io);
}

void libev_listen_cb(struct ev_loop*, ev_io* watcher, int) {
    Server* server = static_cast<Server*>(watcher->data);
    int fd = accept4(watcher->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            server->pause_accept();
        return;
    }
    Session* session = new (std::nothrow) Session(server->loop);
    if (session == nullptr) {
        close(fd);
        return;
    }
    if (!session->setup_server(fd, server->ssl_ctx)) {
        delete session;
        return;
    }
    server->add_session(session);
}

void libev_timer_cb(struct ev_loop* loop, ev_timer* watcher, int) {
    Session* session = static_cast<Session*>(watcher->data);
    double left = session->last_activity + session->timeout - ev_now(loop);
    if (left < 0 || session->state == SSL_SHUTDOWN) {
        svr->remove_session(session);
        if (kvr_logs_debug) kvr_logs_print("DEBUG", "session_timeout: removing session");
        return;
    }
    ev_timer_set(watcher, session->timeout, 0.);
    ev_timer_start(loop, watcher);
}
