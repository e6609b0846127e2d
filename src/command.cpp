// Entry point: administration runs and the service supervisor.
#include "command.h"

#include "attributes.h"
#include "config.h"
#include "server.h"
#include "users.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/wait.h>
#include <unistd.h>

int32_t ppid = 0;
std::vector<int32_t> childs;

static const char* const banner_lines[] = {
    "#########################################", "## Kavro-Server: 1.3.1a             ##",
    "## contact: ops@kavrod.invalid         ##", "## web: https://kavrod.invalid         ##",
    "## (c) the kavrod developers           ##", "#########################################",
};

void print_kavro_info() {
    for (const char* line : banner_lines) {
        std::fputs(line, stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}

void kvr_cmd_info() {
    print_kavro_info();
    static const char usage[] = "Usage: kavrod [options] ...\n"
                                "[options]:\n"
                                "--info-user username\n"
                                "  -> print existing user account with data.\n"
                                "--info-all-user\n"
                                "  -> print all existing user accounts with data.\n"
                                "--add-user username password\n"
                                "  -> add new user account with password.\n"
                                "--renew-user username\n"
                                "  -> re-new existing user account from current issued date.\n"
                                "--rename-user old_username new_username\n"
                                "  -> rename existing user account.\n"
                                "--block-user username\n"
                                "  -> block existing user account.\n"
                                "--unblock-user username\n"
                                "  -> unblock existing user account.\n"
                                "--password-user username new_password\n"
                                "  -> change password from existing user account.\n"
                                "--expired-user username number_days\n"
                                "  -> change expired days from existing user account.\n"
                                "     0 = unlimited days, 1-n = limited day(s).\n"
                                "--remove-user username\n"
                                "  -> remove existing user account.\n"
                                "--remove-all-user\n"
                                "  -> WARNING: remove all existing user accounts.\n";
    std::fwrite(usage, 1, sizeof(usage) - 1, stdout);
    std::fflush(stdout);
}

// Base-10 like the standard string-to-int: leading blanks and a sign, stops at
// the first non-digit; refuses words without digits and values beyond 32 bits.
bool kvr_cmd_days(const char* word, int32_t& days) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(word, &end, 10);
    if (end == word || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return false;
    days = static_cast<int32_t>(value);
    return true;
}

namespace {
struct OptionWord {
    const char* word;
    int words; // words taken after the option
    int32_t code;
};

const OptionWord options[] = {
    {"--info-all-user", 0, 0}, {"--info-user", 1, 1},        {"--add-user", 2, 2},
    {"--renew-user", 1, 3},    {"--rename-user", 2, 4},      {"--block-user", 1, 5},
    {"--unblock-user", 1, 6},  {"--password-user", 2, 7},    {"--expired-user", 2, 8},
    {"--remove-user", 1, 9},   {"--remove-all-user", 0, 10},
};

const OptionWord* find_option(const char* word) {
    for (const OptionWord& o : options)
        if (std::strcmp(o.word, word) == 0) return &o;
    return nullptr;
}

CmdInfo make_command(const OptionWord& o, char** words) {
    CmdInfo cmd;
    cmd.command = o.code;
    if (o.words >= 1) cmd.username = words[0];
    if (o.code == 4) cmd.new_username = words[1];
    if (o.code == 2 || o.code == 7) cmd.password = words[1];
    return cmd;
}
} // namespace

CmdParse kvr_cmd_parse(int argc, char** argv, std::vector<CmdInfo>& queue, std::string& bad_word) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--start-service") == 0) {
            if (i + 1 < argc && std::strcmp(argv[i + 1], "--debug") == 0) kvr_logs_debug = true;
            return CMD_SERVICE;
        }
        const OptionWord* o = find_option(argv[i]);
        if (o == nullptr) continue;
        if (i + o->words >= argc) return CMD_USAGE;
        CmdInfo cmd = make_command(*o, argv + i + 1);
        if (o->code == 8 && !kvr_cmd_days(argv[i + 2], cmd.expired_days)) {
            bad_word = argv[i + 2];
            return CMD_BAD_NUMBER;
        }
        queue.push_back(cmd);
        i += o->words;
    }
    return queue.empty() ? CMD_USAGE : CMD_RUN;
}

static bool run_command(Users& users, const CmdInfo& c) {
    switch (c.command) {
    case 0:
        users.print_list_users();
        return true;
    case 1:
        users.info_user(c.username);
        return true;
    case 2:
        return users.add_user(c.username, c.password);
    case 3:
        return users.renew_user(c.username);
    case 4:
        return users.rename_user(c.username, c.new_username);
    case 5:
        return users.set_block(c.username, true);
    case 6:
        return users.set_block(c.username, false);
    case 7:
        return users.set_password(c.username, c.password);
    case 8:
        return users.set_expired(c.username, c.expired_days);
    case 9:
        return users.remove_user(c.username);
    case 10:
        users.remove_all();
        return true;
    default:
        return false;
    }
}

