// Segment cipher on wolfCrypt. Each call keys its own AES context; nothing is kept.
#include "crypto.h"

#include "buffers.h"

#include <cerrno>
#include <climits>
#include <sys/random.h>

#include <wolfssl/options.h>
#include <wolfssl/wolfcrypt/aes.h>
#include <wolfssl/wolfcrypt/sha256.h>

bool Crypto::hashKeySHA256(const std::string& text, uint8_t* out) {
    wc_Sha256 sha;
    if (wc_InitSha256(&sha) != 0) return false;
    bool ok = wc_Sha256Update(&sha, reinterpret_cast<const byte*>(text.data()),
                              static_cast<word32>(text.size())) == 0 &&
              wc_Sha256Final(&sha, out) == 0;
    wc_Sha256Free(&sha);
    return ok;
}

bool Crypto::randomBytes(uint8_t* out, uint64_t n) {
    // getrandom draws from the kernel on every call, so forked workers that seal
    // under one account key can never repeat each other's IVs.
    uint64_t done = 0;
    while (done < n) {
        ssize_t got = getrandom(out + done, n - done, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<uint64_t>(got);
    }
    return true;
}

namespace {
// An AES context that is always released, whatever path leaves the call.
struct GcmKey {
    Aes aes;
    bool ready = false;
    explicit GcmKey(const uint8_t* key) {
        if (wc_AesInit(&aes, nullptr, INVALID_DEVID) != 0) return;
        ready = wc_AesGcmSetKey(&aes, key, 32) == 0;
        if (!ready) wc_AesFree(&aes);
    }
    ~GcmKey() {
        if (ready) wc_AesFree(&aes);
    }
};
} // namespace

//  sealed segment: | IV (12) | ciphertext (n) | tag (16) |
bool Crypto::encryptAesGcm(const uint8_t* plain, uint64_t n, Buffers* out, const uint8_t* key) {
    if (out == nullptr || n > INT_MAX || out->put(n + OVERHEAD) == nullptr) return false;
    uint8_t* iv = out->put();
    if (!randomBytes(iv, IV_SIZE)) return false;
    GcmKey gcm(key);
    if (!gcm.ready) return false;
    uint8_t* body = iv + IV_SIZE;
    if (wc_AesGcmEncrypt(&gcm.aes, body, plain, static_cast<word32>(n), iv, IV_SIZE, body + n,
                         TAG_SIZE, nullptr, 0) != 0)
        return false;
    return out->increment(n + OVERHEAD);
}

bool Crypto::decryptAesGcm(const uint8_t* sealed, uint64_t m, Buffers* out, const uint8_t* key) {
    if (out == nullptr || sealed == nullptr || m < OVERHEAD || m - OVERHEAD > INT_MAX) return false;
    uint64_t n = m - OVERHEAD;
    uint8_t* dst = out->put();
    if (dst == nullptr || out->put(n) == nullptr) return false; // no room: fail, never overrun
    GcmKey gcm(key);
    if (!gcm.ready) return false;
    const uint8_t* body = sealed + IV_SIZE;
    // On a tag mismatch nothing is committed; the caller drops the buffer anyway.
    if (wc_AesGcmDecrypt(&gcm.aes, dst, body, static_cast<word32>(n), sealed, IV_SIZE, body + n,
                         TAG_SIZE, nullptr, 0) != 0)
        return false;
    return out->increment(n);
}
