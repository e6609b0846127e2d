// Account store: file handling, validation, operations, questions and listing.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"
#include "src/users.h"

namespace {
const std::string ABC_KEY = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

std::string record(const std::string& issued, int expired, bool blocked = false,
                   const std::string& key = ABC_KEY) {
    return std::string("{\"blocked\":") + (blocked ? "true" : "false") + ",\"hash_key\":\"" + key +
           "\",\"issued\":\"" + issued + "\",\"expired\":" + std::to_string(expired) + "}";
}

class UsersTest : public ::testing::Test {
  protected:
    void SetUp() override { setenv("KAVROD_DIR", dir.path().c_str(), 1); }
    void TearDown() override { unsetenv("KAVROD_DIR"); }
    void file(const std::string& text) { dir.write("users.json", text); }
    harness::TempDir dir;
};

// Runs f with standard output captured.
template <typename F> std::string output_of(F f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}
} // namespace

TEST_F(UsersTest, SaveWritesOneCompactLineWithPrivateMode) {
    Users users(false);
    EXPECT_EQ(users.accounts().size(), 0u);
    ASSERT_TRUE(users.add_user("alice", "abc"));
    ASSERT_TRUE(users.save());
    std::string text = dir.read("users.json");
    EXPECT_EQ(text, "{\"alice\":{\"blocked\":false,\"hash_key\":\"" + ABC_KEY + "\",\"issued\":\"" +
                        harness::today() + "\",\"expired\":0}}");
    EXPECT_EQ(dir.mode("users.json"), 0600u);
    file("{}");
    Users empty(false);
    EXPECT_EQ(empty.accounts().size(), 0u);
    ASSERT_TRUE(empty.save());
    EXPECT_EQ(dir.read("users.json"), "{}");
}

TEST_F(UsersTest, ValidationMessages) {
    file("{\"five\":5,\"alice\":" + record("20240101", 0) +
         ",\"s\":{\"blocked\":false,\"hash_key\":\"x\","
         "\"issued\":\"1\",\"expired\":\"30\"},\"m\":{\"blocked\":false,\"hash_key\":\"x\","
         "\"expired\":1}}");
    Users users(false);
    EXPECT_EQ(output_of([&] { EXPECT_FALSE(users.renew_user("five")); }),
              "[ERROR] validate_user: username five, invalid object type\n");
    EXPECT_EQ(output_of([&] { EXPECT_FALSE(users.renew_user("Alice")); }),
              "[ERROR] validate_user: username Alice not registered\n");
    EXPECT_EQ(output_of([&] { EXPECT_FALSE(users.renew_user("s")); }),
              "[ERROR] validate_info: username s, invalid object type info {\"blocked\":false,"
              "\"hash_key\":\"x\",\"issued\":\"1\",\"expired\":\"30\"}\n");
    EXPECT_EQ(output_of([&] { EXPECT_FALSE(users.renew_user("m")); }),
              "[ERROR] validate_info: username m, invalid object info {\"blocked\":false,"
              "\"hash_key\":\"x\",\"expired\":1}\n");
    Users quiet(true);
    EXPECT_EQ(output_of([&] {
                  EXPECT_TRUE(quiet.is_blocked("nobody"));
                  EXPECT_TRUE(quiet.is_expired("m"));
                  uint8_t key[32];
                  EXPECT_FALSE(quiet.get_hashkey("five", key, 32));
              }),
              "");
}

TEST_F(UsersTest, UsernameRules) {
    Users users(false);
    struct {
        const char* name;
        const char* error;
    } cases[] = {
        {"abcdefghijklmnop", nullptr},
        {"a.b-c_d@e", nullptr},
        {"abcdefghijklmnopq", "[ERROR] username_check: length max: 16, input length: 17\n"},
        {"", "[ERROR] username_check: can't be empty\n"},
        {"a b",
         "[ERROR] username_check: only allow(a-zA-Z0-9.-_@) characters, invalid input: a b\n"},
        {"caf\xc3\xa9", "[ERROR] username_check: only allow(a-zA-Z0-9.-_@) characters, invalid "
                        "input: caf\xc3\xa9\n"},
    };
    for (auto& c : cases) {
        std::string out = output_of(
            [&] { EXPECT_EQ(users.username_check(c.name), c.error == nullptr) << c.name; });
        EXPECT_EQ(out, c.error ? c.error : "") << c.name;
    }
}

TEST_F(UsersTest, AddUserChecksInOrder) {
    Users users(false);
    EXPECT_EQ(
        output_of([&] { EXPECT_FALSE(users.add_user("bad name", "")); }),
        "[ERROR] username_check: only allow(a-zA-Z0-9.-_@) characters, invalid input: bad name\n");
    EXPECT_EQ(output_of([&] { EXPECT_FALSE(users.add_user("ok", "")); }),
              "[ERROR] add_user: username ok, password can't be empty\n");
    EXPECT_TRUE(users.add_user("ok", "p"));
    EXPECT_EQ(output_of([&] { EXPECT_FALSE(users.add_user("ok", "p")); }),
              "[ERROR] add_user: username ok already exist\n");
}

