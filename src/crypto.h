// Account keys and sealed segments: SHA-256 of the password, AES-256-GCM with a
// 12-byte random IV in front and the 16-byte tag behind the ciphertext.
#pragma once

#include <cstdint>
#include <string>

class Buffers;

class Crypto {
  public:
    static constexpr uint64_t IV_SIZE = 12;
    static constexpr uint64_t TAG_SIZE = 16;
    static constexpr uint64_t OVERHEAD = IV_SIZE + TAG_SIZE;

    static bool hashKeySHA256(const std::string& text, uint8_t* out);
    static bool encryptAesGcm(const uint8_t* plain, uint64_t n, Buffers* out, const uint8_t* key);
    static bool decryptAesGcm(const uint8_t* sealed, uint64_t m, Buffers* out, const uint8_t* key);
    // Kernel random bytes: no generator state that a fork could duplicate.
    static bool randomBytes(uint8_t* out, uint64_t n);
};
