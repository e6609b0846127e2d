// Destination relay: one destination read becomes one sealed segment to the client.
#include "relay_remote.h"

#include "attributes.h"
#include "crypto.h"
#include "relay_server.h"
#include "session.h"

//  establish answer: | 0x03 | 0x02 | 0x0000 (LE) |
static const uint8_t establish_answer[4] = {0x03, 0x02, 0x00, 0x00};

bool RelayRemote::do_send_cb() {
    if (session->state == ESTABLISH) {
        if (do_establish()) return true;
        if (kvr_logs_debug) kvr_logs_print("DEBUG", "relay_remote->do_establish: closed");
        return false;
    }
    if (session->state != STREAM) return true;
    if (do_stream_send()) return true;
    if (kvr_logs_debug) kvr_logs_print("DEBUG", "relay_remote->do_stream_send: closed");
    return session->finish_stream();
}

bool RelayRemote::do_recv_cb() {
    if (session->state != STREAM) return true;
    if (do_stream_recv()) return true;
    if (kvr_logs_debug) kvr_logs_print("DEBUG", "relay_remote->do_stream_recv: closed");
    return session->finish_stream();
}

bool RelayRemote::do_establish() {
    if (session->write_client(establish_answer, sizeof(establish_answer)) !=
        static_cast<int64_t>(sizeof(establish_answer)))
        return false;
    session->state = STREAM;
    if (kvr_logs_debug) kvr_logs_print("DEBUG", "relay_remote->do_establish: establish completed");
    session->arming_recv_stream();
    return true;
}

bool RelayRemote::do_stream_recv() {
    Buffers plain;
    if (!plain.allocate(READ_SIZE)) return false;
    int r = session->read_remote(&plain);
    if (r == 0) return true;
    if (r < 0) {
        if (kvr_logs_debug)
            kvr_logs_print("DEBUG", "relay-remote->do_stream_recv: read_remote closed");
        return false;
    }
    buffers.clear();
    if (!buffers.putU16(static_cast<uint16_t>(plain.length() + Crypto::OVERHEAD)) ||
        !Crypto::encryptAesGcm(plain.get(), plain.length(), &buffers, session->key)) {
        if (kvr_logs_debug) kvr_logs_print("DEBUG", "relay-remote->do_stream_recv: encrypt failed");
        return false;
    }
    uint64_t total = buffers.length();
    int64_t n = session->write_client(buffers.get(), total);
    if (n < 0) {
        if (kvr_logs_debug)
            kvr_logs_print("DEBUG", "relay-remote->do_stream_recv: write_client closed");
        return false;
    }
    if (static_cast<uint64_t>(n) < total) {
        if (kvr_logs_debug)
            kvr_logs_print("DEBUG", "relay-remote->do_stream_recv: pending, write: %ld, total: %lu",
                           static_cast<long>(n), static_cast<unsigned long>(total));
        buffers.decrement(static_cast<uint64_t>(n));
        stop_recv();
        session->relay_server->start_send();
        return true;
    }
    session->timer_again();
    if (kvr_logs_debug) kvr_logs_print("DEBUG", "relay-remote->do_stream_recv: complete");
    return true;
}

bool RelayRemote::do_stream_send() {
    Buffers& in = session->relay_server->buffers;
    Buffers plain;
    if (!plain.allocate(session->segment_size) || in.length() < session->segment_size ||
        !Crypto::decryptAesGcm(in.get(), session->segment_size, &plain, session->key)) {
        if (kvr_logs_debug) kvr_logs_print("DEBUG", "relay-remote->do_stream_send: decrypt failed");
        return false;
    }
    uint64_t offset = session->pending_offset;
    uint64_t rest = plain.length() - offset;
    int64_t n = session->write_remote(plain.get(offset), rest);
    if (n < 0) {
        if (kvr_logs_debug)
            kvr_logs_print("DEBUG", "relay-remote->do_stream_send: write_remote closed");
        return false;
    }
    if (static_cast<uint64_t>(n) < rest) {
        session->pending_offset += static_cast<uint64_t>(n);
        return true;
    }
    in.decrement(session->segment_size);
    session->pending_offset = 0;
    session->segment_size = 0;
    stop_send();
    session->relay_server->start_recv();
    session->relay_server->start_recv_idle();
    session->timer_again();
    if (kvr_logs_debug) kvr_logs_print("DEBUG", "relay-remote->do_stream_send: send completed");
    return true;
}
