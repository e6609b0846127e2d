// The program's small JSON library: values are kept as compact JSON text and
// re-read on demand; documents are ordered lists of (key, value text) members.
#pragma once

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace json {

class parsing_error : public std::invalid_argument {
  public:
    explicit parsing_error(const char* message) : std::invalid_argument(message) {}
};

class invalid_key : public std::exception {
  public:
    explicit invalid_key(const std::string& key) : key_(key) {}
    const char* what() const noexcept override { return key_.c_str(); }

  private:
    std::string key_;
};

namespace jtype {
enum jtype { js_string = 0, js_number, js_object, js_array, js_boolean, js_null, js_invalid };
jtype peek(char c);
jtype detect(const char* s);
} // namespace jtype

enum class push_outcome { consumed, refused, blank };

// Recognises one value pushed one character at a time. Nesting is bounded so
// that hostile input can neither exhaust the stack nor cost quadratic time.
class reader {
  public:
    static constexpr unsigned MAX_DEPTH = 256;

    reader() = default;
    explicit reader(unsigned depth) : depth(depth) {}
    virtual ~reader() = default;
    virtual void clear();
    virtual push_outcome push(char c);
    virtual jtype::jtype type() const;
    virtual bool is_valid() const;
    virtual std::string readout() const { return text; }
    // Appends the readout to out without a temporary copy.
    virtual void append_to(std::string& out) const { out += text; }

  protected:
    push_outcome push_value(char c);

    std::string text;
    std::unique_ptr<reader> sub_reader;
    unsigned state = 0;
    unsigned depth = 0;

  private:
    push_outcome push_string(char c);
    push_outcome push_number(char c);
    push_outcome push_boolean(char c);
    push_outcome push_null(char c);
    push_outcome push_array(char c);
    push_outcome push_object(char c);
    push_outcome start_element(char c);
    push_outcome push_element(char c);
    push_outcome push_member(char c);
};

// One object member: "name" : value. The inherited fields hold the value.
class kvp_reader : public reader {
  public:
    explicit kvp_reader(unsigned depth) : reader(depth) {}
    void clear() override;
    push_outcome push(char c) override;
    bool is_valid() const override;
    std::string readout() const override;
    void append_to(std::string& out) const override;

  private:
    reader key_reader;
    bool colon_seen = false;
    bool key_done = false; // the name is complete; saves re-testing it per character
};

namespace parsing {
struct parse_outcome {
    jtype::jtype type;
    std::string value;
    const char* remainder;
};

const char* tlws(const char* s);
std::string read_digits(const char* s);
parse_outcome parse(const char* input);
std::vector<std::string> parse_array(const char* input);
std::string decode_string(const char* literal);
std::string encode_string(const char* text);
inline std::string encode_string(const std::string& text) {
    return encode_string(text.c_str());
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
template <typename T> std::string get_number_string(const T& value, const char* format) {
    int n = std::snprintf(nullptr, 0, format, value);
    if (n < 0) return std::string();
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(&out[0], out.size(), format, value);
    out.resize(static_cast<size_t>(n));
    return out;
}
#pragma GCC diagnostic pop
} // namespace parsing

extern const char* INT_FORMAT;
extern const char* UINT_FORMAT;
extern const char* LONG_FORMAT;
extern const char* ULONG_FORMAT;
extern const char* CHAR_FORMAT;
extern const char* FLOAT_FORMAT;
extern const char* DOUBLE_FORMAT;

class jobject {
  public:
    class entry {
      public:
        virtual ~entry() = default;
        virtual const std::string& ref() const = 0;

        std::string as_string() const;
        bool is_string() const;
        bool is_number() const;
        jtype::jtype type() const { return jtype::detect(ref().c_str()); }

        operator int() const { return get_number<int>(INT_FORMAT); }
        operator unsigned int() const { return get_number<unsigned int>(UINT_FORMAT); }
        operator long() const { return get_number<long>(LONG_FORMAT); }
        operator unsigned long() const { return get_number<unsigned long>(ULONG_FORMAT); }
        operator char() const { return get_number<char>(CHAR_FORMAT); }
        operator float() const { return get_number<float>(FLOAT_FORMAT); }
        operator double() const { return get_number<double>(DOUBLE_FORMAT); }
        operator std::vector<int>() const { return get_number_array<int>(INT_FORMAT); }
        operator std::vector<unsigned int>() const {
            return get_number_array<unsigned int>(UINT_FORMAT);
        }
        operator std::vector<long>() const { return get_number_array<long>(LONG_FORMAT); }
        operator std::vector<unsigned long>() const {
            return get_number_array<unsigned long>(ULONG_FORMAT);
        }
        operator std::vector<char>() const { return get_number_array<char>(CHAR_FORMAT); }
        operator std::vector<float>() const { return get_number_array<float>(FLOAT_FORMAT); }
        operator std::vector<double>() const { return get_number_array<double>(DOUBLE_FORMAT); }

        template <typename T> T get_number(const char* format) const {
            return scan<T>(ref().c_str(), format);
        }
        template <typename T> std::vector<T> get_number_array(const char* format) const {
            std::vector<T> out;
            for (const std::string& item : parsing::parse_array(ref().c_str()))
                out.push_back(scan<T>(item.c_str(), format));
            return out;
        }

      private:
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        template <typename T> static T scan(const char* text, const char* format) {
            T value{};
            if (std::sscanf(text, format, &value) != 1) return T{};
            return value;
        }
#pragma GCC diagnostic pop
    };

    class const_proxy : public entry {
      public:
        const_proxy(const jobject& source, const std::string& key);
        const std::string& ref() const override;

      protected:
        const jobject& source;
        std::string key;
    };

    class proxy : public const_proxy {
      public:
        proxy(jobject& sink, const std::string& key) : const_proxy(sink, key), sink(sink) {}
        void set_string(const std::string& text);
        void set_number(int value);
        void set_boolean(bool value);
        void set_array(const std::vector<std::string>& items, bool quote);
        template <typename T>
        void set_number_array(const std::vector<T>& values, const char* format) {
            std::vector<std::string> texts;
            texts.reserve(values.size());
            for (const T& v : values)
                texts.push_back(parsing::get_number_string(v, format));
            set_array(texts, false);
        }

      private:
        jobject& sink;
    };

    class const_value : public entry {
      public:
        explicit const_value(const std::string& value) : value(value) {}
        const std::string& ref() const override { return value; }

      private:
        std::string value;
    };

    jobject() = default;
    explicit jobject(bool array) : array_kind(array) {}
    virtual ~jobject() = default;
    jobject(const jobject&) = default;
    jobject& operator=(const jobject&) = default;

    static jobject parse(const char* text);
    static jobject parse(const std::string& text) {
        return parse(text.c_str());
    }

    jobject& operator+=(const std::pair<std::string, std::string>& member);
    void set(const std::string& key, const std::string& value_text);
    void remove(const std::string& key);
    void clear() {
        members.clear(), index.clear();
    }
    std::vector<std::string> list_keys() const;
    bool has_key(const std::string& key) const;
    size_t size() const {
        return members.size();
    }
    bool is_array() const {
        return array_kind;
    }
    const_value array(size_t n) const;

    virtual proxy operator[](const std::string& key);
    virtual const_proxy operator[](const std::string& key) const;

    operator std::string() const;
    std::string pretty(unsigned int indent) const;

  private:
    const std::string* find(const std::string& key) const;

    std::vector<std::pair<std::string, std::string>> members;
    bool array_kind = false;
    // Position of each object member by key, so lookups stay constant-time on
    // users files with many accounts.
    std::unordered_map<std::string, size_t> index;
};

} // namespace json
