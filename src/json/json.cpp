// Value reader state machines, string codec and document model.
#include "json.h"

#include <cctype>
#include <cstring>

namespace json {

const char* INT_FORMAT = "%i";
const char* UINT_FORMAT = "%u";
const char* LONG_FORMAT = "%li";
const char* ULONG_FORMAT = "%lu";
const char* CHAR_FORMAT = "%c";
const char* FLOAT_FORMAT = "%f";
const char* DOUBLE_FORMAT = "%lf";

static bool is_ws(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}
static bool is_hex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

namespace jtype {
jtype peek(char c) {
    switch (c) {
    case '"':
        return js_string;
    case '{':
        return js_object;
    case '[':
        return js_array;
    case 't':
    case 'f':
        return js_boolean;
    case 'n':
        return js_null;
    case '-':
        return js_number;
    default:
        return (c >= '0' && c <= '9') ? js_number : js_invalid;
    }
}

jtype detect(const char* s) {
    return peek(*parsing::tlws(s));
}
} // namespace jtype

// ---- reader -------------------------------------------------------------

void reader::clear() {
    text.clear();
    sub_reader.reset();
    state = 0;
}

jtype::jtype reader::type() const {
    return text.empty() ? jtype::js_invalid : jtype::peek(text[0]);
}

bool reader::is_valid() const {
    switch (type()) {
    case jtype::js_string:
        return state == 8;
    case jtype::js_number:
        return state == 2 || state == 3 || state == 5 || state == 8;
    case jtype::js_object:
    case jtype::js_array:
        return state == 4;
    case jtype::js_boolean:
        return text == "true" || text == "false";
    case jtype::js_null:
        return text == "null";
    case jtype::js_invalid:
        return false;
    }
    throw std::logic_error("Unexpected return");
}

push_outcome reader::push(char c) {
    if (text.empty() && is_ws(c)) return push_outcome::consumed;
    return push_value(c);
}

push_outcome reader::push_value(char c) {
    switch (text.empty() ? jtype::peek(c) : jtype::peek(text[0])) {
    case jtype::js_string:
        return push_string(c);
    case jtype::js_number:
        return push_number(c);
    case jtype::js_object:
        return push_object(c);
    case jtype::js_array:
        return push_array(c);
    case jtype::js_boolean:
        return push_boolean(c);
    case jtype::js_null:
        return push_null(c);
    default:
        return push_outcome::refused;
    }
}

push_outcome reader::push_string(char c) {
    switch (state) {
    case 0:
        if (c != '"') return push_outcome::refused;
        state = 1;
        break;
    case 1:
    case 2:
        state = c == '\\' ? 3 : (c == '"' ? 8 : 2);
        break;
    case 3:
        if (c == 'u') {
            state = 4;
            break;
        }
        if (!std::strchr("\\\"bfnrt", c) || c == '\0') return push_outcome::refused;
        state = 2;
        break;
    case 4:
    case 5:
    case 6:
    case 7:
        if (!is_hex(c)) return push_outcome::refused;
        state = state == 7 ? 2 : state + 1;
        break;
    case 8:
        return push_outcome::refused;
    default:
        throw std::logic_error("Unexpected return");
    }
    text += c;
    return push_outcome::consumed;
}

push_outcome reader::push_number(char c) {
    enum { MINUS, PLUS, ZERO, DIGIT, POINT, EXP, OTHER };
    int cls = c == '-'                 ? MINUS
              : c == '+'               ? PLUS
              : c == '0'               ? ZERO
              : (c >= '1' && c <= '9') ? DIGIT
              : c == '.'               ? POINT
              : (c == 'e' || c == 'E') ? EXP
                                       : OTHER;
    // next state per (state, class); -1 refuses
    static const signed char next[9][7] = {
        {1, -1, 2, 3, -1, -1, -1}, {-1, -1, 2, 3, -1, -1, -1}, {-1, -1, -1, -1, 4, 6, -1},
        {-1, -1, 3, 3, 4, 6, -1},  {-1, -1, 5, 5, -1, -1, -1}, {-1, -1, 5, 5, -1, 6, -1},
        {7, 7, 8, 8, -1, -1, -1},  {-1, -1, 8, 8, -1, -1, -1}, {-1, -1, 8, 8, -1, -1, -1},
    };
    if (state > 8) throw std::logic_error("Unexpected return");
    int to = next[state][cls];
    if (to < 0) return push_outcome::refused;
    state = static_cast<unsigned>(to);
    text += c;
    return push_outcome::consumed;
}

static push_outcome push_word(std::string& text, char c, const char* word, size_t max) {
    if (text.size() >= max || word[text.size()] != c) return push_outcome::refused;
    text += c;
    return push_outcome::consumed;
}

push_outcome reader::push_boolean(char c) {
    if (text.empty()) {
        if (c != 't' && c != 'f') return push_outcome::refused;
        text += c;
        return push_outcome::consumed;
    }
    if (text[0] == 't') return push_word(text, c, "true", 4);
    if (text[0] == 'f') return push_word(text, c, "false", 5);
    throw parsing_error("Unexpected state");
}

push_outcome reader::push_null(char c) {
    if (text.size() > 4) throw parsing_error("Unexpected state");
    return push_word(text, c, "null", 4);
}

push_outcome reader::start_element(char c) {
    if (jtype::peek(c) == jtype::js_invalid || depth + 1 > MAX_DEPTH) return push_outcome::refused;
    sub_reader.reset(new reader(depth + 1));
    state = 2;
    return push_element(c);
}

push_outcome reader::push_element(char c) {
    if (sub_reader->is_valid() && is_ws(c)) return push_outcome::blank;
    push_outcome r = sub_reader->push(c);
    if (r == push_outcome::consumed || r == push_outcome::blank) return r;
    if (r != push_outcome::refused) throw std::logic_error("Unexpected return");
    if ((c != ',' && c != ']') || !sub_reader->is_valid()) return push_outcome::refused;
    sub_reader->append_to(text);
    sub_reader.reset();
    text += c;
    state = c == ',' ? 3 : 4;
    return push_outcome::consumed;
}

push_outcome reader::push_array(char c) {
    switch (state) {
    case 0:
        if (c != '[') return push_outcome::refused;
        text += c;
        state = 1;
        return push_outcome::consumed;
    case 1:
        if (is_ws(c)) return push_outcome::blank;
        if (c == ']') {
            text += c;
            state = 4;
            return push_outcome::consumed;
        }
        return start_element(c);
    case 3:
        if (is_ws(c)) return push_outcome::blank;
        return start_element(c);
    case 2:
        return push_element(c);
    case 4:
        return push_outcome::refused;
    default:
        throw std::logic_error("Unexpected return");
    }
}

push_outcome reader::push_member(char c) {
    push_outcome r = sub_reader->push(c);
    if (r == push_outcome::consumed || r == push_outcome::blank) return r;
    if (r != push_outcome::refused) throw std::logic_error("Unexpected return");
    if (!sub_reader->is_valid()) return push_outcome::refused;
    if (is_ws(c)) return push_outcome::blank;
    if (c != ',' && c != '}') return push_outcome::refused;
    sub_reader->append_to(text);
    sub_reader.reset();
    text += c;
    state = c == ',' ? 3 : 4;
    return push_outcome::consumed;
}

push_outcome reader::push_object(char c) {
    switch (state) {
    case 0:
        if (c != '{') return push_outcome::refused;
        text += c;
        state = 1;
        return push_outcome::consumed;
    case 1:
        if (c == '}') {
            text += c;
            state = 4;
            return push_outcome::consumed;
        }
        [[fallthrough]]; // anything else is read as after a comma
    case 3:
        if (is_ws(c)) return push_outcome::blank;
        if (c != '"' || depth + 1 > MAX_DEPTH) return push_outcome::refused;
        sub_reader.reset(new kvp_reader(depth + 1));
        sub_reader->push(c);
        state = 2;
        return push_outcome::consumed;
    case 2:
        return push_member(c);
    case 4:
        return push_outcome::refused;
    default:
        throw std::logic_error("Unexpected return");
    }
}

// ---- kvp_reader ---------------------------------------------------------

void kvp_reader::clear() {
    reader::clear();
    key_reader.clear();
    colon_seen = false;
    key_done = false;
}

push_outcome kvp_reader::push(char c) {
    if (colon_seen) {
        if (text.empty() && is_ws(c)) return push_outcome::blank;
        return push_value(c);
    }
    if (key_done) {
        if (is_ws(c)) return push_outcome::blank;
        if (c != ':') return push_outcome::refused;
        colon_seen = true;
        return push_outcome::consumed;
    }
    if (key_reader.type() == jtype::js_invalid) { // no name started yet
        if (is_ws(c)) return push_outcome::blank;
        if (c != '"') return push_outcome::refused;
        key_reader.push(c);
        return push_outcome::consumed;
    }
    push_outcome r = key_reader.push(c);
    key_done = key_reader.is_valid();
    return r;
}

bool kvp_reader::is_valid() const {
    return key_done && reader::is_valid();
}

std::string kvp_reader::readout() const {
    std::string out;
    append_to(out);
    return out;
}

void kvp_reader::append_to(std::string& out) const {
    key_reader.append_to(out);
    out += ':';
    out += text;
}

// ---- parsing ------------------------------------------------------------

namespace parsing {

const char* tlws(const char* s) {
    while (*s && is_ws(*s))
        ++s;
    return s;
}

std::string read_digits(const char* s) {
    const char* p = tlws(s);
    const char* start = p;
    while (*p >= '0' && *p <= '9')
        ++p;
    return std::string(start, p);
}

parse_outcome parse(const char* input) {
    const char* p = tlws(input);
    if (*p == '\0') throw parsing_error("Input was only whitespace");
    reader r;
    for (; *p; ++p)
        if (r.push(*p) == push_outcome::refused) break;
    parse_outcome out{jtype::js_invalid, std::string(), p};
    if (r.is_valid()) {
        out.value = r.readout();
        out.type = jtype::peek(out.value[0]);
    }
    return out;
}

std::vector<std::string> parse_array(const char* input) {
    const char* p = tlws(input);
    if (*p != '[') throw parsing_error("Input was not an array");
    p = tlws(p + 1);
    std::vector<std::string> out;
    if (*p == ']') return out;
    for (;;) {
        if (*p == '\0') throw parsing_error("Input was not properly formated");
        parse_outcome v = parse(tlws(p));
        if (v.type == jtype::js_invalid) throw parsing_error("Input was not properly formated");
        out.push_back(v.type == jtype::js_string ? decode_string(v.value.c_str()) : v.value);
        p = tlws(v.remainder);
        if (*p == ',')
            ++p;
        else if (*p == ']')
            return out;
    }
}

std::string decode_string(const char* literal) {
    if (*literal != '"') throw parsing_error("Expecting opening quote");
    std::string out;
    for (const char* p = literal + 1; *p && *p != '"'; ++p) {
        if (*p != '\\') {
            out += *p;
            continue;
        }
        ++p;
        switch (*p) {
        case '\\':
            out += '\\';
            break;
        case '"':
            out += '"';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'u':
            // the escape is dropped whole; stop short of the terminator
            for (int i = 0; i < 4 && p[1]; ++i)
                ++p;
            break;
        default:
            throw parsing_error("Expected control character");
        }
    }
    return out;
}

std::string encode_string(const char* text) {
    std::string out("\"");
    for (const char* p = text; *p; ++p) {
        switch (*p) {
        case '\b':
            out += "\\b";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\r':
            out += "\\r";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            out += *p;
        }
    }
    out += '"';
    return out;
}

} // namespace parsing

// ---- jobject ------------------------------------------------------------

std::string jobject::entry::as_string() const {
    const std::string& v = ref();
    if (!v.empty() && v[0] == '"') return parsing::decode_string(v.c_str());
    return v;
}

bool jobject::entry::is_string() const {
    return parsing::parse(ref().c_str()).type == jtype::js_string;
}

bool jobject::entry::is_number() const {
    return parsing::parse(ref().c_str()).type == jtype::js_number;
}

jobject::const_proxy::const_proxy(const jobject& source, const std::string& key)
    : source(source), key(key) {
    if (source.array_kind) throw std::logic_error("Source cannot be an array");
}

const std::string& jobject::const_proxy::ref() const {
    const std::string* v = source.find(key);
    if (v == nullptr) throw invalid_key(key);
    return *v;
}

void jobject::proxy::set_string(const std::string& text) {
    sink.set(key, parsing::encode_string(text));
}

void jobject::proxy::set_number(int value) {
    sink.set(key, parsing::get_number_string(value, INT_FORMAT));
}

void jobject::proxy::set_boolean(bool value) {
    sink.set(key, value ? "true" : "false");
}

void jobject::proxy::set_array(const std::vector<std::string>& items, bool quote) {
    std::string text("[");
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) text += ',';
        text += quote ? parsing::encode_string(items[i]) : items[i];
    }
    text += ']';
    sink.set(key, text);
}

