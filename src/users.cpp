// Account store: one JSON object, user name -> account record.
#include "users.h"

#include "crypto.h"
#include "strings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <regex>

Users::Users(bool quiet) : path(kvr_conf_dir() + "users.json"), quiet(quiet) {
    reload();
}

void Users::reload() {
    store = json::jobject();
    unreadable = false;
    std::string text;
    if (!kvr_read_file(path, text)) {
        unreadable = errno != ENOENT; // there, but not ours to read: never overwrite it
        return;
    }
    try {
        store = json::jobject::parse(text);
    } catch (const json::parsing_error&) {
        store = json::jobject();
        unreadable = true;
    }
}

// A file we could not read is renamed aside rather than overwritten, so a hand
// edit gone wrong never costs the accounts in it.
bool Users::keep_unreadable_file() {
    std::string kept = path + ".invalid-" + kvr_time_stamp("%Y%m%d%H%M%S");
    if (rename(path.c_str(), kept.c_str()) != 0) {
        if (errno == ENOENT) return true; // already gone: nothing to keep
        kvr_logs_print("ERROR", "save_users: can't keep unreadable users file as %s, %s",
                       kept.c_str(), std::strerror(errno));
        return false;
    }
    kvr_logs_print("WARNING", "save_users: unreadable users file kept as %s", kept.c_str());
    unreadable = false;
    return true;
}

bool Users::save() {
    if (unreadable && !keep_unreadable_file()) return false;
    if (!kvr_write_file_atomic(path, static_cast<std::string>(store))) {
        kvr_logs_print("ERROR", "save_users: can't write users file %s", path.c_str());
        return false;
    }
    return fix_file_permission(path.c_str());
}

bool Users::validate_user(const std::string& name) {
    if (!store.has_key(name)) {
        error("validate_user: username %s not registered", name.c_str());
        return false;
    }
    json::jtype::jtype kind = store[name].type();
    if (kind == json::jtype::js_object || kind == json::jtype::js_array) return true;
    error("validate_user: username %s, invalid object type", name.c_str());
    return false;
}

bool Users::validate_info(const std::string& name, const json::jobject& record) {
    static const char* const keys[] = {"blocked", "hash_key", "issued", "expired"};
    for (const char* key : keys) {
        if (record.is_array() || !record.has_key(key)) {
            std::string text = record;
            error("validate_info: username %s, invalid object info %s", name.c_str(), text.c_str());
            return false;
        }
    }
    const json::jtype::jtype want[] = {json::jtype::js_boolean, json::jtype::js_string,
                                       json::jtype::js_string, json::jtype::js_number};
    for (int i = 0; i < 4; ++i) {
        if (record[keys[i]].type() != want[i]) {
            std::string text = record;
            error("validate_info: username %s, invalid object type info %s", name.c_str(),
                  text.c_str());
            return false;
        }
    }
    return true;
}

bool Users::lookup(const std::string& name, json::jobject& record) {
    if (!validate_user(name)) return false;
    record = json::jobject::parse(store[name].ref());
    return validate_info(name, record);
}

bool Users::username_check(const std::string& name) {
    static const std::regex allowed("^[a-zA-Z0-9\\.\\-\\_\\@]+$");
    if (name.empty()) {
        error("username_check: can't be empty");
        return false;
    }
    if (name.size() > 16) {
        error("username_check: length max: 16, input length: %hu",
              static_cast<unsigned short>(name.size() > 0xFFFF ? 0xFFFF : name.size()));
        return false;
    }
    if (!std::regex_match(name, allowed)) {
        error("username_check: only allow(a-zA-Z0-9.-_@) characters, invalid input: %s",
              name.c_str());
        return false;
    }
    return true;
}

std::string Users::get_time_now() {
    std::time_t now = std::time(nullptr);
    struct tm local;
    char text[32] = {0};
    if (localtime_r(&now, &local) != nullptr) std::strftime(text, sizeof(text), "%Y%m%d", &local);
    return text;
}

bool Users::make_key_text(const std::string& password, std::string& text) {
    uint8_t key[32] = {0};
    if (!Crypto::hashKeySHA256(password, key)) return false;
    str_bytes_to_hexstr(key, sizeof(key), text);
    return true;
}

bool Users::add_user(const std::string& name, const std::string& password) {
    if (!username_check(name)) return false;
    if (password.empty()) {
        error("add_user: username %s, password can't be empty", name.c_str());
        return false;
    }
    if (store.is_array()) {
        error("add_user: username %s, users file holds no accounts object", name.c_str());
        return false;
    }
    if (store.has_key(name)) {
        error("add_user: username %s already exist", name.c_str());
        return false;
    }
    std::string key_text;
    if (!make_key_text(password, key_text)) {
        error("add_user: username %s hash_key failed", name.c_str());
        return false;
    }
    json::jobject record;
    record["blocked"].set_boolean(false);
    record["hash_key"].set_string(key_text);
    record["issued"].set_string(get_time_now());
    record["expired"].set_number(0);
    store.set(name, record);
    return true;
}

bool Users::renew_user(const std::string& name) {
    json::jobject record;
    if (!lookup(name, record)) return false;
    record["issued"].set_string(get_time_now());
    store.set(name, record);
    return true;
}