static void report_command(const CmdInfo& c, bool ok) {
    const char* level = ok ? "INFO" : "ERROR";
    const char* result = ok ? "success" : "failed";
    const char* name = c.username.c_str();
    switch (c.command) {
    case 2:
        kvr_logs_print(level,
                       ok ? "add_user: username: %s, password: %s, success"
                          : "add_user: username: %s, password: %s, failed",
                       name, c.password.c_str());
        break;
    case 3:
        kvr_logs_print(level, "renew_user: username: %s, %s", name, result);
        break;
    case 4:
        kvr_logs_print(level,
                       ok ? "rename_user: old_username: %s, new_username: %s, success"
                          : "rename_user: old_username: %s, new_username: %s, failed",
                       name, c.new_username.c_str());
        break;
    case 5:
        kvr_logs_print(level, "block_user: username: %s, %s", name, result);
        break;
    case 6:
        kvr_logs_print(level, "unblock_user: username: %s, %s", name, result);
        break;
    case 7:
        kvr_logs_print(level,
                       ok ? "set_password: username: %s, password: %s, success"
                          : "set_password: username: %s, password: %s, failed",
                       name, c.password.c_str());
        break;
    case 8:
        kvr_logs_print(level,
                       ok ? "set_expired: username: %s, expired_days: %d, success"
                          : "set_expired: username: %s, expired_days: %d, failed",
                       name, c.expired_days);
        break;
    case 9:
        kvr_logs_print(level, "remove_user: username: %s, %s", name, result);
        break;
    case 10:
        kvr_logs_print("INFO", "all users has removed");
        break;
    default:
        break;
    }
}

int kvr_cmd_execute(const std::vector<CmdInfo>& queue) {
    Users users(false);
    for (const CmdInfo& c : queue) {
        bool ok = false;
        try {
            ok = run_command(users, c);
        } catch (const std::exception& e) {
            // a damaged users file must fail the one command, never the run
            kvr_logs_print("ERROR", "users file: unexpected content: %s", e.what());
        }
        report_command(c, ok);
    }
    users.save();
    return 0;
}

int kvr_main(int argc, char** argv) {
    std::vector<CmdInfo> queue;
    std::string bad_word;
    switch (kvr_cmd_parse(argc, argv, queue, bad_word)) {
    case CMD_SERVICE:
        return start_service();
    case CMD_USAGE:
        kvr_cmd_info();
        return 0;
    case CMD_BAD_NUMBER:
        kvr_logs_print("ERROR", "expired_user: number_days isn't a valid number: %s",
                       bad_word.c_str());
        return 1;
    case CMD_RUN:
        break;
    }
    return kvr_cmd_execute(queue);
}

// ---- service supervisor -----------------------------------------------------

static volatile sig_atomic_t term_requested = 0;

void signal_handler(int sig) {
    (void)sig;
    int saved = errno;
    if (getpid() == ppid) {
        for (int32_t pid : childs)
            kill(pid, SIGTERM);
    } else {
        // a worker hit before its loop runs: it ends instead of entering the loop
        term_requested = 1;
    }
    errno = saved;
}

static void signal_workers() {
    for (int32_t pid : childs)
        kill(pid, SIGTERM);
}

int fork_service(int port, bool ssl) {
    pid_t pid = fork();
    if (pid < 0) {
        kvr_logs_print("ERROR", "fork_service: failed to fork new service");
        return -1;
    }
    if (pid > 0) return pid;
    svr = new (std::nothrow) Server(port);
    if (svr == nullptr) return 0;
    if (!svr->setup(ssl)) {
        kvr_logs_print("ERROR", "fork_service: failed to setup service for port: %d", port);
        return 0;
    }
    if (!term_requested) svr->do_loop();
    return 0;
}

// In a worker: tear the server down outside the loop, tell the supervisor only
// when the worker failed on its own (never after a SIGTERM it was sent).
static int end_worker() {
    bool terminated = term_requested || (svr != nullptr && svr->terminated);
    delete svr;
    svr = nullptr;
    if (!terminated) kill(ppid, SIGTERM);
    return 1;
}

static bool fork_ports(const std::vector<int>& ports, bool ssl, int& result) {
    for (int port : ports) {
        int pid = fork_service(port, ssl);
        if (pid > 0) {
            childs.push_back(pid);
            continue;
        }
        if (getpid() != ppid) {
            result = end_worker();
            return false;
        }
        signal_workers();
        result = 1;
        return false;
    }
    return true;
}

int start_service() {
    print_kavro_info();
    kvr_logs_print("INFO", "start_service: starting kavro service");
    ppid = getpid();
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = signal_handler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN); // a closed peer must never end a process

    cfg = new (std::nothrow) Config();
    if (cfg == nullptr) return 1;
    cfg->load_config();

    // The SIGTERM handler walks childs: it must never see the vector reallocate.
    childs.reserve(cfg->tcp_std.size() + cfg->tcp_ssl.size());
    int result = 0;
    if (!fork_ports(cfg->tcp_std, false, result) || !fork_ports(cfg->tcp_ssl, true, result))
        return result;
    if (childs.empty()) {
        kvr_logs_print("ERROR", "start_service: service not available");
        return 1;
    }
    for (int32_t pid : childs) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    kvr_logs_print("INFO", "start_service: aborting kavro service");
    return 0;
}
