// JSON reader, string codec, document model and both text forms.
#include <gtest/gtest.h>

#include <functional>

#include "src/config.h"
#include "src/json/json.h"

using json::jobject;
namespace jt = json::jtype;
namespace parsing = json::parsing;

namespace {
std::string error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}
} // namespace

TEST(JsonParse, ValuesAndRemainders) {
    struct {
        const char* input;
        jt::jtype type;
        const char* value;
        const char* rest;
    } cases[] = {
        {"  12 ]", jt::js_number, "12", " ]"},
        {"{ \"a\" : [ 1 , 2 ] } x", jt::js_object, "{\"a\":[1,2]}", " x"},
        {"01", jt::js_number, "0", "1"},
        {"-", jt::js_invalid, "", ""},
        {"1.", jt::js_invalid, "", ""},
        {"-0.5e+10,", jt::js_number, "-0.5e+10", ","},
        {"\"a\\/b\"", jt::js_invalid, "", "/b\""},
        {"\"\\u00e9\"", jt::js_string, "\"\\u00e9\"", ""},
        {"tru", jt::js_invalid, "", ""},
        {"trues", jt::js_boolean, "true", "s"},
        {"false", jt::js_boolean, "false", ""},
        {"nulll", jt::js_null, "null", "l"},
        {"\"open", jt::js_invalid, "", ""},
        {"[ [ ], { } , \"x\" ]", jt::js_array, "[[],{},\"x\"]", ""},
        {"[1,]", jt::js_invalid, "", "]"},
        {"{\"a\" 1}", jt::js_invalid, "", "1}"},
        {"x", jt::js_invalid, "", "x"},
    };
    for (auto& c : cases) {
        parsing::parse_outcome o = parsing::parse(c.input);
        EXPECT_EQ(o.type, c.type) << c.input;
        EXPECT_EQ(o.value, c.value) << c.input;
        EXPECT_STREQ(o.remainder, c.rest) << c.input;
    }
    EXPECT_EQ(error_of([] { parsing::parse("   "); }), "Input was only whitespace");
    EXPECT_EQ(error_of([] { parsing::parse(""); }), "Input was only whitespace");
}

TEST(JsonParse, DeepNestingIsRefusedNotACrash) {
    std::string deep(1000000, '[');
    EXPECT_EQ(parsing::parse(deep.c_str()).type, jt::js_invalid);
    EXPECT_EQ(error_of([&] { jobject::parse(deep); }), "Input is not a valid object");
    std::string objects;
    for (int i = 0; i < 100000; ++i)
        objects += "{\"a\":";
    EXPECT_EQ(parsing::parse(objects.c_str()).type, jt::js_invalid);
    // nesting well inside the bound still parses
    std::string ok = std::string(200, '[') + std::string(200, ']');
    EXPECT_EQ(parsing::parse(ok.c_str()).value, ok);
}

TEST(JsonParse, Arrays) {
    using V = std::vector<std::string>;
    EXPECT_EQ(parsing::parse_array("[ \"a\" , 2 ]"), (V{"a", "2"}));
    EXPECT_EQ(parsing::parse_array("[1 2]"), (V{"1", "2"}));
    EXPECT_EQ(parsing::parse_array("[ ]"), V{});
    EXPECT_EQ(parsing::parse_array("[true,[3],{\"k\":1}]"), (V{"true", "[3]", "{\"k\":1}"}));
    EXPECT_EQ(error_of([] { parsing::parse_array("[1,]"); }), "Input was not properly formated");
    EXPECT_EQ(error_of([] { parsing::parse_array("[1"); }), "Input was not properly formated");
    EXPECT_EQ(error_of([] { parsing::parse_array("x"); }), "Input was not an array");
    EXPECT_EQ(error_of([] { parsing::parse_array(""); }), "Input was not an array");
}