TEST_F(UsersTest, ExtraMembersSurviveEveryChange) {
    file("{\"x\":{\"blocked\":false,\"hash_key\":\"" + ABC_KEY +
         "\",\"issued\":\"20240101\",\"expired\":0,\"note\":\"keep me\"}}");
    Users users(false);
    ASSERT_TRUE(users.set_block("x", true));
    ASSERT_TRUE(users.set_expired("x", 9));
    ASSERT_TRUE(users.renew_user("x"));
    ASSERT_TRUE(users.set_password("x", "new"));
    std::string text = static_cast<std::string>(users.accounts());
    EXPECT_NE(text.find("\"note\":\"keep me\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"blocked\":true"), std::string::npos);
    EXPECT_NE(text.find("\"expired\":9"), std::string::npos);
    EXPECT_NE(text.find(harness::today()), std::string::npos);
    EXPECT_EQ(text.find(ABC_KEY), std::string::npos);
}

TEST_F(UsersTest, RenameMovesAccountToTheEnd) {
    file("{\"a\":" + record("20240101", 0) + ",\"b\":" + record("20240101", 0) + "}");
    Users users(false);
    EXPECT_EQ(output_of([&] { EXPECT_FALSE(users.rename_user("a", "a")); }),
              "[ERROR] rename_user: new username a already exist\n");
    EXPECT_EQ(
        output_of([&] { EXPECT_FALSE(users.rename_user("a", "no way")); }),
        "[ERROR] username_check: only allow(a-zA-Z0-9.-_@) characters, invalid input: no way\n"
        "[ERROR] rename_user: new username no way\n");
    ASSERT_TRUE(users.rename_user("a", "c"));
    EXPECT_EQ(users.accounts().list_keys(), (std::vector<std::string>{"b", "c"}));
    uint8_t key[32];
    ASSERT_TRUE(users.get_hashkey("c", key, 32));
    EXPECT_EQ(key[0], 0xba);
}

TEST_F(UsersTest, SetExpiredRefusesNegative) {
    file("{\"a\":" + record("20240101", 5) + "}");
    Users users(false);
    EXPECT_EQ(output_of([&] { EXPECT_FALSE(users.set_expired("a", -1)); }),
              "[ERROR] set_expired: days out-of-range min: 0, 0=unlimited\n");
    EXPECT_NE(static_cast<std::string>(users.accounts()).find("\"expired\":5"), std::string::npos);
    EXPECT_EQ(output_of([&] { EXPECT_FALSE(users.set_expired("zz", -1)); }),
              "[ERROR] validate_user: username zz not registered\n");
}

TEST_F(UsersTest, ExpiryCountsWholeDaysFromIssue) {
    struct {
        int issued_offset;
        int days;
        bool expired;
    } cases[] = {{0, 1, false},     {-1, 1, false},   {-2, 1, true},   {-400, 0, false},
                 {-400, -3, false}, {-30, 30, false}, {-31, 30, true}, {3, 1, false}};
    for (auto& c : cases) {
        file("{\"a\":" + record(harness::today(c.issued_offset), c.days) + "}");
        Users users(true);
        EXPECT_EQ(users.is_expired("a"), c.expired) << c.issued_offset << " " << c.days;
        EXPECT_FALSE(users.is_blocked("a"));
    }
}

TEST_F(UsersTest, HashKeyLengths) {
    struct {
        std::string key;
        const char* error;
    } cases[] = {{ABC_KEY, nullptr},
                 {ABC_KEY.substr(0, 62), "invalid hash_key result value"},
                 {ABC_KEY + "00", "invalid hash_key value"},
                 {ABC_KEY.substr(0, 63), "invalid hash_key value"},
                 {"", "invalid hash_key value"}};
    for (auto& c : cases) {
        file("{\"a\":" + record("20240101", 0, false, c.key) + "}");
        Users users(false);
        uint8_t key[32] = {0};
        std::string out =
            output_of([&] { EXPECT_EQ(users.get_hashkey("a", key, 32), c.error == nullptr); });
        EXPECT_EQ(out,
                  c.error ? std::string("[ERROR] get_hashkey: username a ") + c.error + "\n" : "");
        if (c.key.size() == 62) {
            EXPECT_EQ(key[30], 0x15) << "31 bytes were decoded";
            EXPECT_EQ(key[31], 0);
        }
    }
}

