// Authentication record, connect header and destination sockets.
#include "socks.h"

#include "attributes.h"
#include "buffers.h"
#include "strings.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int kvr_socks_filter_auth(Buffers* buf, std::string& name, unsigned short& size) {
    // Whatever the client sends first (an upgrade request, say) is skipped.
    while (buf->length() >= KTUN_AUTH_SIZE) {
        const uint8_t* p = buf->get();
        if (p[0] == KTUN_AUTH_MAGIC0 && p[1] == KTUN_AUTH_MAGIC1) {
            const char* field = reinterpret_cast<const char*>(p + 2);
            name.assign(field, strnlen(field, 16));
            str_badblock(name);
            uint16_t announced;
            KAVRO_LOAD2B(&announced, p + 18);
            if (announced == 0) return -1;
            size = announced;
            buf->decrement(KTUN_AUTH_SIZE);
            return 1;
        }
        buf->decrement(1);
    }
    return 0;
}

KTUN_HDR_CONN* kvr_socks_ktun_hdr(Buffers* buf) {
    if (buf->length() < sizeof(KTUN_HDR_CONN)) return nullptr;
    KTUN_HDR_CONN* hdr = reinterpret_cast<KTUN_HDR_CONN*>(buf->get());
    buf->decrement(sizeof(KTUN_HDR_CONN));
    if (hdr->status == 0x01) return hdr;
    kvr_logs_print("WARNING", "kvr_socks_ktun_hdr: invalid kavrotun status descriptor");
    return nullptr;
}

bool kvr_socks_is_dns(int socktype, unsigned short port, const char* address_text) {
    static const char* const dns_addresses[] = {"172.16.77.2", "10.77.77.2", "192.168.77.2",
                                                "100.64.77.2", "fc00::2"};
    if (socktype != SOCK_DGRAM || port != 53) return false;
    for (const char* addr : dns_addresses)
        if (std::strcmp(addr, address_text) == 0) return true;
    return false;
}

bool kvr_socks_ktun_desc(KTUN_HDR_CONN* hdr, int& family, int& socktype, unsigned short& port,
                         bool& dns) {
    switch (hdr->protocol) {
    case 0xA3:
        family = AF_INET, socktype = SOCK_STREAM;
        break;
    case 0xA4:
        family = AF_INET6, socktype = SOCK_STREAM;
        break;
    case 0xA5:
        family = AF_INET, socktype = SOCK_DGRAM;
        break;
    case 0xA6:
        family = AF_INET6, socktype = SOCK_DGRAM;
        break;
    default:
        kvr_logs_print("WARNING", "kvr_socks_ktun_desc: invalid kavrotun protocol descriptor");
        return false;
    }
    uint16_t value;
    KAVRO_LOAD2B(&value, hdr->port);
    if (value == 0) {
        kvr_logs_print("WARNING", "kvr_socks_ktun_desc: invalid kavrotun port-range descriptor");
        return false;
    }
    port = value;
    char text[INET6_ADDRSTRLEN];
    if (inet_ntop(family, hdr->address, text, sizeof(text)) == nullptr) {
        kvr_logs_print("WARNING", "kvr_socks_ktun_desc: can't convert network address from client");
        return false;
    }
    if (kvr_socks_is_dns(socktype, port, text)) dns = true;
    if (!kvr_logs_debug) return true;
    if (dns) {
        kvr_logs_print("DEBUG", "redirecting client dns request");
    } else {
        kvr_logs_print("DEBUG", "client request: %s,%s,%s:%hu",
                       family == AF_INET ? "AF_INET" : "AF_INET6",
                       socktype == SOCK_STREAM ? "SOCK_STREAM" : "SOCK_DGRAM", text, port);
    }
    return true;
}

int kvr_socks_prepare_fd(int family, int socktype, const uint8_t* address, unsigned short port) {
    struct sockaddr_storage dest;
    std::memset(&dest, 0, sizeof(dest));
    socklen_t len;
    if (family == AF_INET) {
        auto* in = reinterpret_cast<struct sockaddr_in*>(&dest);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        std::memcpy(&in->sin_addr, address, 4);
        len = sizeof(*in);
    } else if (family == AF_INET6) {
        auto* in6 = reinterpret_cast<struct sockaddr_in6*>(&dest);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        std::memcpy(&in6->sin6_addr, address, 16);
        len = sizeof(*in6);
    } else {
        return -1;
    }
    int fd = socket(family, socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (socktype == SOCK_DGRAM) {
        struct sockaddr_storage any;
        std::memset(&any, 0, sizeof(any));
        any.ss_family = static_cast<sa_family_t>(family); // wildcard address, port 0
        if (bind(fd, reinterpret_cast<struct sockaddr*>(&any), len) != 0) {
            if (kvr_logs_debug)
                kvr_logs_print("DEBUG", "kvr_socks_prepare_fd -> bind udp failed, %s",
                               std::strerror(errno));
            close(fd);
            return -1;
        }
    }
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&dest), len) != 0 && errno != EINPROGRESS) {
        if (kvr_logs_debug)
            kvr_logs_print("DEBUG", "kvr_socks_prepare_fd -> connect failed, %s",
                           std::strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}
