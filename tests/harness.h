// Test harness: temporary directories, the kavrod binary as a child process,
// and small loopback peers (TCP echo, UDP echo).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace harness {

// A fresh directory under /tmp, removed with its files at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& text) const;
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;
    unsigned mode(const std::string& name) const;
    std::vector<std::string> list() const;

  private:
    std::string path_;
};

struct RunResult {
    int status = -1; // exit status, or -1 when killed or timed out
    std::string out;
};

// Runs kavrod to completion with KAVROD_DIR set; bounded by timeout_ms.
RunResult run_kavrod(const std::string& dir, const std::vector<std::string>& args,
                     int timeout_ms = 20000);

// kavrod in the background (the service), its standard output in a file.
class Service {
  public:
    Service(const std::string& dir, const std::vector<std::string>& args);
    ~Service();
    pid_t pid() const { return pid_; }
    std::string output() const;
    // Waits until the output holds `text` `count` times.
    bool wait_for(const std::string& text, int timeout_ms = 10000, int count = 1) const;
    // SIGTERM, then waits; returns the exit status, or -1 when it had to be killed.
    int stop(int timeout_ms = 10000);
    // Waits for the process to end by itself.
    int wait_exit(int timeout_ms);

  private:
    pid_t pid_ = -1;
    std::string log_;
    int status_ = -2;
};

// Port that was free a moment ago on 127.0.0.1 (or ::1).
int free_port(bool ipv6 = false);

// Descriptors a process holds open.
int count_fds(pid_t pid);
std::vector<pid_t> child_pids(pid_t pid);

// Echo peers on loopback, each on its own thread, stopped at destruction.
class EchoServer {
  public:
    enum Kind { TCP, UDP };
    EchoServer(Kind kind, const std::string& address, int port = 0);
    ~EchoServer();
    int port() const { return port_; }
    bool ok() const { return fd_ >= 0; }
    // TCP: after accepting, send `greeting` and close instead of echoing.
    void send_and_close(const std::string& greeting) { close_after_ = greeting; }
    // TCP: a small receive buffer and reads paused for `ms` to force back-pressure.
    void slow_reader(int ms) { slow_ms_ = ms; }

  private:
    void serve_tcp();
    void serve_udp();
    Kind kind_;
    int fd_ = -1;
    int port_ = 0;
    std::string close_after_;
    int slow_ms_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Shrinks TCP buffer limits for the lifetime of the object, but only inside a
// private network namespace, where the settings belong to the test alone.
class SocketBuffers {
  public:
    explicit SocketBuffers(int bytes);
    ~SocketBuffers();
    bool applied() const { return applied_; }

  private:
    bool applied_ = false;
    std::string wmem_, rmem_;
};

bool in_private_netns();
std::string kavrod_path();
std::string today(int offset_days = 0);

} // namespace harness