const std::string* jobject::find(const std::string& key) const {
    if (array_kind) return nullptr;
    auto it = index.find(key);
    return it == index.end() ? nullptr : &members[it->second].second;
}

jobject jobject::parse(const char* text) {
    const char* p = parsing::tlws(text);
    if (*p != '{' && *p != '[') throw parsing_error("Input is not a valid object");
    jobject doc(*p == '[');
    const char close = doc.array_kind ? ']' : '}';
    p = parsing::tlws(p + 1);
    if (*p == '\0') throw parsing_error("Input is not a valid object");
    for (;;) {
        if (*p == close) return doc;
        std::string key;
        if (!doc.array_kind) {
            parsing::parse_outcome k = parsing::parse(p);
            if (k.type != jtype::js_string) throw parsing_error("Input is not a valid object");
            key = parsing::decode_string(k.value.c_str());
            p = parsing::tlws(k.remainder);
            if (*p != ':') throw parsing_error("Input is not a valid object");
            p = parsing::tlws(p + 1);
        }
        parsing::parse_outcome v = parsing::parse(p);
        if (v.type == jtype::js_invalid) throw parsing_error("Input is not a valid object");
        p = parsing::tlws(v.remainder);
        if (*p == ',')
            ++p;
        else if (*p != close)
            throw parsing_error("Input is not a valid object");
        doc += std::make_pair(std::move(key), std::move(v.value));
        if (*p == '\0') throw parsing_error("Input is not a valid object");
    }
}

