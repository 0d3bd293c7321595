// The typed record reader on any bytes.

#include "common/json_record.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vorn;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto reader = JsonRecordReader::parse(text);
    bool shallow = check_json_depth(text).ok();
    if (!reader) {
        fuzz::check_error_message(reader.error());
        return 0;
    }
    FUZZ_CHECK(shallow);
    for (const char* key : {"command", "requestPath", "status", "message", "config"}) {
        auto value = reader->optional(key);
        if (!value) fuzz::check_error_message(value.error());
        auto text_value = reader->required_string(key);
        if (!text_value) fuzz::check_error_message(text_value.error());
        else FUZZ_CHECK(is_valid_utf8(*text_value));
    }
    FUZZ_CHECK(parse_untrusted_json(text).is_discarded() ==
               (!shallow || !nlohmann::json::accept(text.begin(), text.end())));
    return 0;
}
