// Client relay: drives a session from the first TLS bytes to the TLS close.
#include "relay_server.h"

#include "attributes.h"
#include "config.h"
#include "crypto.h"
#include "relay_remote.h"
#include "session.h"
#include "socks.h"
#include "users.h"

#include <sys/socket.h>

#include <wolfssl/options.h>
#include <wolfssl/ssl.h>

bool RelayServer::do_recv_cb() {
    return do_all_process();
}

bool RelayServer::do_send_cb() {
    if (session->state != STREAM) return do_all_process();
    if (do_stream_send()) return true;
    if (kvr_logs_debug) kvr_logs_print("DEBUG", "relay_server->do_stream_send: closed");
    return false;
}

bool RelayServer::do_all_process() {
    if (session->state == SSL_ACCEPT && !do_ssl_accept()) return false;
    if (session->state == HTTP_RESPONSE && !do_http_response()) return false;
    if (session->state == AUTH && !do_auth()) return false;
    if (session->state == CONNECT && !do_connect()) return false;
    if (session->state == STREAM && !do_stream_recv()) {
        if (kvr_logs_debug) kvr_logs_print("DEBUG", "relay_server->do_stream_recv: closed");
        return false;
    }
    if (session->state == SSL_SHUTDOWN) return do_ssl_shutdown();
    return true;
}

bool RelayServer::do_ssl_accept() {
    int ret = wolfSSL_accept(session->ssl);
    if (ret == WOLFSSL_SUCCESS) {
        if (kvr_logs_debug) kvr_logs_print("DEBUG", "relay-server->do_ssl_accept: ssl accepted");
        if (!cfg->http_ok.empty()) {
            session->state = HTTP_RESPONSE;
            start_send();
            stop_recv();
        } else {
            session->state = AUTH;
            start_recv();
            stop_send();
        }
        return true;
    }
    switch (wolfSSL_get_error(session->ssl, ret)) {
    case WOLFSSL_ERROR_WANT_READ:
        start_recv(), stop_send();
        return true;
    case WOLFSSL_ERROR_WANT_WRITE:
        start_send(), stop_recv();
        return true;
    case WOLFSSL_ERROR_WANT_X509_LOOKUP:
        start_recv(), start_send();
        return true;
    default:
        return false;
    }
}

bool RelayServer::do_http_response() {
    const std::string& reply = cfg->http_ok;
    size_t offset = session->pending_offset;
    size_t rest = reply.size() - offset;
    int64_t n =
        session->write_client(reinterpret_cast<const uint8_t*>(reply.data()) + offset, rest);
    if (n < 0) return false;
    if (static_cast<size_t>(n) < rest) {
        session->pending_offset += static_cast<uint64_t>(n);
        if (kvr_logs_debug)
            kvr_logs_print("DEBUG",
                           "relay_server->do_http_response: http response keep partialy written");
        return true;
    }
    session->pending_offset = 0;
    session->state = AUTH;
    start_recv();
    stop_send();
    if (kvr_logs_debug)
        kvr_logs_print("DEBUG", "relay_server->do_http_response: http response completed");
    return true;
}

// The users file is read afresh for every attempt, so account changes made from
// the command line apply without a restart.
bool RelayServer::authenticate(const std::string& name) {
    try {
        Users users(true);
        if (users.is_blocked(name) || users.is_expired(name)) return false;
        return users.get_hashkey(name, session->key, sizeof(session->key));
    } catch (const std::exception&) {
        return false; // a damaged users file refuses, it never ends the worker
    }
}

bool RelayServer::do_auth() {
    int r = session->read_client(&buffers, 0);
    if (r <= 0) return r == 0;
    std::string name;
    unsigned short size = 0;
    r = kvr_socks_filter_auth(&buffers, name, size);
    if (r <= 0) return r == 0;
    if (!authenticate(name)) {
        if (kvr_logs_debug)
            kvr_logs_print("WARNING", "relay_server->do_auth: authenticate rejected (user:%s)",
                           name.c_str());
        return false;
    }
    session->segment_size = size;
    session->state = CONNECT;
    if (kvr_logs_debug) kvr_logs_print("DEBUG", "relay-server->do_auth: authenticate completed");
    return true;
}

// Opens the destination named by the connect header; -1 when refused.
int RelayServer::open_destination(Buffers& plain) {
    KTUN_HDR_CONN* hdr = kvr_socks_ktun_hdr(&plain);
    if (hdr == nullptr) return -1;
    int family = 0;
    unsigned short port = 0;
    bool dns = false;
    if (!kvr_socks_ktun_desc(hdr, family, session->socktype, port, dns)) return -1;
    if (!dns) return kvr_socks_prepare_fd(family, session->socktype, hdr->address, port);
    const LocalDns& resolver = cfg->local_dns[static_cast<size_t>(cfg->local_dns_index(family))];
    return kvr_socks_prepare_fd(resolver.family, SOCK_DGRAM, resolver.address, 53);
}

