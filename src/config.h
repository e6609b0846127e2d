// Service settings: defaults, the configuration file, the TLS version choice and
// the host resolver list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "json/json.h"

struct WOLFSSL_METHOD;

enum KVR_SSL : int32_t {
    KVR_SSLV2 = 0,
    KVR_SSLV23 = 1,
    KVR_TLSV1_1 = 2,
    KVR_TLSV1_2 = 3,
    KVR_TLSV1_3 = 4,
    KVR_AUTO = 5,
};

struct LocalDns {
    int family;
    uint8_t address[16];
};

class Config {
  public:
    Config();

    bool load_config();
    bool read_config_file(json::jobject& doc);
    bool from_json(const json::jobject& doc);
    void to_json(json::jobject& doc) const;
    bool write_config_file(const json::jobject& doc);
    bool json_ports_parse(const json::jobject& doc, const std::string& key,
                          std::vector<int>& ports);

    WOLFSSL_METHOD* ssl_method() const;
    static KVR_SSL ssl_version_enum(std::string& text);
    static void ssl_version_string(KVR_SSL value, std::string& out);
    static void payload_format(std::string& text);
    static void payload_string(std::string& text);

    void read_dns_resolv_file(const std::string& path);
    int local_dns_index(int family) const;

    std::string config_path;
    std::string dns_resolver;
    std::vector<int> tcp_std;
    std::vector<int> tcp_ssl;
    std::string ssl_cert;
    std::string ssl_key;
    KVR_SSL ssl_version;
    int32_t conn_timeout;
    std::string http_ok;
    std::vector<LocalDns> local_dns;

  private:
    bool take_string(const json::jobject& doc, const char* key, std::string& value);
    bool take_path(const json::jobject& doc, const char* key, std::string& field);
    void keep_invalid_file();
    void log_settings(const json::jobject& doc) const;
};

extern Config* cfg;
