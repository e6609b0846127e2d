// Test harness implementation.
#include "harness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace harness {

std::string kavrod_path() {
    return KAVROD_BIN;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/kavrod-test-XXXXXX";
    char* p = mkdtemp(tmpl);
    path_ = p ? p : "/tmp";
}

TempDir::~TempDir() {
    for (const std::string& name : list())
        unlink(file(name).c_str());
    rmdir(path_.c_str());
}

void TempDir::write(const std::string& name, const std::string& text) const {
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out << text;
}

std::string TempDir::read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool TempDir::exists(const std::string& name) const {
    return access(file(name).c_str(), F_OK) == 0;
}

unsigned TempDir::mode(const std::string& name) const {
    struct stat st;
    if (stat(file(name).c_str(), &st) != 0) return 0;
    return st.st_mode & 0777;
}

std::vector<std::string> TempDir::list() const {
    std::vector<std::string> names;
    DIR* d = opendir(path_.c_str());
    if (!d) return names;
    while (struct dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    return names;
}

static pid_t spawn(const std::string& dir, const std::vector<std::string>& args, int out_fd) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    dup2(out_fd, 1);
    dup2(out_fd, 2);
    setenv("KAVROD_DIR", dir.c_str(), 1);
    std::vector<char*> argv;
    std::string bin = kavrod_path();
    argv.push_back(const_cast<char*>(bin.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
}

static int wait_pid(pid_t pid, int timeout_ms) {
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0) return -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

RunResult run_kavrod(const std::string& dir, const std::vector<std::string>& args, int timeout_ms) {
    RunResult result;
    std::string log = dir + "/.run-output";
    int fd = open(log.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
    pid_t pid = spawn(dir, args, fd);
    close(fd);
    result.status = wait_pid(pid, timeout_ms);
    std::ifstream in(log, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    result.out = ss.str();
    unlink(log.c_str());
    return result;
}

Service::Service(const std::string& dir, const std::vector<std::string>& args) {
    log_ = dir + "/.service-output";
    int fd = open(log_.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
    pid_ = spawn(dir, args, fd);
    close(fd);
}

Service::~Service() {
    if (status_ == -2) stop(5000);
    unlink(log_.c_str());
}

std::string Service::output() const {
    std::ifstream in(log_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

static int occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1))
        ++n;
    return n;
}

bool Service::wait_for(const std::string& text, int timeout_ms, int count) const {
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        if (occurrences(output(), text) >= count) return true;
        usleep(10000);
    }
    return false;
}

int Service::stop(int timeout_ms) {
    if (status_ != -2) return status_;
    kill(pid_, SIGTERM);
    status_ = wait_pid(pid_, timeout_ms);
    return status_;
}

int Service::wait_exit(int timeout_ms) {
    if (status_ != -2) return status_;
    status_ = wait_pid(pid_, timeout_ms);
    return status_;
}

int free_port(bool ipv6) {
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    struct sockaddr_storage ss;
    std::memset(&ss, 0, sizeof(ss));
    socklen_t len;
    if (ipv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        len = sizeof(*a);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof(*a);
    }
    bind(fd, reinterpret_cast<sockaddr*>(&ss), len);
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    int port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                          : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    close(fd);
    return port;
}

int count_fds(pid_t pid) {
    int n = 0;
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(path.c_str());
    if (!d) return -1;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

std::vector<pid_t> child_pids(pid_t pid) {
    std::vector<pid_t> out;
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    pid_t c;
    while (in >> c)
        out.push_back(c);
    return out;
}

static bool fill_addr(const std::string& address, int port, sockaddr_storage& ss, socklen_t& len) {
    std::memset(&ss, 0, sizeof(ss));
    auto* a4 = reinterpret_cast<sockaddr_in*>(&ss);
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (inet_pton(AF_INET, address.c_str(), &a4->sin_addr) == 1) {
        a4->sin_family = AF_INET;
        a4->sin_port = htons(static_cast<uint16_t>(port));
        len = sizeof(*a4);
        return true;
    }
    if (inet_pton(AF_INET6, address.c_str(), &a6->sin6_addr) == 1) {
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof(*a6);
        return true;
    }
    return false;
}

EchoServer::EchoServer(Kind kind, const std::string& address, int port) : kind_(kind) {
    sockaddr_storage ss;
    socklen_t len;
    if (!fill_addr(address, port, ss, len)) return;
    fd_ = socket(ss.ss_family, kind == TCP ? SOCK_STREAM : SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (bind(fd_, reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
        (kind == TCP && listen(fd_, 64) != 0)) {
        close(fd_);
        fd_ = -1;
        return;
    }
    getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len);
    port_ = ntohs(ss.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                                          : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    thread_ = std::thread([this] { kind_ == TCP ? serve_tcp() : serve_udp(); });
}

EchoServer::~EchoServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
}

static bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

static void echo_connection(int c, const std::atomic<bool>& stop, int slow_ms) {
    char buf[65536];
    std::string pending;
    while (!stop) {
        if (slow_ms > 0) usleep(static_cast<useconds_t>(slow_ms) * 1000);
        if (!readable(c, 50)) continue;
        ssize_t n = recv(c, buf, slow_ms > 0 ? 1024 : sizeof(buf), 0);
        if (n <= 0) break;
        size_t done = 0;
        while (done < static_cast<size_t>(n) && !stop) {
            ssize_t w = send(c, buf + done, static_cast<size_t>(n) - done, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return;
            done += static_cast<size_t>(w);
        }
    }
}

void EchoServer::serve_tcp() {
    std::vector<std::thread> conns;
    std::vector<int> fds;
    while (!stop_) {
        if (!readable(fd_, 50)) continue;
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0) continue;
        fds.push_back(c);
        timeval limit{5, 0}; // a blocked send must never hang the test that joins us
        setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
        if (!close_after_.empty()) {
            send(c, close_after_.data(), close_after_.size(), MSG_NOSIGNAL);
            shutdown(c, SHUT_RDWR);
            continue;
        }
        if (slow_ms_ > 0) {
            int small = 4096;
            setsockopt(c, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        }
        conns.emplace_back(echo_connection, c, std::cref(stop_), slow_ms_);
    }
    for (auto& t : conns)
        t.join();
    for (int c : fds)
        close(c);
}

void EchoServer::serve_udp() {
    char buf[65536];
    while (!stop_) {
        if (!readable(fd_, 50)) continue;
        sockaddr_storage from;
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        sendto(fd_, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
}

bool in_private_netns() {
    struct stat self, init;
    if (stat("/proc/self/ns/net", &self) != 0 || stat("/proc/1/ns/net", &init) != 0) return false;
    return self.st_ino != init.st_ino;
}

static std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::string s;
    std::getline(in, s);
    return s;
}

static bool write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

SocketBuffers::SocketBuffers(int bytes) {
    if (!in_private_netns()) return;
    wmem_ = read_text("/proc/sys/net/ipv4/tcp_wmem");
    rmem_ = read_text("/proc/sys/net/ipv4/tcp_rmem");
    std::string v = std::to_string(bytes);
    applied_ = !wmem_.empty() && write_text("/proc/sys/net/ipv4/tcp_wmem", v + " " + v + " " + v) &&
               write_text("/proc/sys/net/ipv4/tcp_rmem", v + " " + v + " " + v);
}

SocketBuffers::~SocketBuffers() {
    if (wmem_.empty()) return;
    write_text("/proc/sys/net/ipv4/tcp_wmem", wmem_);
    write_text("/proc/sys/net/ipv4/tcp_rmem", rmem_);
}

std::string today(int offset_days) {
    std::time_t t = std::time(nullptr);
    struct tm local;
    localtime_r(&t, &local);
    local.tm_mday += offset_days; // calendar days, whatever daylight saving does
    local.tm_hour = 12;
    local.tm_isdst = -1;
    t = mktime(&local);
    localtime_r(&t, &local);
    char text[16];
    std::strftime(text, sizeof(text), "%Y%m%d", &local);
    return text;
}

} // namespace harness
