// Byte-string helpers. Letters and digits are ASCII; nothing knows encodings.
#include "strings.h"

#include <cctype>

bool str_digit(const std::string& text) {
    for (unsigned char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

void str_tolower(std::string& text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

bool str_startwith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool str_contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void str_trim(std::string& text) {
    size_t n = 0;
    while (n < text.size() &&
           (text[n] == '\t' || text[n] == '\n' || text[n] == '\r' || text[n] == ' '))
        ++n;
    text.erase(0, n);
}

void str_replace(std::string& text, const std::string& pattern, const std::string& replacement) {
    str_replace(text, pattern, replacement, 0);
}

void str_replace(std::string& text, const std::string& pattern, const std::string& replacement,
                 uint64_t limit) {
    if (pattern.empty()) return;
    uint64_t done = 0;
    size_t pos = 0;
    while ((limit == 0 || done < limit) && (pos = text.find(pattern, pos)) != std::string::npos) {
        text.replace(pos, pattern.size(), replacement);
        pos += replacement.size();
        ++done;
    }
}

std::vector<std::string> str_split(const std::string& text, const std::string& separator) {
    return str_split(text, separator, 0);
}

std::vector<std::string> str_split(const std::string& text, const std::string& separator,
                                   uint64_t limit) {
    std::vector<std::string> out;
    if (separator.empty()) return out;
    size_t pos = 0;
    uint64_t passes = 0;
    bool consumed = false;
    while (limit == 0 || passes < limit) {
        size_t at = text.find(separator, pos);
        if (at == std::string::npos) break;
        if (at > pos) out.emplace_back(text, pos, at - pos);
        pos = at + separator.size();
        consumed = true;
        ++passes;
    }
    if (consumed && pos < text.size()) out.emplace_back(text, pos);
    return out;
}

std::istream& str_getline(std::istream& in, std::string& line) {
    line.clear();
    std::streambuf* sb = in.rdbuf();
    for (;;) {
        int c = sb->sbumpc();
        if (c == std::streambuf::traits_type::eof()) {
            in.setstate(line.empty() ? std::ios::eofbit | std::ios::failbit : std::ios::eofbit);
            return in;
        }
        if (c == '\n' || c == '\r') {
            int pair = c == '\n' ? '\r' : '\n';
            if (sb->sgetc() == pair) sb->sbumpc();
            return in;
        }
        line += static_cast<char>(c);
    }
}

void str_badblock(std::string& text) {
    size_t lead = text.find_first_not_of('\0');
    if (lead == std::string::npos) {
        text.clear();
        return;
    }
    text.erase(0, lead);
    size_t zero = text.find('\0');
    if (zero != std::string::npos) text.erase(zero);
}

void str_bytes_to_hexstr(const uint8_t* bytes, uint64_t count, std::string& text) {
    static const char digits[] = "0123456789abcdef";
    if (count == 0 && bytes == nullptr) return;
    text.clear();
    text.reserve(count * 2);
    for (uint64_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
}

static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0; // not a hex digit: reads as zero, never stored text of ours
}

uint64_t str_hexstr_to_bytes(const std::string& text, uint8_t* dst) {
    if (text.size() < 2 || text.size() % 2 != 0) return 0;
    uint64_t n = text.size() / 2;
    for (uint64_t i = 0; i < n; ++i)
        dst[i] = static_cast<uint8_t>((hex_value(text[2 * i]) << 4) | hex_value(text[2 * i + 1]));
    return n;
}
