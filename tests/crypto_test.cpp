// Segment cipher against published vectors, and its failure modes.
#include <gtest/gtest.h>

#include <set>
#include <sys/wait.h>
#include <unistd.h>

#include "src/buffers.h"
#include "src/crypto.h"
#include "src/strings.h"

static std::string hex(const uint8_t* p, size_t n) {
    std::string s;
    str_bytes_to_hexstr(p, n, s);
    return s;
}

static std::vector<uint8_t> unhex(const std::string& s) {
    std::vector<uint8_t> out(s.size() / 2);
    str_hexstr_to_bytes(s, out.data());
    return out;
}

TEST(Crypto, Sha256PublishedVectors) {
    uint8_t out[32];
    ASSERT_TRUE(Crypto::hashKeySHA256("abc", out));
    EXPECT_EQ(hex(out, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ASSERT_TRUE(Crypto::hashKeySHA256("", out));
    EXPECT_EQ(hex(out, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// The published GCM test vectors, test case 15: AES-256, 96-bit IV, no
// associated data.
TEST(Crypto, OpensPublishedGcmVector) {
    auto key = unhex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
    std::string iv = "cafebabefacedbaddecaf888";
    std::string ct = "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
                     "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad";
    std::string tag = "b094dac5d93471bdec1a502270e3cc6c";
    auto sealed = unhex(iv + ct + tag);
    Buffers out;
    ASSERT_TRUE(out.allocate(64));
    ASSERT_TRUE(Crypto::decryptAesGcm(sealed.data(), sealed.size(), &out, key.data()));
    EXPECT_EQ(hex(out.get(), out.length()),
              "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
              "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255");
}

TEST(Crypto, SealsIntoWireLayoutAndOpensBack) {
    uint8_t key[32];
    Crypto::hashKeySHA256("pw", key);
    Buffers a, b, plain;
    ASSERT_TRUE(a.allocate(128));
    ASSERT_TRUE(b.allocate(128));
    ASSERT_TRUE(plain.allocate(128));
    const uint8_t msg[] = "tunnel";
    ASSERT_TRUE(Crypto::encryptAesGcm(msg, 6, &a, key));
    ASSERT_TRUE(Crypto::encryptAesGcm(msg, 6, &b, key));
    EXPECT_EQ(a.length(), 34u);
    EXPECT_NE(hex(a.get(), 12), hex(b.get(), 12)) << "IVs must differ";
    ASSERT_TRUE(Crypto::decryptAesGcm(a.get(), a.length(), &plain, key));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(plain.get()), plain.length()), "tunnel");

    Buffers empty;
    ASSERT_TRUE(empty.allocate(28));
    ASSERT_TRUE(Crypto::encryptAesGcm(msg, 0, &empty, key));
    EXPECT_EQ(empty.length(), 28u);
    plain.clear();
    ASSERT_TRUE(Crypto::decryptAesGcm(empty.get(), 28, &plain, key));
    EXPECT_EQ(plain.length(), 0u);
}

TEST(Crypto, RefusesTamperedShortOrForeignSegments) {
    uint8_t key[32], other[32];
    Crypto::hashKeySHA256("pw", key);
    Crypto::hashKeySHA256("other", other);
    Buffers sealed, plain;
    ASSERT_TRUE(sealed.allocate(64));
    ASSERT_TRUE(plain.allocate(64));
    const uint8_t msg[] = "hello";
    ASSERT_TRUE(Crypto::encryptAesGcm(msg, 5, &sealed, key));
    std::vector<uint8_t> seg(sealed.get(), sealed.get() + sealed.length());
    EXPECT_FALSE(Crypto::decryptAesGcm(seg.data(), seg.size(), &plain, other));
    for (size_t at : {size_t(0), size_t(12), seg.size() - 1}) {
        auto bad = seg;
        bad[at] ^= 1;
        EXPECT_FALSE(Crypto::decryptAesGcm(bad.data(), bad.size(), &plain, key)) << at;
    }
    EXPECT_FALSE(Crypto::decryptAesGcm(seg.data(), 27, &plain, key));
    EXPECT_FALSE(Crypto::decryptAesGcm(seg.data(), seg.size() - 1, &plain, key));
    EXPECT_EQ(plain.length(), 0u);
    Buffers tiny;
    ASSERT_TRUE(tiny.allocate(4));
    EXPECT_FALSE(Crypto::decryptAesGcm(seg.data(), seg.size(), &tiny, key)) << "no room";
    EXPECT_FALSE(Crypto::encryptAesGcm(msg, 5, &tiny, key)) << "no room";
}

TEST(Crypto, ForkedProcessesDrawDifferentRandomBytes) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    uint8_t warm[12];
    Crypto::randomBytes(warm, sizeof(warm)); // any state would now exist before the fork
    std::set<std::string> seen;
    for (int i = 0; i < 4; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            uint8_t iv[12];
            Crypto::randomBytes(iv, sizeof(iv));
            (void)!write(fds[1], iv, sizeof(iv));
            _exit(0);
        }
        waitpid(pid, nullptr, 0);
        uint8_t iv[12];
        ASSERT_EQ(read(fds[0], iv, sizeof(iv)), 12);
        seen.insert(hex(iv, 12));
    }
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(seen.size(), 4u);
}