TEST_F(UsersTest, DamagedFilesNeverThrow) {
    const char* files[] = {
        "[1,2]",
        "{\"a\":{\"blocked\":false,\"hash_key\":\"zz\",\"issued\":\"99999999\",\"expired\":1e999}}",
        "{\"a\":{\"blocked\":false,\"hash_key\":\"\\u0041\",\"issued\":\"abc\",\"expired\":-"
        "99999999999}}",
        "{\"a\":[1],\"b\":\"x\",\"c\":null}",
    };
    for (const char* f : files) {
        file(f);
        Users users(false);
        std::string out = output_of([&] {
            users.print_list_users();
            users.info_user("a");
            users.is_expired("a");
            users.add_user("new", "p");
            users.set_block("a", true);
            users.renew_user("a");
            users.set_expired("a", 3);
            users.remove_all();
        });
        EXPECT_FALSE(out.empty()) << f;
    }
    file("[1]");
    Users arr(false);
    EXPECT_EQ(output_of([&] { EXPECT_FALSE(arr.add_user("new", "p")); }),
              "[ERROR] add_user: username new, users file holds no accounts object\n");
    EXPECT_EQ(output_of([&] { arr.print_list_users(); }), "Total User(s): 0\n");
}

TEST_F(UsersTest, UnreadableFileIsKeptAsideOnSave) {
    file("{\"alice\": {broken");
    Users users(false);
    EXPECT_EQ(users.accounts().size(), 0u);
    ASSERT_TRUE(users.add_user("bob", "p"));
    std::string out = output_of([&] { EXPECT_TRUE(users.save()); });
    EXPECT_NE(out.find("[WARNING] save_users: unreadable users file kept as " +
                       dir.file("users.json.invalid-")),
              std::string::npos)
        << out;
    bool kept = false;
    for (const std::string& name : dir.list()) {
        if (name.rfind("users.json.invalid-", 0) == 0) {
            kept = true;
            EXPECT_EQ(dir.read(name), "{\"alice\": {broken");
        }
    }
    EXPECT_TRUE(kept);
    EXPECT_NE(dir.read("users.json").find("\"bob\""), std::string::npos);
}

TEST_F(UsersTest, FileThatCannotBeOpenedIsKeptAsideToo) {
    ASSERT_EQ(mkdir(dir.file("users.json").c_str(), 0700), 0);
    Users users(false);
    ASSERT_TRUE(users.add_user("bob", "p"));
    testing::internal::CaptureStdout();
    EXPECT_TRUE(users.save());
    EXPECT_NE(testing::internal::GetCapturedStdout().find("kept as"), std::string::npos);
    EXPECT_NE(dir.read("users.json").find("\"bob\""), std::string::npos);
    for (const std::string& name : dir.list())
        if (name != "users.json") rmdir(dir.file(name).c_str());
}

TEST_F(UsersTest, FailedSaveLeavesOldFileIntact) {
    file("{\"old\":" + record("20240101", 0) + "}");
    std::string before = dir.read("users.json");
    // A file-size limit makes the write fail part way, as a full disk would.
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        Users users(false);
        for (int i = 0; i < 200; ++i)
            users.add_user("user" + std::to_string(i), "p");
        struct rlimit lim = {1024, 1024};
        setrlimit(RLIMIT_FSIZE, &lim);
        _exit(users.save() ? 0 : 3);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(dir.read("users.json"), before);
    EXPECT_EQ(dir.list().size(), 1u) << "no temporary file may stay behind";
}

TEST_F(UsersTest, ListingMatchesTheAccountText) {
    file("{\"alice\":" + record(harness::today(-10), 30) + ",\"bob\":" +
         record(harness::today(-70), 30, true) + ",\"eve\":" + record(harness::today(-1), 1, true) +
         ",\"zed\":" + record("20200101", 0) + ",\"bad\":7}");
    Users users(false);
    std::string out = output_of([&] { users.print_list_users(); });
    EXPECT_EQ(out, "[ERROR] validate_user: username bad, invalid object type\n"
                   "+ alice -> active\n  -blocked: false\n  -hash_key: " +
                       ABC_KEY +
                       "\n"
                       "  -issued(yyyymmdd): " +
                       harness::today(-10) +
                       "\n  -expired: 20 left - 30 day(s)\n"
                       "+ bob -> blocked & expired\n  -blocked: true\n  -hash_key: " +
                       ABC_KEY +
                       "\n"
                       "  -issued(yyyymmdd): " +
                       harness::today(-70) +
                       "\n  -expired: 0 left - 30 day(s)\n"
                       "+ eve -> blocked\n  -blocked: true\n  -hash_key: " +
                       ABC_KEY +
                       "\n"
                       "  -issued(yyyymmdd): " +
                       harness::today(-1) +
                       "\n  -expired: 0 left - 1 day(s)\n"
                       "+ zed -> active\n  -blocked: false\n  -hash_key: " +
                       ABC_KEY +
                       "\n"
                       "  -issued(yyyymmdd): 20200101\n  -expired: never\n"
                       "Total User(s): 4\n");
    EXPECT_EQ(output_of([&] { EXPECT_TRUE(users.info_user("zed")); }),
              "+ zed -> active\n  -blocked: false\n  -hash_key: " + ABC_KEY +
                  "\n  -issued(yyyymmdd): 20200101\n  -expired: never\n");
    users.remove_all();
    EXPECT_EQ(output_of([&] { users.print_list_users(); }),
              "[INFO] list_users: no registered user(s) are available\n");
}
