// Log lines and permission repair.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"
#include "src/attributes.h"

TEST(Log, LineFormatAndUserTextStaysAnArgument) {
    testing::internal::CaptureStdout();
    kvr_logs_print("INFO", "local_port: %d entering event loop", 80);
    kvr_logs_print("WARNING", "user: %s", "%s%n%x");
    kvr_logs_print("ERROR", "no arguments %%");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[INFO] local_port: 80 entering event loop\n[WARNING] user: %s%n%x\n[ERROR] no "
              "arguments %\n");
}

TEST(Log, LongMessageIsWhole) {
    std::string big(100000, 'z');
    testing::internal::CaptureStdout();
    kvr_logs_print("INFO", "%s", big.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[INFO] " + big + "\n");
}

TEST(Log, DeathWritesThenExitsWithOne) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        kvr_logs_print("DEATH", "cannot go on: %s", "why");
        _exit(0);
    }
    close(fds[1]);
    char buf[256];
    ssize_t n = read(fds[0], buf, sizeof(buf));
    int status = 0;
    waitpid(pid, &status, 0);
    close(fds[0]);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "[DEATH] cannot go on: why\n");
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(Permission, RepairsModeAndReportsMissingFile) {
    harness::TempDir dir;
    dir.write("f", "x");
    chmod(dir.file("f").c_str(), 0644);
    EXPECT_TRUE(fix_file_permission(dir.file("f").c_str()));
    EXPECT_EQ(dir.mode("f"), 0600u);
    EXPECT_TRUE(fix_file_permission(dir.file("f").c_str()));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(fix_file_permission(dir.file("missing").c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[ERROR] fix_file_permission: can't check file permission for " +
                  dir.file("missing") + ", No such file or directory\n");
}

TEST(AtomicWrite, ReplacesWholeFileWithPrivateMode) {
    harness::TempDir dir;
    dir.write("users.json", "old");
    ASSERT_TRUE(kvr_write_file_atomic(dir.file("users.json"), "new content"));
    EXPECT_EQ(dir.read("users.json"), "new content");
    EXPECT_EQ(dir.mode("users.json"), 0600u);
    EXPECT_EQ(dir.list().size(), 1u) << "no temporary file may stay behind";
    EXPECT_FALSE(kvr_write_file_atomic(dir.file("no/such/dir"), "x"));
}

TEST(ConfDir, EnvironmentOverridesDefault) {
    unsetenv("KAVROD_DIR");
    EXPECT_EQ(kvr_conf_dir(), "/etc/kavrod/");
    setenv("KAVROD_DIR", "/tmp/x", 1);
    EXPECT_EQ(kvr_conf_dir(), "/tmp/x/");
    setenv("KAVROD_DIR", "/tmp/y/", 1);
    EXPECT_EQ(kvr_conf_dir(), "/tmp/y/");
    unsetenv("KAVROD_DIR");
}
