// Fixed-capacity byte buffer with read and write positions, and the little-endian
// integer helpers of the tunnel wire format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline void KAVRO_STORE2B(uint16_t v, uint8_t* dst) {
    dst[0] = static_cast<uint8_t>(v);
    dst[1] = static_cast<uint8_t>(v >> 8);
}
inline void KAVRO_STORE4B(uint32_t v, uint8_t* dst) {
    dst[0] = static_cast<uint8_t>(v);
    dst[1] = static_cast<uint8_t>(v >> 8);
    dst[2] = static_cast<uint8_t>(v >> 16);
    dst[3] = static_cast<uint8_t>(v >> 24);
}
inline void KAVRO_LOAD2B(uint16_t* v, const uint8_t* src) {
    *v = static_cast<uint16_t>(src[0] | (src[1] << 8));
}
inline void KAVRO_LOAD4B(uint32_t* v, const uint8_t* src) {
    *v = static_cast<uint32_t>(src[0]) | (static_cast<uint32_t>(src[1]) << 8) |
         (static_cast<uint32_t>(src[2]) << 16) | (static_cast<uint32_t>(src[3]) << 24);
}

class Buffers {
  public:
    Buffers() = default;
    ~Buffers() { delete[] data_; }
    Buffers(const Buffers&) = delete;
    Buffers& operator=(const Buffers&) = delete;

    bool allocate(uint64_t size);
    void clear() { rpos_ = wpos_ = len_ = 0; }
    void clear0();
    void trim();
    bool increment(uint64_t n);
    bool decrement(uint64_t n);
    uint64_t length() const { return len_; }
    uint64_t capacity() const { return cap_; }
    uint64_t available() const { return cap_ - len_; }

    uint8_t* put() { return data_ ? data_ + wpos_ : nullptr; }
    uint8_t* put(uint64_t n);
    uint8_t* get() { return (data_ && len_) ? data_ + rpos_ : nullptr; }
    uint8_t* get(uint64_t n);

    bool put(const void* src, uint64_t n);
    bool put(const void* src, uint64_t off, uint64_t n);
    bool putB(bool b) { return putU8(b ? '1' : '0'); }
    bool putU8(uint8_t v) { return put(&v, 1); }
    bool putU16(uint16_t v);
    bool putU32(uint32_t v);
    bool putS16(const std::string& s);
    bool putS32(const std::string& s);

    uint64_t get(void* dst, uint64_t n);
    uint64_t get(void* dst, uint64_t off, uint64_t end);
    bool getB(bool& b);
    bool getU8(uint8_t& v);
    bool getU16(uint16_t& v);
    bool getU32(uint32_t& v);
    bool getS16(std::string& s);
    bool getS32(std::string& s);
    bool str_view(std::string& s) const;

  private:
    bool fits(uint64_t n) const { return data_ && n <= cap_ - wpos_; }
    bool getS(std::string& s, uint64_t count);

    uint8_t* data_ = nullptr;
    uint64_t rpos_ = 0;
    uint64_t wpos_ = 0;
    uint64_t len_ = 0;
    uint64_t cap_ = 0;
};
