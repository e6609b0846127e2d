// Base of the two halves of a session: a buffer and three watchers on one socket.
#pragma once

#include <ev.h>

#include "buffers.h"

class Session;

class Relay {
  public:
    Relay() = default;
    virtual ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    virtual bool do_recv_cb() = 0;
    virtual bool do_send_cb() = 0;

    void super(Session* session, int fd);
    void start_send();
    void stop_send();
    void start_recv();
    void stop_recv();
    void start_recv_idle();
    void stop_recv_idle();

    Buffers buffers;
    Session* session = nullptr;
    ev_io send_watcher;
    ev_io recv_watcher;
    ev_idle idle_watcher;
};

void libev_recv_cb(struct ev_loop* loop, ev_io* watcher, int events);
void libev_recv_idle_cb(struct ev_loop* loop, ev_idle* watcher, int events);
void libev_send_cb(struct ev_loop* loop, ev_io* watcher, int events);
