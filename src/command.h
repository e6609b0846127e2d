// Command line: option parsing and the command queue, banner and usage, account
// administration runs, and the service supervisor with its workers.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct CmdInfo {
    std::string username;
    std::string new_username;
    std::string password;
    int32_t expired_days = -1;
    int32_t command = -1;
};

enum CmdParse {
    CMD_RUN,        // run the queued account commands
    CMD_USAGE,      // print the usage text, exit 0
    CMD_SERVICE,    // start the service
    CMD_BAD_NUMBER, // a number_days word was refused
};

extern int32_t ppid;
extern std::vector<int32_t> childs;

void print_kavro_info();
void kvr_cmd_info();
bool kvr_cmd_days(const char* word, int32_t& days);
CmdParse kvr_cmd_parse(int argc, char** argv, std::vector<CmdInfo>& queue, std::string& bad_word);
int kvr_cmd_execute(const std::vector<CmdInfo>& queue);
int kvr_main(int argc, char** argv);

int start_service();
int fork_service(int port, bool ssl);
void signal_handler(int sig);