bool RelayServer::do_connect() {
    int r = session->read_client(&buffers, session->segment_size);
    if (r == 0) {
        stop_recv_idle();
        if (kvr_logs_debug)
            kvr_logs_print("DEBUG", "relay-server->do_connect->read_client: pending 0");
        return true;
    }
    if (r < 0) {
        if (kvr_logs_debug)
            kvr_logs_print("DEBUG", "relay-server->do_connect->read_client: closed -1");
        return false;
    }
    Buffers plain;
    // A size beyond the buffer can never arrive whole: it fails here, unread.
    if (!plain.allocate(Session::RELAY_BUFFER_SIZE) || buffers.length() < session->segment_size ||
        !Crypto::decryptAesGcm(buffers.get(), session->segment_size, &plain, session->key)) {
        if (kvr_logs_debug)
            kvr_logs_print(
                "DEBUG",
                "relay-server->do_connect->decrypt_auth: failed, seg_size: %lu, buf_len: %lu",
                static_cast<unsigned long>(session->segment_size),
                static_cast<unsigned long>(buffers.length()));
        return false;
    }
    int fd = open_destination(plain);
    if (fd < 0) return false;
    if (!session->setup_remote(fd)) return false;
    session->state = ESTABLISH;
    buffers.decrement(session->segment_size);
    session->segment_size = 0;
    stop_send();
    stop_recv();
    stop_recv_idle();
    session->relay_remote->start_send();
    if (kvr_logs_debug) kvr_logs_print("DEBUG", "relay-server->do_connect: connect completed");
    return true;
}

//  data segment: | L (2, LE), 28 <= L <= 2048 | sealed segment (L) |
bool RelayServer::do_stream_recv() {
    if (session->segment_size == 0) {
        int r = session->read_client(&buffers, 2);
        if (r == 0) {
            stop_recv_idle();
            return true;
        }
        uint16_t length = 0;
        if (r < 0 || !buffers.getU16(length)) {
            if (kvr_logs_debug)
                kvr_logs_print("DEBUG", "relay-server->do_stream_recv: read_client closed");
            return false;
        }
        if (length < Crypto::OVERHEAD || length > Session::RELAY_BUFFER_SIZE) return false;
        session->segment_size = length;
    }
    int r = session->read_client(&buffers, session->segment_size);
    if (r == 0) {
        stop_recv_idle();
        return true;
    }
    if (r < 0) {
        if (kvr_logs_debug)
            kvr_logs_print("DEBUG", "relay-server->do_stream_recv: read_client closed");
        return false;
    }
    start_recv_idle();
    Buffers plain;
    if (!plain.allocate(session->segment_size) ||
        !Crypto::decryptAesGcm(buffers.get(), session->segment_size, &plain, session->key)) {
        if (kvr_logs_debug) kvr_logs_print("DEBUG", "relay-server->do_stream_recv: decrypt failed");
        return false;
    }
    int64_t n = session->write_remote(plain.get(), plain.length());
    if (n < 0) {
        if (kvr_logs_debug)
            kvr_logs_print("DEBUG", "relay-server->do_stream_recv: write_remote closed");
        return false;
    }
    if (static_cast<uint64_t>(n) < plain.length()) {
        if (kvr_logs_debug)
            kvr_logs_print("DEBUG", "relay-server->do_stream_recv: pending, write: %ld, total: %lu",
                           static_cast<long>(n), static_cast<unsigned long>(plain.length()));
        // The segment stays sealed in the buffer; the destination relay opens it
        // again and writes the rest when the destination can take it.
        session->pending_offset = static_cast<uint64_t>(n);
        stop_recv();
        stop_recv_idle();
        session->relay_remote->start_send();
        return true;
    }
    buffers.decrement(session->segment_size);
    session->segment_size = 0;
    session->timer_again();
    if (kvr_logs_debug) kvr_logs_print("DEBUG", "relay-server->do_stream_recv: complete");
    return true;
}

bool RelayServer::do_stream_send() {
    Buffers& out = session->relay_remote->buffers;
    int64_t n = session->write_client(out.get(), out.length());
    if (n < 0) {
        if (kvr_logs_debug)
            kvr_logs_print("DEBUG", "relay-server->do_stream_send: write_client closed");
        return false;
    }
    if (static_cast<uint64_t>(n) < out.length()) {
        out.decrement(static_cast<uint64_t>(n));
        return true;
    }
    stop_send();
    session->relay_remote->start_recv();
    session->timer_again();
    if (kvr_logs_debug) kvr_logs_print("DEBUG", "relay-server->do_stream_send: send completed");
    return true;
}

bool RelayServer::do_ssl_shutdown() {
    int ret = wolfSSL_shutdown(session->ssl);
    if (ret == WOLFSSL_SUCCESS) {
        if (kvr_logs_debug) kvr_logs_print("DEBUG", "do_ssl_shutdown: ssl shutdown success");
        return false;
    }
    stop_recv_idle();
    switch (wolfSSL_get_error(session->ssl, ret)) {
    case WOLFSSL_ERROR_WANT_WRITE:
        start_send();
        stop_recv();
        if (kvr_logs_debug) kvr_logs_print("DEBUG", "do_ssl_shutdown: ssl shutdown want write");
        return true;
    case WOLFSSL_ERROR_WANT_READ:
        start_recv();
        stop_send();
        if (kvr_logs_debug) kvr_logs_print("DEBUG", "do_ssl_shutdown: ssl shutdown want read");
        return true;
    default:
        return false;
    }
}
