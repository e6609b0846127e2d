// Command-line parsing and the command queue, without running anything.
#include <gtest/gtest.h>

#include "src/attributes.h"
#include "src/command.h"

namespace {
struct Parsed {
    CmdParse result;
    std::vector<CmdInfo> queue;
    std::string bad;
};

Parsed parse(std::vector<std::string> words) {
    words.insert(words.begin(), "kavrod");
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(&w[0]);
    Parsed p;
    kvr_logs_debug = false;
    p.result = kvr_cmd_parse(static_cast<int>(argv.size()), argv.data(), p.queue, p.bad);
    return p;
}
} // namespace

TEST(CommandLine, UsageCases) {
    std::vector<std::vector<std::string>> usage = {{},
                                                   {"foo"},
                                                   {"--debug"},
                                                   {"--add-user", "alice"},
                                                   {"--block-user", "a", "--add-user", "alice"}};
    for (auto& words : usage)
        EXPECT_EQ(parse(words).result, CMD_USAGE) << words.size();
}

TEST(CommandLine, WordsAreTakenVerbatim) {
    Parsed p = parse({"--info-user", "--add-user"});
    ASSERT_EQ(p.result, CMD_RUN);
    ASSERT_EQ(p.queue.size(), 1u);
    EXPECT_EQ(p.queue[0].command, 1);
    EXPECT_EQ(p.queue[0].username, "--add-user");
}

TEST(CommandLine, QueueKeepsOrderAndFields) {
    Parsed p =
        parse({"--block-user", "a", "junk", "--unblock-user", "a", "--rename-user", "a", "b",
               "--password-user", "b", "pw", "--expired-user", "b", "7x", "--remove-all-user"});
    ASSERT_EQ(p.result, CMD_RUN);
    ASSERT_EQ(p.queue.size(), 6u);
    EXPECT_EQ(p.queue[0].command, 5);
    EXPECT_EQ(p.queue[1].command, 6);
    EXPECT_EQ(p.queue[2].new_username, "b");
    EXPECT_EQ(p.queue[3].password, "pw");
    EXPECT_EQ(p.queue[4].expired_days, 7);
    EXPECT_EQ(p.queue[1].expired_days, -1);
    EXPECT_EQ(p.queue[5].command, 10);
}

TEST(CommandLine, ServiceStartsAtOnceAndDebugMustFollowDirectly) {
    Parsed p = parse({"--add-user", "a", "p", "--start-service", "--debug"});
    EXPECT_EQ(p.result, CMD_SERVICE);
    EXPECT_TRUE(kvr_logs_debug);
    p = parse({"--start-service", "x", "--debug"});
    EXPECT_EQ(p.result, CMD_SERVICE);
    EXPECT_FALSE(kvr_logs_debug);
}

TEST(CommandLine, NumberDaysConversion) {
    struct {
        const char* word;
        bool ok;
        int32_t value;
    } cases[] = {{"30", true, 30},
                 {"30days", true, 30},
                 {" +5", true, 5},
                 {"-3", true, -3},
                 {"0", true, 0},
                 {"x", false, 0},
                 {"", false, 0},
                 {"2147483647", true, INT32_MAX},
                 {"2147483648", false, 0},
                 {"-2147483649", false, 0},
                 {"99999999999999999999", false, 0}};
    for (auto& c : cases) {
        int32_t v = 0;
        EXPECT_EQ(kvr_cmd_days(c.word, v), c.ok) << c.word;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.word;
        }
    }
    Parsed p = parse({"--add-user", "a", "p", "--expired-user", "a", "x"});
    EXPECT_EQ(p.result, CMD_BAD_NUMBER);
    EXPECT_EQ(p.bad, "x");
}
