// String helpers.
#include <gtest/gtest.h>

#include <sstream>

#include "src/strings.h"

TEST(Strings, Tests) {
    EXPECT_TRUE(str_digit(""));
    EXPECT_TRUE(str_digit("0123"));
    for (const char* s : {"-1", "1.5", "12a", "\xb9"})
        EXPECT_FALSE(str_digit(s)) << s;
    EXPECT_TRUE(str_startwith("abc", ""));
    EXPECT_FALSE(str_startwith("abc", "abcd"));
    EXPECT_TRUE(str_contains("abc", ""));
    EXPECT_FALSE(str_contains("abc", "d"));
    std::string t = "MiXeD\xc4";
    str_tolower(t);
    EXPECT_EQ(t, "mixed\xc4");
}

TEST(Strings, TrimOnlyTheFront) {
    std::string s = " \t\r\nabc \n";
    str_trim(s);
    EXPECT_EQ(s, "abc \n");
    s = "\vx";
    str_trim(s);
    EXPECT_EQ(s, "\vx");
}

TEST(Strings, Replace) {
    struct {
        const char *text, *pattern, *with;
        uint64_t limit;
        const char* want;
    } cases[] = {{"aaa", "a", "aa", 0, "aaaaaa"},
                 {"aaa", "a", "aa", 2, "aaaaa"},
                 {"abc", "x", "y", 0, "abc"},
                 {"abc", "", "y", 0, "abc"},
                 {"a\r\nb", "\r\n", "[crlf]", 0, "a[crlf]b"}};
    for (auto& c : cases) {
        std::string s = c.text;
        str_replace(s, c.pattern, c.with, c.limit);
        EXPECT_EQ(s, c.want) << c.text << " " << c.pattern;
    }
}

TEST(Strings, Split) {
    using V = std::vector<std::string>;
    EXPECT_EQ(str_split("a,,b,", ","), (V{"a", "b"}));
    EXPECT_EQ(str_split(",a", ","), (V{"a"}));
    EXPECT_EQ(str_split("a,b,c", ",", 1), (V{"a", "b,c"}));
    EXPECT_EQ(str_split("abc", ","), V{});
    EXPECT_EQ(str_split("abc", ""), V{});
}

TEST(Strings, GetlineLineEnds) {
    std::istringstream in("one\r\ntwo\n\rthree");
    std::string line;
    ASSERT_TRUE(str_getline(in, line));
    EXPECT_EQ(line, "one");
    ASSERT_TRUE(str_getline(in, line));
    EXPECT_EQ(line, "two");
    ASSERT_TRUE(str_getline(in, line));
    EXPECT_EQ(line, "three");
    EXPECT_TRUE(in.eof());
    EXPECT_FALSE(str_getline(in, line));
    EXPECT_EQ(line, "");

    std::istringstream in2("a\r\rb");
    std::vector<std::string> lines;
    while (str_getline(in2, line))
        lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "", "b"}));

    std::istringstream empty("");
    EXPECT_FALSE(str_getline(empty, line));
    EXPECT_TRUE(empty.eof());
}

TEST(Strings, BadBlock) {
    std::string s("\0\0ab\0c", 6);
    str_badblock(s);
    EXPECT_EQ(s, "ab");
    s.assign("\0\0", 2);
    str_badblock(s);
    EXPECT_EQ(s, "");
}

TEST(Strings, Hex) {
    const uint8_t raw[] = {0x00, 0x0F, 0xA0, 0xFF};
    std::string hex = "keep";
    str_bytes_to_hexstr(raw, 4, hex);
    EXPECT_EQ(hex, "000fa0ff");
    str_bytes_to_hexstr(raw, 0, hex);
    EXPECT_EQ(hex, "");
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(str_hexstr_to_bytes("0Fa0", out), 2u);
    EXPECT_EQ(out[0], 0x0F);
    EXPECT_EQ(out[1], 0xA0);
    for (const char* bad : {"abc", "a", ""}) {
        EXPECT_EQ(str_hexstr_to_bytes(bad, out), 0u) << bad;
    }
    EXPECT_EQ(out[2], 9);
}