jobject& jobject::operator+=(const std::pair<std::string, std::string>& member) {
    if (array_kind) {
        if (!member.first.empty()) throw parsing_error("Array cannot have key");
        members.push_back(member);
        return *this;
    }
    if (index.count(member.first)) throw parsing_error("Key conflict");
    if (member.first.empty()) throw parsing_error("Missing key");
    index.emplace(member.first, members.size());
    members.push_back(member);
    return *this;
}

void jobject::set(const std::string& key, const std::string& value_text) {
    if (array_kind) throw invalid_key(key);
    auto it = index.find(key);
    if (it != index.end()) {
        members[it->second].second = value_text;
        return;
    }
    index.emplace(key, members.size());
    members.emplace_back(key, value_text);
}

void jobject::remove(const std::string& key) {
    if (array_kind) return;
    auto it = index.find(key);
    if (it == index.end()) return;
    size_t at = it->second;
    index.erase(it);
    members.erase(members.begin() + static_cast<std::ptrdiff_t>(at));
    for (size_t i = at; i < members.size(); ++i)
        index[members[i].first] = i;
}

std::vector<std::string> jobject::list_keys() const {
    std::vector<std::string> keys;
    if (array_kind) return keys;
    keys.reserve(members.size());
    for (const auto& m : members)
        keys.push_back(m.first);
    return keys;
}

