// The control file's port against a model of its rule: behind the first
// "port" key and the next colon, JSON blanks, then what a decimal conversion
// reads (optional sign, at least one digit, up to the first non-digit). Only
// 1 to 65535 is a port; anything else, however many digits it has, gives 0.
#include "../launch/tovrinHostLaunch.cpp"

#include "fuzz_support.h"
#include "json_model.h"

static int model_port(const std::string &text)
{
    size_t p = model::json_value_start(text, "\"port\"");
    if (p == std::string::npos) {
        return 0;
    }
    bool negative = false;
    if (text[p] == '+' || text[p] == '-') {
        negative = text[p] == '-';
        p++;
    }
    size_t digits_end = text.find_first_not_of("0123456789", p);
    if (digits_end == std::string::npos) {
        digits_end = text.size();
    }
    std::string digits = text.substr(p, digits_end - p);
    if (digits.empty()) {
        return 0;
    }
    // Leading zeros carry no value; six significant digits are too many.
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
    if (digits.empty() || digits.size() > 5 || negative) {
        return 0;
    }
    long v = strtol(digits.c_str(), NULL, 10);
    return v >= 1 && v <= 65535 ? (int)v : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in(data, size);
    uint8_t how = in.byte();
    std::string text = in.rest();
    // Half of the inputs get a real key in front, so that the number rules
    // are reached often.
    if (how & 1) {
        text = "{\"port\":" + text;
    }
    int got = tovrin_parse_control_port(text.c_str());
    int expected = model_port(text);
    FUZZ_CHECK(got == expected, "text [%s]: got %d, model %d", fuzz_printable(text).c_str(), got,
               expected);
    return 0;
}
