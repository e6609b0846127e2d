// Byte buffer cursors, typed little-endian access and their bounds.
#include <gtest/gtest.h>

#include <cstring>

#include "src/buffers.h"

static std::string bytes(Buffers& b) {
    std::string s;
    b.str_view(s);
    return s;
}

TEST(Buffers, NoStorageFailsEverything) {
    Buffers b;
    uint8_t v8;
    EXPECT_FALSE(b.increment(0));
    EXPECT_FALSE(b.decrement(0));
    EXPECT_FALSE(b.put("a", 1));
    EXPECT_FALSE(b.getU8(v8));
    EXPECT_EQ(b.put(), nullptr);
    EXPECT_EQ(b.get(), nullptr);
    EXPECT_FALSE(b.allocate(0));
}

TEST(Buffers, TrimMakesFreedFrontUsable) {
    Buffers b;
    ASSERT_TRUE(b.allocate(8));
    ASSERT_TRUE(b.put("abcdefgh", 8));
    ASSERT_TRUE(b.decrement(5));
    EXPECT_EQ(b.available(), 5u);
    EXPECT_FALSE(b.put("wxyz", 4));
    b.trim();
    EXPECT_TRUE(b.put("wxyz", 4));
    EXPECT_EQ(bytes(b), "fghwxyz");
    EXPECT_TRUE(b.increment(0));
    EXPECT_TRUE(b.decrement(0));
    EXPECT_FALSE(b.increment(2));
    EXPECT_FALSE(b.decrement(8));
}

TEST(Buffers, PointerAccessBounds) {
    Buffers b;
    ASSERT_TRUE(b.allocate(16));
    b.put("abcd", 4);
    EXPECT_NE(b.get(4), nullptr);
    EXPECT_EQ(b.get(5), nullptr);
    EXPECT_NE(b.put(12), nullptr);
    EXPECT_EQ(b.put(13), nullptr);
}

TEST(Buffers, AllocateZeroKeepsDataOtherSizesDiscard) {
    Buffers b;
    ASSERT_TRUE(b.allocate(4));
    b.put("ab", 2);
    EXPECT_FALSE(b.allocate(0));
    EXPECT_EQ(bytes(b), "ab");
    ASSERT_TRUE(b.allocate(4));
    EXPECT_EQ(b.length(), 0u);
}

TEST(Buffers, LittleEndianIntegersWhateverTheHost) {
    Buffers b;
    ASSERT_TRUE(b.allocate(16));
    b.putU16(258);
    b.putU32(1);
    EXPECT_EQ(bytes(b), std::string("\x02\x01\x01\x00\x00\x00", 6));
    uint16_t a;
    uint32_t c;
    ASSERT_TRUE(b.getU16(a));
    ASSERT_TRUE(b.getU32(c));
    EXPECT_EQ(a, 258);
    EXPECT_EQ(c, 1u);
    EXPECT_FALSE(b.getU16(a));
    uint8_t raw[4];
    KAVRO_STORE4B(0x11223344u, raw);
    EXPECT_EQ(raw[0], 0x44);
    EXPECT_EQ(raw[3], 0x11);
    KAVRO_LOAD4B(&c, raw);
    EXPECT_EQ(c, 0x11223344u);
}

TEST(Buffers, LengthPrefixedStrings) {
    Buffers b;
    ASSERT_TRUE(b.allocate(16));
    ASSERT_TRUE(b.putS16("abc"));
    EXPECT_EQ(bytes(b), std::string("\x03\x00"
                                    "abc",
                                    5));
    std::string s;
    ASSERT_TRUE(b.getS16(s));
    EXPECT_EQ(s, "abc");
    EXPECT_EQ(b.length(), 0u);
    // a short string: the prefix stays consumed, the rest stays readable
    b.clear();
    b.put("\x05\x00"
          "ab",
          4);
    EXPECT_FALSE(b.getS16(s));
    EXPECT_EQ(bytes(b), "ab");
    // write position 4 of 16: a 4-byte prefix and 8 bytes fit, 9 do not
    EXPECT_FALSE(b.putS32(std::string(9, 'x')));
    EXPECT_EQ(b.length(), 2u);
    EXPECT_TRUE(b.putS32(std::string(8, 'x')));
}

TEST(Buffers, BooleansAndRangedCopies) {
    Buffers b;
    ASSERT_TRUE(b.allocate(8));
    b.putB(true);
    EXPECT_EQ(bytes(b), "1");
    b.clear();
    b.put("2", 1);
    bool v = true;
    ASSERT_TRUE(b.getB(v));
    EXPECT_FALSE(v);
    b.clear();
    b.put("abcdef", 6);
    char out[8] = {0};
    EXPECT_EQ(b.get(out, 2, 10), 4u);
    EXPECT_STREQ(out, "cdef");
    EXPECT_EQ(b.length(), 0u);
    b.put("xy", 2);
    b.clear0();
    EXPECT_EQ(b.length(), 0u);
    EXPECT_EQ(std::memcmp(b.put(), "\0\0\0\0\0\0\0\0", 8), 0);
}
