// Log lines on standard output, file-permission repair, and the few file helpers
// shared by the configuration and the user store.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

extern bool kvr_logs_debug;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
// Writes "[level] message\n" and flushes; "DEATH" ends the process with status 1.
// The format always comes from the program; user text only ever arrives in args.
template <typename... Args>
void kvr_logs_print(const char* level, const char* format, Args... args) {
    int n = std::snprintf(nullptr, 0, format, args...);
    if (n < 0) return;
    size_t head = std::strlen(level) + 3; // "[" level "] "
    size_t total = head + static_cast<size_t>(n) + 1;
    char* line = new (std::nothrow) char[total + 1];
    if (line == nullptr) return;
    line[0] = '[';
    std::memcpy(line + 1, level, head - 3);
    line[head - 2] = ']';
    line[head - 1] = ' ';
    std::snprintf(line + head, static_cast<size_t>(n) + 1, format, args...);
    line[total - 1] = '\n';
    // One write per line keeps lines of the supervisor and its workers whole.
    std::fwrite(line, 1, total, stdout);
    std::fflush(stdout);
    delete[] line;
    if (std::strcmp(level, "DEATH") == 0) std::exit(1);
}
#pragma GCC diagnostic pop

bool fix_file_permission(const char* path);

// Directory of config.json, users.json and the default TLS files, with a trailing
// slash: $KAVROD_DIR when set and not empty, else /etc/kavrod/.
std::string kvr_conf_dir();

// Whole-file read; false when the file cannot be opened or read.
bool kvr_read_file(const std::string& path, std::string& text);

// Replaces path with text atomically: a 0600 temporary file in the same
// directory, written, flushed to disk, then renamed over path. On failure the old
// file is untouched and errno tells why.
bool kvr_write_file_atomic(const std::string& path, const std::string& text);

// Local time as strftime text, for names of files kept aside.
std::string kvr_time_stamp(const char* format);
