// libFuzzer target for the JSON reader and document model: any input must end
// in a value, a parse error or a refusal, never a crash.
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I. \
//       tools/fuzz_json.cpp src/json/json.cpp -o /tmp/fuzz_json && /tmp/fuzz_json -max_total_time=60
#include <cstddef>
#include <cstdint>
#include <string>

#include "src/json/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    try {
        json::jobject doc = json::jobject::parse(text);
        std::string compact = doc;
        std::string pretty = doc.pretty(0);
        json::jobject again = json::jobject::parse(compact);
        if (static_cast<std::string>(again) != compact) __builtin_trap();
        for (const std::string& key : doc.list_keys()) {
            doc[key].as_string();
            doc[key].is_number();
        }
    } catch (const json::parsing_error&) {
    } catch (const json::invalid_key&) {
    }
    try {
        json::parsing::parse_array(text.c_str());
    } catch (const json::parsing_error&) {
    }
    return 0;
}
