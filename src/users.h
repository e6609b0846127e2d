// Account store kept in users.json: loading, saving, account operations, the
// questions authentication asks, and the account listing.
#pragma once

#include <cstdint>
#include <string>

#include "attributes.h"
#include "json/json.h"

class Users {
  public:
    explicit Users(bool quiet);
    ~Users() = default;
    Users(const Users&) = delete;
    Users& operator=(const Users&) = delete;

    void reload();
    bool save();
    bool validate_user(const std::string& name);
    bool validate_info(const std::string& name, const json::jobject& record);

    bool username_check(const std::string& name);
    static std::string get_time_now();
    bool add_user(const std::string& name, const std::string& password);
    bool renew_user(const std::string& name);
    bool rename_user(const std::string& old_name, const std::string& new_name);
    bool set_block(const std::string& name, bool blocked);
    bool set_password(const std::string& name, const std::string& password);
    bool set_expired(const std::string& name, int32_t days);
    bool remove_user(const std::string& name);
    void remove_all();

    bool is_blocked(const std::string& name);
    bool is_expired(const std::string& name);
    bool get_hashkey(const std::string& name, uint8_t* key, uint64_t length);

    std::string string_info(const std::string& name, const json::jobject& record);
    bool info_user(const std::string& name);
    void print_list_users();

    const json::jobject& accounts() const { return store; }

    // Whole days since an "issued" date, as authentication counts them.
    static int32_t elapsed_days(const std::string& issued);

  private:
    bool lookup(const std::string& name, json::jobject& record);
    bool make_key_text(const std::string& password, std::string& text);
    bool keep_unreadable_file();
    template <typename... Args> void error(const char* format, Args... args) {
        if (!quiet) kvr_logs_print("ERROR", format, args...);
    }

    std::string path;
    json::jobject store;
    bool quiet;
    bool unreadable = false; // the file exists but did not parse
};
