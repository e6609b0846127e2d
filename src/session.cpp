// Session: non-blocking reads and writes with one return convention, the
// streaming watcher switch, the TLS close and the inactivity timer.
#include "session.h"

#include "attributes.h"
#include "buffers.h"
#include "config.h"
#include "relay_remote.h"
#include "relay_server.h"
#include "server.h"

#include <cerrno>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

#include <wolfssl/options.h>
#include <wolfssl/ssl.h>

Session::Session(struct ev_loop* loop) : loop(loop) {
    timeout = cfg != nullptr ? cfg->conn_timeout : 60;
    last_activity = ev_now(loop);
    ev_timer_init(&timer, libev_timer_cb, timeout, 0.);
    timer.data = this;
    ev_timer_start(loop, &timer);
}

Session::~Session() {
    delete relay_server;
    delete relay_remote;
    if (ssl != nullptr) {
        wolfSSL_shutdown(ssl);
        wolfSSL_free(ssl);
    }
    if (client_fd >= 0) close(client_fd);
    if (remote_fd >= 0) close(remote_fd);
    ev_timer_stop(loop, &timer);
}

bool Session::setup_server(int fd, WOLFSSL_CTX* ctx) {
    client_fd = fd;
    relay_server = new (std::nothrow) RelayServer(this, fd);
    if (relay_server == nullptr || !relay_server->buffers.allocate(RELAY_BUFFER_SIZE)) return false;
    if (ctx != nullptr) {
        ssl = wolfSSL_new(ctx);
        if (ssl == nullptr || wolfSSL_set_fd(ssl, fd) != WOLFSSL_SUCCESS) return false;
        state = SSL_ACCEPT;
        relay_server->start_recv();
        return true;
    }
    if (cfg != nullptr && !cfg->http_ok.empty()) {
        state = HTTP_RESPONSE;
        relay_server->start_send();
        return true;
    }
    state = AUTH;
    relay_server->start_recv();
    return true;
}

bool Session::setup_remote(int fd) {
    remote_fd = fd;
    relay_remote = new (std::nothrow) RelayRemote(this, fd);
    return relay_remote != nullptr && relay_remote->buffers.allocate(RELAY_BUFFER_SIZE);
}

void Session::timer_again() {
    last_activity = ev_now(loop);
}

void Session::restart_timer(double seconds) {
    ev_timer_stop(loop, &timer);
    ev_timer_set(&timer, seconds, 0.);
    ev_timer_start(loop, &timer);
}

void Session::arming_recv_stream() {
    if (socktype == SOCK_STREAM && timeout < 900) timeout = 900;
    relay_server->start_recv();
    relay_server->start_recv_idle();
    relay_remote->start_recv();
    relay_server->stop_send();
    relay_remote->stop_send();
}

bool Session::finish_stream() {
    if (ssl == nullptr) return false;
    int ret = wolfSSL_shutdown(ssl);
    if (ret == WOLFSSL_SUCCESS) {
        if (kvr_logs_debug) kvr_logs_print("DEBUG", "finish_stream: ssl shutdown success");
        return false;
    }
    state = SSL_SHUTDOWN;
    if (relay_remote != nullptr) {
        relay_remote->stop_send();
        relay_remote->stop_recv();
    }
    relay_server->stop_recv_idle();
    int err = wolfSSL_get_error(ssl, ret);
    if (err == WOLFSSL_ERROR_WANT_WRITE) {
        relay_server->start_send();
        relay_server->stop_recv();
        if (kvr_logs_debug) kvr_logs_print("DEBUG", "finish_stream: ssl shutdown want write");
    } else if (err == WOLFSSL_ERROR_WANT_READ) {
        relay_server->start_recv();
        relay_server->stop_send();
        if (kvr_logs_debug) kvr_logs_print("DEBUG", "finish_stream: ssl shutdown want read");
    } else {
        return false;
    }
    timeout = 10;
    restart_timer(10.);
    return true;
}

bool Session::get_ssl_error(int ret) {
    int err = wolfSSL_get_error(ssl, ret);
    return err == WOLFSSL_ERROR_WANT_READ || err == WOLFSSL_ERROR_WANT_WRITE;
}

static int read_result(const Buffers* buf, size_t want) {
    if (want == 0) return buf->length() > 0 ? 1 : 0;
    return buf->length() >= want ? 1 : 0;
}

// TLS may hold whole records it has already taken off the socket; keep reading
// until the request is met or the library needs the socket again, so that no
// buffered record waits for a readiness event that will never come.
int Session::read_tls(Buffers* buf, size_t want, size_t size) {
    for (;;) {
        int n = wolfSSL_read(ssl, buf->put(), static_cast<int>(size));
        if (n < 0) return get_ssl_error(n) ? read_result(buf, want) : -1;
        if (n == 0) return -1;
        buf->increment(static_cast<uint64_t>(n));
        if ((want > 0 && buf->length() >= want) || buf->available() == 0) return 1;
        size = want > 0 && buf->available() >= want - buf->length() ? want - buf->length()
                                                                    : buf->available();
    }
}

int Session::read_client(Buffers* buf, size_t want) {
    if (want > 0 && buf->length() >= want) return 1;
    size_t size = (want > 0 && buf->available() >= want) ? want : buf->available();
    if (size == 0) return 1;
    buf->trim();
    if (ssl != nullptr) return read_tls(buf, want, size);
    ssize_t n = recv(client_fd, buf->put(), size, 0);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? read_result(buf, want) : -1;
    if (n == 0) return -1;
    buf->increment(static_cast<uint64_t>(n));
    if (want == 0 || buf->available() == 0) return 1;
    return read_result(buf, want);
}

int Session::read_remote(Buffers* buf) {
    buf->trim();
    ssize_t n = recv(remote_fd, buf->put(), buf->available(), 0);
    if (n > 0) {
        buf->increment(static_cast<uint64_t>(n));
        return 1;
    }
    if (n == 0) return -1;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
}

static int64_t send_result(ssize_t n) {
    if (n > 0) return n;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return -1;
}

int64_t Session::write_client(const uint8_t* data, size_t len) {
    if (len == 0) return -1;
    if (ssl == nullptr) return send_result(send(client_fd, data, len, MSG_NOSIGNAL));
    int n = wolfSSL_write(ssl, data, static_cast<int>(len));
    if (n > 0) return n;
    if (n < 0 && get_ssl_error(n)) return 0;
    return -1;
}

int64_t Session::write_remote(const uint8_t* data, size_t len) {
    if (len == 0) return -1;
    return send_result(send(remote_fd, data, len, MSG_NOSIGNAL));
}
