// Client-facing relay half: TLS accept, HTTP reply, authentication, connect,
// client-to-destination stream, client-bound sends and the TLS close.
#pragma once

#include "relay.h"

class RelayServer : public Relay {
  public:
    RelayServer(Session* session, int fd) { super(session, fd); }

    bool do_recv_cb() override;
    bool do_send_cb() override;
    bool do_all_process();
    bool do_ssl_accept();
    bool do_http_response();
    bool do_auth();
    bool do_connect();
    bool do_stream_recv();
    bool do_stream_send();
    bool do_ssl_shutdown();

  private:
    bool authenticate(const std::string& name);
    int open_destination(Buffers& plain);
};