TEST(JsonCodec, DecodeAndEncode) {
    EXPECT_EQ(parsing::decode_string("\"a\\u0041b\""), "ab");
    EXPECT_EQ(parsing::decode_string("\"a\\tb\\\\\\\"\" ignored"), "a\tb\\\"");
    EXPECT_EQ(parsing::decode_string("\"cut\\u00"), "cut");
    EXPECT_EQ(error_of([] { parsing::decode_string("x"); }), "Expecting opening quote");
    EXPECT_EQ(error_of([] { parsing::decode_string("\"\\q\""); }), "Expected control character");
    EXPECT_EQ(parsing::encode_string("\t\""), "\"\\t\\\"\"");
    EXPECT_EQ(parsing::encode_string("\x01/\xc3\xa9"), "\"\x01/\xc3\xa9\"");
    EXPECT_EQ(parsing::encode_string("\b\f\n\r\\"), "\"\\b\\f\\n\\r\\\\\"");
}

TEST(JsonObject, DocumentParseCases) {
    struct {
        const char* input;
        const char* error; // nullptr: parses
        const char* compact;
    } cases[] = {
        {"  { }  ", nullptr, "{}"},
        {"[]", nullptr, "[]"},
        {"{\"a\":1}garbage", nullptr, "{\"a\":1}"},
        {"{\"a\":1,}", nullptr, "{\"a\":1}"},
        {"[1,]", nullptr, "[1]"},
        {"{ \"a\" : [ 1 , 2 ] }", nullptr, "{\"a\":[1,2]}"},
        {"\"x\"", "Input is not a valid object", nullptr},
        {"", "Input is not a valid object", nullptr},
        {"{", "Input is not a valid object", nullptr},
        {"{\"a\":1,\"a\":2}", "Key conflict", nullptr},
        {"{\"\":1}", "Missing key", nullptr},
        {"{\"a\":1, }", "Input is not a valid object", nullptr},
        {"{\"a\":", "Input was only whitespace", nullptr},
        {"{\"a\":1, ", "Input was only whitespace", nullptr},
        {"[1 2]", "Input is not a valid object", nullptr},
        {"{1:2}", "Input is not a valid object", nullptr},
    };
    for (auto& c : cases) {
        if (c.error) {
            EXPECT_EQ(error_of([&] { jobject::parse(c.input); }), c.error) << c.input;
        } else {
            EXPECT_EQ(static_cast<std::string>(jobject::parse(c.input)), c.compact) << c.input;
        }
    }
}

TEST(JsonObject, EditingKeepsOrder) {
    jobject doc = jobject::parse("{\"a\":1,\"b\":2,\"c\":3}");
    doc.set("a", "10");
    doc.set("d", "4");
    doc.remove("b");
    doc.remove("zz");
    EXPECT_EQ(static_cast<std::string>(doc), "{\"a\":10,\"c\":3,\"d\":4}");
    EXPECT_EQ(doc.list_keys(), (std::vector<std::string>{"a", "c", "d"}));
    EXPECT_TRUE(doc.has_key("c"));
    EXPECT_FALSE(doc.has_key("b"));
    doc["c"].set_string("x\"y");
    EXPECT_EQ(doc["c"].as_string(), "x\"y");
    EXPECT_EQ(static_cast<int>(doc["d"]), 4);
    EXPECT_EQ(error_of([&] { doc["missing"].ref(); }), "missing");
    EXPECT_EQ(error_of([&] { doc += {"a", "1"}; }), "Key conflict");
}

TEST(JsonObject, ArraysRefuseKeys) {
    jobject arr = jobject::parse("[1,\"two\"]");
    EXPECT_FALSE(arr.has_key("x"));
    EXPECT_TRUE(arr.list_keys().empty());
    EXPECT_EQ(error_of([&] { arr["x"]; }), "x");
    EXPECT_EQ(error_of([&] { arr.set("k", "1"); }), "k");
    EXPECT_EQ(error_of([&] { arr += {"k", "1"}; }), "Array cannot have key");
    EXPECT_EQ(arr.array(1).as_string(), "two");
    EXPECT_THROW(arr.array(2), std::out_of_range);
    const jobject& carr = arr;
    EXPECT_EQ(error_of([&] { jobject::const_proxy p(carr, "k"); }), "Source cannot be an array");
}