bool Users::rename_user(const std::string& old_name, const std::string& new_name) {
    if (!validate_user(old_name)) return false;
    if (!username_check(new_name)) {
        error("rename_user: new username %s", new_name.c_str());
        return false;
    }
    if (store.has_key(new_name)) {
        error("rename_user: new username %s already exist", new_name.c_str());
        return false;
    }
    json::jobject record = json::jobject::parse(store[old_name].ref());
    if (!validate_info(old_name, record)) return false;
    store.remove(old_name);
    store.set(new_name, record);
    return true;
}

bool Users::set_block(const std::string& name, bool blocked) {
    json::jobject record;
    if (!lookup(name, record)) return false;
    record["blocked"].set_boolean(blocked);
    store.set(name, record);
    return true;
}

bool Users::set_password(const std::string& name, const std::string& password) {
    if (!validate_user(name)) return false;
    if (password.empty()) {
        error("set_password: username %s, password can't be empty", name.c_str());
        return false;
    }
    json::jobject record = json::jobject::parse(store[name].ref());
    if (!validate_info(name, record)) return false;
    std::string key_text;
    if (!make_key_text(password, key_text)) {
        error("set_password: username %s hash_key failed", name.c_str());
        return false;
    }
    record["hash_key"].set_string(key_text);
    store.set(name, record);
    return true;
}

bool Users::set_expired(const std::string& name, int32_t days) {
    json::jobject record;
    if (!lookup(name, record)) return false;
    if (days < 0) {
        error("set_expired: days out-of-range min: 0, 0=unlimited");
        return false;
    }
    record.set("expired", json::parsing::get_number_string(days, "%i"));
    store.set(name, record);
    return true;
}

bool Users::remove_user(const std::string& name) {
    if (!validate_user(name)) return false;
    store.remove(name);
    return true;
}

void Users::remove_all() {
    store.clear();
}

bool Users::is_blocked(const std::string& name) {
    json::jobject record;
    if (!lookup(name, record)) return true;
    return record["blocked"].ref() == "true";
}

int32_t Users::elapsed_days(const std::string& issued) {
    struct tm fields;
    std::memset(&fields, 0, sizeof(fields));
    strptime(issued.c_str(), "%Y%m%d", &fields);
    fields.tm_isdst = 0;
    std::time_t issue = mktime(&fields);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    // 128-bit nanoseconds: far-future or far-past dates must not overflow.
    __int128 now_ns = static_cast<__int128>(now.tv_sec) * 1000000000 + now.tv_nsec;
    __int128 days = (now_ns - static_cast<__int128>(issue) * 1000000000) / 86400000000000LL;
    if (days > INT32_MAX) return INT32_MAX;
    if (days < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(days);
}

bool Users::is_expired(const std::string& name) {
    json::jobject record;
    if (!lookup(name, record)) return true;
    int32_t days = record["expired"];
    if (days <= 0) return false;
    return days < elapsed_days(record["issued"].as_string());
}

bool Users::get_hashkey(const std::string& name, uint8_t* key, uint64_t length) {
    json::jobject record;
    if (!lookup(name, record)) return false;
    std::string text = record["hash_key"].as_string();
    if (text.empty() || text.size() % 2 != 0 || text.size() > 2 * length) {
        error("get_hashkey: username %s invalid hash_key value", name.c_str());
        return false;
    }
    if (str_hexstr_to_bytes(text, key) == length) return true;
    error("get_hashkey: username %s invalid hash_key result value", name.c_str());
    return false;
}

std::string Users::string_info(const std::string& name, const json::jobject& record) {
    bool blocked = is_blocked(name);
    bool expired = is_expired(name);
    const char* status = blocked && expired ? "blocked & expired"
                         : blocked          ? "blocked"
                         : expired          ? "expired"
                                            : "active";
    int32_t days = record["expired"];
    std::string validity;
    if (days <= 0) {
        validity = "never";
    } else {
        long left =
            expired ? 0 : static_cast<long>(days) - elapsed_days(record["issued"].as_string());
        validity = std::to_string(left) + " left - " + std::to_string(days) + " day(s)";
    }
    std::string text = "+ " + name + " -> " + status + "\n";
    text +=
        std::string("  -blocked: ") + (record["blocked"].ref() == "true" ? "true" : "false") + "\n";
    text += "  -hash_key: " + record["hash_key"].as_string() + "\n";
    text += "  -issued(yyyymmdd): " + record["issued"].as_string() + "\n";
    text += "  -expired: " + validity;
    return text;
}

bool Users::info_user(const std::string& name) {
    json::jobject record;
    if (!lookup(name, record)) return false;
    std::string text = string_info(name, record) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return true;
}

void Users::print_list_users() {
    if (store.size() == 0) {
        if (!quiet) kvr_logs_print("INFO", "list_users: no registered user(s) are available");
        return;
    }
    std::string text;
    unsigned long count = 0;
    for (const std::string& key : store.list_keys()) {
        json::jobject record;
        if (!lookup(key, record)) continue;
        text += string_info(key, record) + "\n";
        ++count;
    }
    text += "Total User(s): " + std::to_string(count) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}
