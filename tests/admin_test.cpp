// Account administration through the kavrod binary: exact output, exit status,
// file contents and modes.
#include <gtest/gtest.h>

#include "harness.h"

namespace {
const char* BANNER = "#########################################\n"
                     "## Kavro-Server: 1.3.1a             ##\n";

const char* USAGE_TAIL =
    "#########################################\n"
    "Usage: kavrod [options] ...\n[options]:\n--info-user username\n"
    "  -> print existing user account with data.\n--info-all-user\n"
    "  -> print all existing user accounts with data.\n--add-user username password\n"
    "  -> add new user account with password.\n--renew-user username\n"
    "  -> re-new existing user account from current issued date.\n"
    "--rename-user old_username new_username\n  -> rename existing user account.\n"
    "--block-user username\n  -> block existing user account.\n--unblock-user username\n"
    "  -> unblock existing user account.\n--password-user username new_password\n"
    "  -> change password from existing user account.\n--expired-user username number_days\n"
    "  -> change expired days from existing user account.\n"
    "     0 = unlimited days, 1-n = limited day(s).\n--remove-user username\n"
    "  -> remove existing user account.\n--remove-all-user\n"
    "  -> WARNING: remove all existing user accounts.\n";

const std::string ABC_KEY = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

bool is_usage(const std::string& out) {
    if (out.rfind(BANNER, 0) != 0) return false;
    std::string tail = USAGE_TAIL;
    if (out.size() < tail.size() || out.compare(out.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    // six banner lines, each 41 wide except the version line
    return out.find("\n", 0) == 41;
}

class AdminTest : public ::testing::Test {
  protected:
    harness::RunResult run(const std::vector<std::string>& args) {
        return harness::run_kavrod(dir.path(), args);
    }
    harness::TempDir dir;
};
} // namespace

TEST_F(AdminTest, UsageRuns) {
    run({"--add-user", "keep", "p"});
    std::string before = dir.read("users.json");
    std::vector<std::vector<std::string>> cases = {
        {},
        {"foo"},
        {"--debug"},
        {"--add-user", "alice"},
        {"--add-user", "bob", "p", "--add-user", "alice"}};
    for (auto& args : cases) {
        harness::RunResult r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(is_usage(r.out)) << r.out;
    }
    EXPECT_EQ(dir.read("users.json"), before) << "the store is never opened for usage";
}

TEST_F(AdminTest, RefusedNumberOfDaysEndsBeforeAnything) {
    for (const char* word : {"x", "", "99999999999"}) {
        harness::RunResult r = run({"--add-user", "a", "p", "--expired-user", "a", word});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, std::string("[ERROR] expired_user: number_days isn't a valid number: ") +
                             word + "\n");
        EXPECT_FALSE(dir.exists("users.json"));
    }
}

TEST_F(AdminTest, EveryOptionLogsItsLine) {
    struct {
        std::vector<std::string> args;
        std::string out;
    } steps[] = {
        {{"--add-user", "alice", "abc"},
         "[INFO] add_user: username: alice, password: abc, success\n"},
        {{"--expired-user", "alice", "7x"},
         "[INFO] set_expired: username: alice, expired_days: 7, success\n"},
        {{"--renew-user", "alice"}, "[INFO] renew_user: username: alice, success\n"},
        {{"--block-user", "alice", "--unblock-user", "alice"},
         "[INFO] block_user: username: alice, success\n[INFO] unblock_user: username: alice, "
         "success\n"},
        {{"--password-user", "alice", "abc"},
         "[INFO] set_password: username: alice, password: abc, success\n"},
        {{"--rename-user", "alice", "bob"},
         "[INFO] rename_user: old_username: alice, new_username: bob, success\n"},
        {{"--info-user", "--add-user"},
         "[ERROR] validate_user: username --add-user not registered\n"},
        {{"--remove-user", "alice"},
         "[ERROR] validate_user: username alice not registered\n[ERROR] remove_user: username: "
         "alice, failed\n"},
        {{"--expired-user", "bob", "-1"},
         "[ERROR] set_expired: days out-of-range min: 0, 0=unlimited\n"
         "[ERROR] set_expired: username: bob, expired_days: -1, failed\n"},
        {{"--add-user", "abcdefghijklmnop", "p"},
         "[INFO] add_user: username: abcdefghijklmnop, password: p, success\n"},
        {{"--add-user", "abcdefghijklmnopq", "p"},
         "[ERROR] username_check: length max: 16, input length: 17\n"
         "[ERROR] add_user: username: abcdefghijklmnopq, password: p, failed\n"},
        {{"--add-user", "a/b", "p"},
         "[ERROR] username_check: only allow(a-zA-Z0-9.-_@) characters, invalid input: a/b\n"
         "[ERROR] add_user: username: a/b, password: p, failed\n"},
        {{"--remove-user", "abcdefghijklmnop"},
         "[INFO] remove_user: username: abcdefghijklmnop, success\n"},
    };
    for (auto& s : steps) {
        harness::RunResult r = run(s.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, s.out) << s.args[0];
    }
    EXPECT_EQ(dir.read("users.json"), "{\"bob\":{\"blocked\":false,\"hash_key\":\"" + ABC_KEY +
                                          "\",\"issued\":\"" + harness::today() +
                                          "\",\"expired\":7}}");
    EXPECT_EQ(dir.mode("users.json"), 0600u);
    harness::RunResult r = run({"--remove-all-user"});
    EXPECT_EQ(r.out, "[INFO] all users has removed\n");
    EXPECT_EQ(dir.read("users.json"), "{}");
}

TEST_F(AdminTest, ExpiryAroundTheLastDay) {
    struct {
        int issued;
        const char* status;
        const char* left;
    } cases[] = {{0, "active", "3 left - 3 day(s)"},
                 {-3, "active", "0 left - 3 day(s)"},
                 {-4, "expired", "0 left - 3 day(s)"}};
    for (auto& c : cases) {
        dir.write("users.json", "{\"a\":{\"blocked\":false,\"hash_key\":\"" + ABC_KEY +
                                    "\",\"issued\":\"" + harness::today(c.issued) +
                                    "\",\"expired\":3}}");
        harness::RunResult r = run({"--info-user", "a"});
        EXPECT_EQ(r.out, std::string("+ a -> ") + c.status + "\n  -blocked: false\n  -hash_key: " +
                             ABC_KEY + "\n  -issued(yyyymmdd): " + harness::today(c.issued) +
                             "\n  -expired: " + c.left + "\n");
    }
}

TEST_F(AdminTest, ListingExample) {
    dir.write("users.json", "{\"alice\":{\"blocked\":false,\"hash_key\":\"" + ABC_KEY +
                                "\",\"issued\":\"" + harness::today(-10) +
                                "\",\"expired\":30},\"bob\":{\"blocked\":true,\"hash_key\":\"" +
                                ABC_KEY + "\",\"issued\":\"" + harness::today(-71) +
                                "\",\"expired\":30}}");
    harness::RunResult r = run({"--info-all-user"});
    EXPECT_EQ(r.out, "+ alice -> active\n  -blocked: false\n  -hash_key: " + ABC_KEY +
                         "\n  -issued(yyyymmdd): " + harness::today(-10) +
                         "\n  -expired: 20 left - 30 day(s)\n"
                         "+ bob -> blocked & expired\n  -blocked: true\n  -hash_key: " +
                         ABC_KEY + "\n  -issued(yyyymmdd): " + harness::today(-71) +
                         "\n  -expired: 0 left - 30 day(s)\n"
                         "Total User(s): 2\n");
}

TEST_F(AdminTest, HandBrokenUsersFileIsKept) {
    dir.write("users.json", "{\"alice\": {\"blocked\": fals");
    harness::RunResult r = run({"--add-user", "bob", "p"});
    EXPECT_EQ(r.status, 0);
    std::string kept;
    for (const std::string& name : dir.list())
        if (name.rfind("users.json.invalid-", 0) == 0) kept = name;
    ASSERT_FALSE(kept.empty()) << r.out;
    EXPECT_EQ(dir.read(kept), "{\"alice\": {\"blocked\": fals");
    EXPECT_NE(r.out.find("[WARNING] save_users: unreadable users file kept as " + dir.file(kept)),
              std::string::npos);
    EXPECT_NE(dir.read("users.json").find("\"bob\""), std::string::npos);
}

TEST_F(AdminTest, ArrayUsersFileFailsCleanly) {
    dir.write("users.json", "[{\"a\":1}]");
    harness::RunResult r = run({"--add-user", "bob", "p", "--info-all-user"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[ERROR] add_user: username bob, users file holds no accounts object\n"
                     "[ERROR] add_user: username: bob, password: p, failed\nTotal User(s): 0\n");
}
