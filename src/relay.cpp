// Watcher plumbing shared by both relay halves.
#include "relay.h"

#include "server.h"
#include "session.h"

void Relay::super(Session* owner, int fd) {
    session = owner;
    ev_io_init(&send_watcher, libev_send_cb, fd, EV_WRITE);
    ev_io_init(&recv_watcher, libev_recv_cb, fd, EV_READ);
    ev_idle_init(&idle_watcher, libev_recv_idle_cb);
    send_watcher.data = recv_watcher.data = idle_watcher.data = this;
}

Relay::~Relay() {
    if (session == nullptr) return;
    ev_io_stop(session->loop, &send_watcher);
    ev_io_stop(session->loop, &recv_watcher);
    ev_idle_stop(session->loop, &idle_watcher);
}

void Relay::start_send() {
    if (session) ev_io_start(session->loop, &send_watcher);
}
void Relay::stop_send() {
    if (session) ev_io_stop(session->loop, &send_watcher);
}
void Relay::start_recv() {
    if (session) ev_io_start(session->loop, &recv_watcher);
}
void Relay::stop_recv() {
    if (session) ev_io_stop(session->loop, &recv_watcher);
}
void Relay::start_recv_idle() {
    if (session) ev_idle_start(session->loop, &idle_watcher);
}
void Relay::stop_recv_idle() {
    if (session) ev_idle_stop(session->loop, &idle_watcher);
}

// A false handler result removes the whole session, this relay included, so
// nothing may touch the relay after remove_session.
static void finish(Relay* relay, bool keep) {
    if (!keep && svr != nullptr) svr->remove_session(relay->session);
}

void libev_recv_cb(struct ev_loop*, ev_io* watcher, int) {
    Relay* relay = static_cast<Relay*>(watcher->data);
    finish(relay, relay->do_recv_cb());
}

void libev_recv_idle_cb(struct ev_loop*, ev_idle* watcher, int) {
    Relay* relay = static_cast<Relay*>(watcher->data);
    finish(relay, relay->do_recv_cb());
}

void libev_send_cb(struct ev_loop*, ev_io* watcher, int) {
    Relay* relay = static_cast<Relay*>(watcher->data);
    finish(relay, relay->do_send_cb());
}
