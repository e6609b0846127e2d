// Tunnel records before the stream: the authentication record, the connect
// header with its descriptors, and opening the destination socket.
#pragma once

#include <cstdint>
#include <string>

class Buffers;

//  authentication record (20 bytes, clear):
//  | 0x03 | 0x1A | user name (16, zero-terminated when shorter) | size (2, LE) |
constexpr uint8_t KTUN_AUTH_MAGIC0 = 0x03;
constexpr uint8_t KTUN_AUTH_MAGIC1 = 0x1A;
constexpr uint64_t KTUN_AUTH_SIZE = 20;

//  connect header (first 20 bytes of the connect segment's plaintext):
//  | status 0x01 | protocol 0xA3..0xA6 | address (16) | port (2, LE) |
struct KTUN_HDR_CONN {
    uint8_t status;
    uint8_t protocol;
    uint8_t address[16];
    uint8_t port[2];
};
static_assert(sizeof(KTUN_HDR_CONN) == 20, "connect header is 20 bytes on the wire");

int kvr_socks_filter_auth(Buffers* buf, std::string& name, unsigned short& size);
KTUN_HDR_CONN* kvr_socks_ktun_hdr(Buffers* buf);
bool kvr_socks_ktun_desc(KTUN_HDR_CONN* hdr, int& family, int& socktype, unsigned short& port,
                         bool& dns);
// True for a datagram request to port 53 of an in-tunnel DNS address.
bool kvr_socks_is_dns(int socktype, unsigned short port, const char* address_text);
int kvr_socks_prepare_fd(int family, int socktype, const uint8_t* address, unsigned short port);
