// Configuration file: read, validated key by key, rewritten when missing or bad.
#include "config.h"

#include "attributes.h"
#include "strings.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fstream>

#include <wolfssl/options.h>
#include <wolfssl/ssl.h>

Config* cfg = nullptr;

Config::Config()
    : config_path(kvr_conf_dir() + "config.json"),
      dns_resolver("/etc/resolv.conf"), tcp_std{80}, tcp_ssl{443},
      ssl_cert(kvr_conf_dir() + "cert.pem"), ssl_key(kvr_conf_dir() + "key.pem"),
      ssl_version(KVR_AUTO), conn_timeout(60),
      http_ok("HTTP/1.1 101 Switching Protocols[crlf]Upgrade: websocket[crlf]Connection: "
              "Upgrade[crlf][crlf]") {
    payload_format(http_ok);
}

bool Config::load_config() {
    json::jobject doc;
    bool read = read_config_file(doc);
    bool taken = false;
    try {
        taken = read && from_json(doc);
    } catch (const std::exception& e) {
        kvr_logs_print("ERROR", "read_config_file: config file isn't valid: %s", e.what());
    }
    if (!taken) {
        kvr_logs_print("WARNING",
                       read ? "forcing write possible current config to file: %s"
                            : "forcing write default config to file: %s",
                       config_path.c_str());
        keep_invalid_file();
        doc = json::jobject();
        to_json(doc);
        if (!write_config_file(doc))
            kvr_logs_print("DEATH",
                           "config write failed with error, check read & write file permission");
        read_dns_resolv_file(doc["dns_resolver"].as_string());
        fix_file_permission(config_path.c_str());
    }
    doc = json::jobject();
    to_json(doc);
    log_settings(doc);
    return taken;
}

// An operator's file that is about to be replaced is kept beside it first.
void Config::keep_invalid_file() {
    std::string text;
    if (!kvr_read_file(config_path, text)) return; // missing: nothing to keep
    std::string kept = config_path + ".bak";
    if (!kvr_write_file_atomic(kept, text)) {
        kvr_logs_print("ERROR", "load_config: can't keep previous config file as %s, %s",
                       kept.c_str(), std::strerror(errno));
        return;
    }
    kvr_logs_print("WARNING", "load_config: previous config file kept as %s", kept.c_str());
}

void Config::log_settings(const json::jobject& doc) const {
    kvr_logs_print("INFO", "config path: %s", config_path.c_str());
    for (const std::string& key : doc.list_keys()) {
        std::string value = doc[key].as_string();
        kvr_logs_print("INFO", "config %s: %s", key.c_str(), value.c_str());
    }
}

bool Config::read_config_file(json::jobject& doc) {
    std::string text;
    if (!kvr_read_file(config_path, text)) return false;
    try {
        doc = json::jobject::parse(text);
    } catch (const json::parsing_error& e) {
        kvr_logs_print("ERROR", "read_config_file: config file isn't valid: %s", e.what());
        return false;
    }
    return true;
}

bool Config::write_config_file(const json::jobject& doc) {
    return kvr_write_file_atomic(config_path, doc.pretty(0));
}

static std::string shown(const json::jobject::entry& value) {
    return value.type() == json::jtype::js_string ? value.as_string() : value.ref();
}

bool Config::json_ports_parse(const json::jobject& doc, const std::string& key,
                              std::vector<int>& ports) {
    ports.clear();
    if (doc.is_array() || !doc.has_key(key)) {
        kvr_logs_print("ERROR", "config_key: %s, doesn't contain key", key.c_str());
        return false;
    }
    auto value = doc[key];
    if (value.type() != json::jtype::js_array) {
        kvr_logs_print("ERROR", "config_key: %s, isn't array value: %s", key.c_str(),
                       shown(value).c_str());
        return false;
    }
    json::jobject list = json::jobject::parse(value.ref());
    for (size_t i = 0; i < list.size(); ++i) {
        json::jobject::const_value item = list.array(i);
        if (!item.is_number()) {
            kvr_logs_print("ERROR", "config_key: %s, value: %s is not valid number", key.c_str(),
                           shown(item).c_str());
            return false;
        }
        int port = item;
        if (port < 1 || port > 65535) {
            kvr_logs_print("ERROR", "config_key: %s, value: %d isn't in range (1-65535)",
                           key.c_str(), port);
            return false;
        }
        ports.push_back(port);
    }
    return true;
}

bool Config::take_string(const json::jobject& doc, const char* key, std::string& value) {
    if (doc.is_array() || !doc.has_key(key)) {
        kvr_logs_print("ERROR", "config_key: %s, doesn't contain key", key);
        return false;
    }
    if (!doc[key].is_string()) {
        kvr_logs_print("ERROR", "config_key: %s, isn't string value", key);
        return false;
    }
    value = doc[key].as_string();
    return true;
}

bool Config::take_path(const json::jobject& doc, const char* key, std::string& field) {
    std::string value;
    if (!take_string(doc, key, value)) return false;
    if (value.empty()) {
        kvr_logs_print("ERROR", "config_key: %s, doesn't contain path value", key);
        return false;
    }
    field = value;
    return true;
}

