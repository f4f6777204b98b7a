// The UI address against a model of its rule: "http://127.0.0.1:PORT/" for
// ports 1 to 65535, with "?release=" and the first 12 hex digits of the id
// (or the whole id when it is 7 to 12 hex digits) when the id has such a
// tag; the result must fit the capacity whole (with its NUL), never cut.
#include "../launch/tovrinHostLaunch.cpp"

#include "fuzz_support.h"

#include <ctype.h>

static std::string model_url(int32_t port, const std::string &id, bool with_release)
{
    if (port < 1 || port > 65535) {
        return std::string();
    }
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    if (!with_release) {
        return url;
    }
    size_t hex = 0;
    while (hex < id.size() && isxdigit((unsigned char)id[hex])) {
        hex++;
    }
    if (hex >= 12) {
        return url + "?release=" + id.substr(0, 12);
    }
    if (hex >= 7 && hex == id.size()) {
        return url + "?release=" + id;
    }
    return url;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in(data, size);
    uint8_t how = in.byte();
    int32_t port;
    switch (how % 4) {
    case 0:
        port = (int32_t)in.u32();
        break;
    case 1:
        port = (int32_t)(in.u32() % 65546) - 5;
        break;
    default:
        port = 65530 + (int32_t)(in.byte() % 12) - 65530 * (int32_t)(in.byte() % 2);
        break;
    }
    size_t cap = in.byte() % 64;
    bool with_release = (how & 4) == 0;
    std::string id = in.rest();

    std::string url = model_url(port, id, with_release);
    int expected = !url.empty() && cap >= 8 && url.size() < cap;
    exact_buf out(cap);
    int ok = with_release ? tovrin_format_ui_url_with_release(port, id.c_str(), out.bytes, cap)
                          : tovrin_format_ui_url(port, out.bytes, cap);
    FUZZ_CHECK(ok == expected, "port %d cap %zu id [%s]: got %d, model %d ([%s])", (int)port, cap,
               fuzz_printable(id).c_str(), ok, expected, url.c_str());
    if (ok) {
        FUZZ_CHECK(out.text() == url, "got [%s], model [%s]", out.text().c_str(), url.c_str());
    }
    return 0;
}