bool jobject::has_key(const std::string& key) const {
    return find(key) != nullptr;
}

jobject::const_value jobject::array(size_t n) const {
    return const_value(members.at(n).second);
}

jobject::proxy jobject::operator[](const std::string& key) {
    if (array_kind) throw invalid_key(key);
    return proxy(*this, key);
}

jobject::const_proxy jobject::operator[](const std::string& key) const {
    if (array_kind) throw invalid_key(key);
    return const_proxy(*this, key);
}

jobject::operator std::string() const {
    std::string out(1, array_kind ? '[' : '{');
    for (size_t i = 0; i < members.size(); ++i) {
        if (i) out += ',';
        if (!array_kind) {
            out += parsing::encode_string(members[i].first);
            out += ':';
        }
        out += members[i].second;
    }
    out += array_kind ? ']' : '}';
    return out;
}

static bool is_container(const std::string& v) {
    return !v.empty() && (v[0] == '{' || v[0] == '[');
}

std::string jobject::pretty(unsigned int indent) const {
    std::string out(indent, '\t');
    if (members.empty()) return out + (array_kind ? "[]" : "{}");
    out += array_kind ? "[\n" : "{\n";
    for (const auto& m : members) {
        if (array_kind && is_container(m.second)) {
            out += parse(m.second).pretty(indent + 1);
        } else if (array_kind) {
            out.append(indent + 1, '\t');
            out += m.second;
        } else {
            out.append(indent + 1, '\t');
            out += '"';
            out += m.first;
            out += "\": ";
            if (is_container(m.second)) {
                std::string nested = parse(m.second).pretty(indent + 1);
                out += parsing::tlws(nested.c_str());
            } else {
                out += m.second;
            }
        }
        out += ",\n";
    }
    out.erase(out.size() - 2, 1); // the last comma; its line feed stays
    out.append(indent, '\t');
    out += array_kind ? ']' : '}';
    return out;
}

} // namespace json
