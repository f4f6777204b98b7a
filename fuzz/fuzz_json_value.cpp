// The JSON string scan against a model of its rule: the first occurrence of
// the quoted key (anywhere, even inside a value), the first colon after it,
// JSON blanks (space, 9 to 13), a quote, and everything up to the next quote
// with no escapes decoded. Success needs the value to fit with its NUL; a
// failure leaves the output untouched.
#include "../launch/tovrinHostLaunch.cpp"

#include "fuzz_support.h"
#include "json_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const keys[] = {"\"gitSha\"", "\"bindAddress\"", "\"port\"", "\"token\""};
    fuzz_input in(data, size);
    uint8_t how = in.byte();
    size_t cap = in.byte() % 72;
    // Mostly the keys the shell asks for; sometimes a key from the input.
    std::string key = how < 200 ? std::string(keys[how % 4]) : in.text();
    std::string text = in.rest();

    std::string value;
    bool found = model::json_string(text, key, &value);
    int expected = cap >= 2 && found && value.size() < cap;

    exact_buf out(cap);
    int ok = tovrin_extract_json_string(text.c_str(), key.c_str(), out.bytes, cap);
    FUZZ_CHECK(ok == expected, "key [%s] cap %zu text [%s]: got %d, model %d (value [%s])",
               fuzz_printable(key).c_str(), cap, fuzz_printable(text).c_str(), ok, expected,
               fuzz_printable(value).c_str());
    if (ok) {
        FUZZ_CHECK(out.text() == value, "value [%s], model [%s]", fuzz_printable(out.text()).c_str(),
                   fuzz_printable(value).c_str());
        for (size_t i = value.size() + 1; i < cap; i++) {
            FUZZ_CHECK(out.heap[i] == '\x5a', "byte %zu after the value's NUL was written", i);
        }
    } else {
        FUZZ_CHECK(out.untouched(), "a failed scan wrote to the output (cap %zu)", cap);
    }
    return 0;
}
