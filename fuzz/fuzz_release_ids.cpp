// Release comparison against a model of its rule: both ids are 7 to 40 hex
// digits, of equal length, and equal when the case of a-f is ignored. The
// second id is often made from the first (case flipped, shortened,
// lengthened, one byte changed) so that the interesting pairs come up.
#include "../launch/tovrinHostLaunch.cpp"

#include "fuzz_support.h"

#include <ctype.h>

static bool model_valid(const std::string &id)
{
    if (id.size() < 7 || id.size() > 40) {
        return false;
    }
    for (unsigned char c : id) {
        if (!isxdigit(c)) {
            return false;
        }
    }
    return true;
}

static int model_match(const std::string &a, const std::string &b)
{
    if (!model_valid(a) || !model_valid(b) || a.size() != b.size()) {
        return 0;
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) {
            return 0;
        }
    }
    return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in(data, size);
    uint8_t how = in.byte();
    uint32_t mask = in.u32();
    std::string a = in.text();
    std::string b;
    switch (how % 5) {
    case 0:
        b = in.rest();
        break;
    case 1: // the same id with the case of some letters flipped
        b = a;
        for (size_t i = 0; i < b.size(); i++) {
            if ((mask >> (i % 32)) & 1) {
                b[i] = isupper((unsigned char)b[i]) ? (char)tolower((unsigned char)b[i])
                                                    : (char)toupper((unsigned char)b[i]);
            }
        }
        break;
    case 2: // a prefix: an abbreviated id
        b = a.substr(0, mask % (a.size() + 1));
        break;
    case 3: // one byte changed
        b = a;
        if (!b.empty()) {
            b[mask % b.size()] = (char)(1 + (mask >> 8) % 255);
        }
        break;
    default: // the id made longer
        b = a + in.rest();
        break;
    }
    int ab = tovrin_release_ids_match(a.c_str(), b.c_str());
    int expected = model_match(a, b);
    FUZZ_CHECK(ab == expected, "[%s] vs [%s]: got %d, model %d", fuzz_printable(a).c_str(),
               fuzz_printable(b).c_str(), ab, expected);
    int ba = tovrin_release_ids_match(b.c_str(), a.c_str());
    FUZZ_CHECK(ba == expected, "[%s] vs [%s] (swapped): got %d, model %d",
               fuzz_printable(b).c_str(), fuzz_printable(a).c_str(), ba, expected);
    FUZZ_CHECK(tovrin_release_ids_match(NULL, a.c_str()) == 0 &&
                   tovrin_release_ids_match(a.c_str(), NULL) == 0,
               "an absent id matched");
    return 0;
}
