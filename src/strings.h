// Byte-string helpers: tests, in-place edits, splitting, line reading, hex.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

bool str_digit(const std::string& text);
void str_tolower(std::string& text);
bool str_startwith(const std::string& text, const std::string& prefix);
bool str_contains(const std::string& text, const std::string& part);
void str_trim(std::string& text);
void str_replace(std::string& text, const std::string& pattern, const std::string& replacement);
void str_replace(std::string& text, const std::string& pattern, const std::string& replacement,
                 uint64_t limit);
std::vector<std::string> str_split(const std::string& text, const std::string& separator);
std::vector<std::string> str_split(const std::string& text, const std::string& separator,
                                   uint64_t limit);
std::istream& str_getline(std::istream& in, std::string& line);
void str_badblock(std::string& text);
void str_bytes_to_hexstr(const uint8_t* bytes, uint64_t count, std::string& text);
uint64_t str_hexstr_to_bytes(const std::string& text, uint8_t* dst);
