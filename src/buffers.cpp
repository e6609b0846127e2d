// Byte buffer: appends at the write position, consumes from the read position.
#include "buffers.h"

#include <cstring>
#include <new>

bool Buffers::allocate(uint64_t size) {
    if (size == 0) return false;
    delete[] data_;
    data_ = nullptr;
    rpos_ = wpos_ = len_ = cap_ = 0;
    data_ = new (std::nothrow) uint8_t[size];
    if (data_ == nullptr) return false;
    cap_ = size;
    return true;
}

void Buffers::clear0() {
    clear();
    if (data_) std::memset(data_, 0, cap_);
}

void Buffers::trim() {
    if (len_ == 0) {
        rpos_ = wpos_ = 0;
        return;
    }
    if (rpos_ == 0) return;
    std::memmove(data_, data_ + rpos_, len_);
    rpos_ = 0;
    wpos_ = len_;
}

bool Buffers::increment(uint64_t n) {
    if (!fits(n)) return false;
    wpos_ += n;
    len_ += n;
    return true;
}

bool Buffers::decrement(uint64_t n) {
    if (!data_ || n > len_) return false;
    rpos_ += n;
    len_ -= n;
    return true;
}

uint8_t* Buffers::put(uint64_t n) {
    return fits(n) ? data_ + wpos_ + n : nullptr;
}

uint8_t* Buffers::get(uint64_t n) {
    return (data_ && len_ && n <= len_) ? data_ + rpos_ + n : nullptr;
}

bool Buffers::put(const void* src, uint64_t n) {
    if (!fits(n)) return false;
    if (n) std::memcpy(data_ + wpos_, src, n);
    wpos_ += n;
    len_ += n;
    return true;
}

bool Buffers::put(const void* src, uint64_t off, uint64_t n) {
    if (!data_ || off > cap_ - wpos_ || !fits(off + n)) return false;
    if (n) std::memcpy(data_ + wpos_ + off, src, n);
    wpos_ += off + n;
    len_ += off + n;
    return true;
}

bool Buffers::putU16(uint16_t v) {
    uint8_t b[2];
    KAVRO_STORE2B(v, b);
    return put(b, 2);
}

bool Buffers::putU32(uint32_t v) {
    uint8_t b[4];
    KAVRO_STORE4B(v, b);
    return put(b, 4);
}

bool Buffers::putS16(const std::string& s) {
    if (s.size() > 0xFFFF || !fits(2 + static_cast<uint64_t>(s.size()))) return false;
    putU16(static_cast<uint16_t>(s.size()));
    return put(s.data(), s.size());
}

bool Buffers::putS32(const std::string& s) {
    if (s.size() > 0xFFFFFFFFull || !fits(4 + static_cast<uint64_t>(s.size()))) return false;
    putU32(static_cast<uint32_t>(s.size()));
    return put(s.data(), s.size());
}

uint64_t Buffers::get(void* dst, uint64_t n) {
    if (!data_ || len_ == 0) return 0;
    uint64_t count = n < len_ ? n : len_;
    std::memcpy(dst, data_ + rpos_, count);
    decrement(count);
    return count;
}

uint64_t Buffers::get(void* dst, uint64_t off, uint64_t end) {
    if (!data_ || end < off || len_ == 0 || len_ < off) return 0;
    uint64_t want = end - off;
    uint64_t count = want < len_ - off ? want : len_ - off;
    if (count == 0) return 0;
    std::memcpy(dst, data_ + rpos_ + off, count);
    decrement(off + count);
    return count;
}

bool Buffers::getB(bool& b) {
    uint8_t v;
    if (!getU8(v)) return false;
    b = v == '1';
    return true;
}

bool Buffers::getU8(uint8_t& v) {
    if (!data_ || len_ < 1) return false;
    v = data_[rpos_];
    return decrement(1);
}

bool Buffers::getU16(uint16_t& v) {
    if (!data_ || len_ < 2) return false;
    KAVRO_LOAD2B(&v, data_ + rpos_);
    return decrement(2);
}

bool Buffers::getU32(uint32_t& v) {
    if (!data_ || len_ < 4) return false;
    KAVRO_LOAD4B(&v, data_ + rpos_);
    return decrement(4);
}

bool Buffers::getS(std::string& s, uint64_t count) {
    if (count == 0) return true;
    if (count > len_) return false; // the prefix stays consumed
    s.assign(reinterpret_cast<const char*>(data_ + rpos_), count);
    return decrement(count);
}

bool Buffers::getS16(std::string& s) {
    uint16_t n;
    return getU16(n) && getS(s, n);
}

bool Buffers::getS32(std::string& s) {
    uint32_t n;
    return getU32(n) && getS(s, n);
}

bool Buffers::str_view(std::string& s) const {
    if (!data_ || len_ == 0) return false;
    s.assign(reinterpret_cast<const char*>(data_ + rpos_), len_);
    return true;
}
