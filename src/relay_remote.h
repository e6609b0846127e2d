// Destination-facing relay half: establish answer, destination-to-client
// segments, and the rest of client segments the destination took only in part.
#pragma once

#include "relay.h"

class RelayRemote : public Relay {
  public:
    RelayRemote(Session* session, int fd) { super(session, fd); }

    bool do_recv_cb() override;
    bool do_send_cb() override;
    bool do_establish();
    bool do_stream_recv();
    bool do_stream_send();

    // Plaintext read from the destination per segment: with the 2-byte length
    // and 28 bytes of IV and tag, one segment fills a 2048-byte relay buffer.
    static constexpr uint64_t READ_SIZE = 2018;
};