bool Config::from_json(const json::jobject& doc) {
    const std::pair<const char*, std::vector<int>*> lists[] = {{"tcp_std", &tcp_std},
                                                               {"tcp_ssl", &tcp_ssl}};
    std::vector<int> ports;
    for (const auto& list : lists) {
        bool ok = json_ports_parse(doc, list.first, ports);
        // ports read before a bad entry are kept, so the rewrite preserves them
        if (ok || !ports.empty()) *list.second = ports;
        if (!ok) return false;
    }
    if (!take_path(doc, "ssl_cert", ssl_cert) || !take_path(doc, "ssl_key", ssl_key)) return false;
    std::string text;
    if (!take_string(doc, "ssl_version", text)) return false;
    ssl_version = ssl_version_enum(text);

    if (!doc.has_key("conn_timeout")) {
        kvr_logs_print("ERROR", "config_key: %s, doesn't contain key", "conn_timeout");
        return false;
    }
    if (!doc["conn_timeout"].is_number()) {
        kvr_logs_print("ERROR", "config_key: %s, isn't number value", "conn_timeout");
        return false;
    }
    int timeout = doc["conn_timeout"];
    if (timeout < 5 || timeout > 60) {
        kvr_logs_print("ERROR", "config_key: %s, value: %d isn't in range (5-60)", "conn_timeout",
                       timeout);
        return false;
    }
    conn_timeout = timeout;

    if (!take_string(doc, "dns_resolver", text)) return false;
    read_dns_resolv_file(text);
    if (!take_string(doc, "http_ok", text)) return false;
    http_ok = text;
    payload_format(http_ok);
    return true;
}

void Config::to_json(json::jobject& doc) const {
    doc["tcp_std"].set_number_array(tcp_std, "%i");
    doc["tcp_ssl"].set_number_array(tcp_ssl, "%i");
    doc["ssl_cert"].set_string(ssl_cert);
    doc["ssl_key"].set_string(ssl_key);
    std::string version;
    ssl_version_string(ssl_version, version);
    doc["ssl_version"].set_string(version);
    doc.set("conn_timeout", json::parsing::get_number_string(conn_timeout, "%i"));
    doc["dns_resolver"].set_string(dns_resolver);
    std::string reply = http_ok;
    payload_string(reply);
    doc["http_ok"].set_string(reply);
}

WOLFSSL_METHOD* Config::ssl_method() const {
    switch (ssl_version) {
    case KVR_SSLV2:
        return wolfSSLv2_server_method();
    case KVR_SSLV23:
        return wolfSSLv23_server_method();
    case KVR_TLSV1_1:
        return wolfTLSv1_1_server_method();
    case KVR_TLSV1_2:
        return wolfTLSv1_2_server_method();
    case KVR_TLSV1_3:
        return wolfTLSv1_3_server_method();
    default:
        return wolfTLS_server_method();
    }
}

static const char* const ssl_names[] = {"SSLv2", "SSLv23", "TLSv1_1", "TLSv1_2", "TLSv1_3", "AUTO"};

KVR_SSL Config::ssl_version_enum(std::string& text) {
    str_tolower(text);
    static const char* const inputs[] = {"sslv2", "sslv23", "tlsv1_1", "tlsv1_2", "tlsv1_3"};
    for (int i = 0; i < 5; ++i)
        if (text == inputs[i]) return static_cast<KVR_SSL>(i);
    return KVR_AUTO;
}

void Config::ssl_version_string(KVR_SSL value, std::string& out) {
    out = (value >= 0 && value <= 4) ? ssl_names[value] : ssl_names[KVR_AUTO];
}

void Config::payload_format(std::string& text) {
    str_replace(text, "\\r", "\r");
    str_replace(text, "\\n", "\n");
    str_replace(text, "[cr]", "\r");
    str_replace(text, "[lf]", "\n");
    str_replace(text, "[crlf]", "\r\n");
    str_replace(text, "[lfcr]", "\n\r");
}

void Config::payload_string(std::string& text) {
    str_replace(text, "\r\n", "[crlf]");
    str_replace(text, "\n\r", "[lfcr]");
    str_replace(text, "\r", "[cr]");
    str_replace(text, "\n", "[lf]");
}

void Config::read_dns_resolv_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (in.is_open() && str_getline(in, line)) {
        str_tolower(line);
        if (!str_startwith(line, "nameserver")) continue;
        std::string addr = line.substr(10);
        str_replace(addr, " ", "");
        str_replace(addr, "\t", "");
        LocalDns entry{AF_INET, {0}};
        if (inet_pton(AF_INET, addr.c_str(), entry.address) != 1) {
            entry.family = AF_INET6;
            if (inet_pton(AF_INET6, addr.c_str(), entry.address) != 1) {
                kvr_logs_print("WARNING", "read_dns_resolv_file: skiping unsupported local dns %s",
                               addr.c_str());
                continue;
            }
        }
        kvr_logs_print("INFO", "read_dns_resolv_file: add local_dns %s:53", addr.c_str());
        local_dns.push_back(entry);
    }
    if (local_dns.empty()) {
        kvr_logs_print("WARNING", "read_dns_resolv_file: local dns is empty or maybe wrong "
                                  "resolv.conf file, force using default dns (8.8.8.8:53)");
        LocalDns entry{AF_INET, {0}};
        if (inet_pton(AF_INET, "8.8.8.8", entry.address) != 1)
            kvr_logs_print("DEATH", "read_dns_resolv_file: unable to convert default local_dns");
        local_dns.push_back(entry);
    }
    dns_resolver = path;
}

int Config::local_dns_index(int family) const {
    for (size_t i = 0; i < local_dns.size(); ++i)
        if (local_dns[i].family == family) return static_cast<int>(i);
    return 0;
}