TEST(JsonObject, ConversionsAndStores) {
    jobject doc = jobject::parse(
        "{\"i\":80.5,\"e\":1e3,\"s\":\"a\\tb\",\"n\":60,\"l\":[80],\"v\":[1,2.5,\"3\"]}");
    EXPECT_EQ(static_cast<int>(doc["i"]), 80);
    EXPECT_EQ(static_cast<int>(doc["e"]), 1);
    EXPECT_EQ(doc["s"].as_string(), "a\tb");
    EXPECT_EQ(doc["n"].as_string(), "60");
    EXPECT_EQ(doc["l"].as_string(), "[80]");
    EXPECT_EQ(static_cast<std::vector<int>>(doc["v"]), (std::vector<int>{1, 2, 3}));
    EXPECT_DOUBLE_EQ(static_cast<double>(doc["i"]), 80.5);
    EXPECT_TRUE(doc["s"].is_string());
    EXPECT_TRUE(doc["n"].is_number());
    EXPECT_FALSE(doc["l"].is_number());
    jobject out;
    out["b"].set_boolean(true);
    out["n"].set_number(-7);
    out["a"].set_array({"x", "y\""}, true);
    out["p"].set_number_array(std::vector<int>{80, 8080}, json::INT_FORMAT);
    out["e"].set_array({}, false);
    EXPECT_EQ(static_cast<std::string>(out),
              "{\"b\":true,\"n\":-7,\"a\":[\"x\",\"y\\\"\"],\"p\":[80,8080],\"e\":[]}");
}

TEST(JsonObject, PrettyText) {
    jobject doc = jobject::parse("{\"x\":[{\"a\":[1,2]},[],{},\"s\\n\"],\"e\":{}}");
    EXPECT_EQ(doc.pretty(0),
              "{\n\t\"x\": [\n\t\t{\n\t\t\t\"a\": [\n\t\t\t\t1,\n\t\t\t\t2\n\t\t\t]\n"
              "\t\t},\n\t\t[],\n\t\t{},\n\t\t\"s\\n\"\n\t],\n\t\"e\": {}\n}");
    EXPECT_EQ(jobject().pretty(2), "\t\t{}");
    jobject quoted;
    quoted.set("k\"q", "1");
    EXPECT_EQ(static_cast<std::string>(quoted), "{\"k\\\"q\":1}");
    EXPECT_EQ(quoted.pretty(0), "{\n\t\"k\"q\": 1\n}");
}

TEST(JsonObject, DefaultConfigurationPrintsExactly) {
    unsetenv("KAVROD_DIR");
    Config config;
    jobject doc;
    config.to_json(doc);
    EXPECT_EQ(doc.pretty(0),
              "{\n\t\"tcp_std\": [\n\t\t80\n\t],\n\t\"tcp_ssl\": [\n\t\t443\n\t],\n"
              "\t\"ssl_cert\": \"/etc/kavrod/cert.pem\",\n\t\"ssl_key\": \"/etc/kavrod/key.pem\",\n"
              "\t\"ssl_version\": \"AUTO\",\n\t\"conn_timeout\": 60,\n"
              "\t\"dns_resolver\": \"/etc/resolv.conf\",\n"
              "\t\"http_ok\": \"HTTP/1.1 101 Switching Protocols[crlf]Upgrade: websocket[crlf]"
              "Connection: Upgrade[crlf][crlf]\"\n}");
}

TEST(JsonObject, IndentedUsersFileWrittenBackCompactInOrder) {
    const char* text =
        "{\n  \"zed\" : { \"blocked\" : false , \"hash_key\" : \"ab\" ,\n"
        "  \"issued\" : \"20240131\", \"expired\" : 0 },\n"
        "  \"amy\" : "
        "{\"blocked\":true,\"hash_key\":\"cd\",\"issued\":\"20240105\",\"expired\":30}\n}\n";
    EXPECT_EQ(
        static_cast<std::string>(jobject::parse(text)),
        "{\"zed\":{\"blocked\":false,\"hash_key\":\"ab\",\"issued\":\"20240131\",\"expired\":0},"
        "\"amy\":{\"blocked\":true,\"hash_key\":\"cd\",\"issued\":\"20240105\",\"expired\":30}}");
}
