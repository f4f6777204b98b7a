// The loopback test of the control file against a model of its rule: the
// "bindAddress" string value (the JSON scan's rule, at most 127 bytes) must
// be exactly 127.0.0.1, localhost or ::1; a file that states no usable value
// counts as loopback.
#include "../launch/tovrinHostLaunch.cpp"

#include "fuzz_support.h"
#include "json_model.h"

static int model_loopback(const std::string &text)
{
    std::string v;
    if (!model::json_string(text, "\"bindAddress\"", &v) || v.size() > 127) {
        return 1;
    }
    return v == "127.0.0.1" || v == "localhost" || v == "::1";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const heads[] = {"", "{\"bindAddress\":\"", "{\"bindAddress\": \"127.0.0.1",
                                        "{\"bindAddress\":\"localhost"};
    fuzz_input in(data, size);
    std::string text = std::string(heads[in.byte() % 4]) + in.rest();
    int got = tovrin_control_bind_is_loopback(text.c_str());
    int expected = model_loopback(text);
    FUZZ_CHECK(got == expected, "text [%s]: got %d, model %d", fuzz_printable(text).c_str(), got,
               expected);
    return 0;
}
