// The path normaliser against the model in path_model.h: output, the cut
// flag, and the marks of what was dropped before each output position, for
// any text and any capacity (0, tiny, around the 1199-byte reading limit).
#include "../launch/tovrinHostLaunch.cpp"

#include "fuzz_support.h"
#include "path_model.h"

static size_t pick_cap(fuzz_input &in)
{
    static const size_t fixed[] = {0, 1, 2, 3, 1023, 1024, 1199, 1200, 1201, 4096};
    uint8_t how = in.byte();
    uint8_t v = in.byte();
    switch (how % 3) {
    case 0:
        return fixed[v % (sizeof fixed / sizeof fixed[0])];
    case 1:
        return v % 48;
    default:
        return (size_t)v * 6;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in(data, size);
    size_t cap = pick_cap(in);
    std::string path = in.rest();

    exact_buf out(cap);
    std::vector<unsigned char> marks(cap == 0 ? 1 : cap, 0x77);
    int cut = -1;
    int ok = tovrin_norm_path_marked(path.c_str(), out.bytes, cap, &cut, marks.data());
    model::norm_result m = model::norm(path, cap);
    if (cap == 0) {
        FUZZ_CHECK(ok == 0 && out.untouched() && marks[0] == 0x77 && cut == 0,
                   "cap 0 must fail untouched: ok %d cut %d", ok, cut);
        return 0;
    }
    FUZZ_CHECK(ok == 1, "cap %zu failed", cap);
    std::string got = out.text();
    FUZZ_CHECK(got == m.out, "cap %zu in [%s]\n  got [%s]\n  model [%s]", cap,
               fuzz_printable(path).c_str(), fuzz_printable(got).c_str(),
               fuzz_printable(m.out).c_str());
    FUZZ_CHECK((cut != 0) == m.cut, "cap %zu in [%s]: cut %d, model %d", cap,
               fuzz_printable(path).c_str(), cut, (int)m.cut);
    for (size_t i = 0; i < cap; i++) {
        FUZZ_CHECK(marks[i] == m.marks[i], "cap %zu in [%s] out [%s]: mark at %zu is %d, model %d",
                   cap, fuzz_printable(path).c_str(), fuzz_printable(got).c_str(), i, marks[i],
                   m.marks[i]);
    }
    // The plain entry point gives the same text.
    exact_buf plain(cap);
    tovrin_norm_path(path.c_str(), plain.bytes, cap);
    FUZZ_CHECK(plain.text() == got, "tovrin_norm_path differs from the marked form");
    return 0;
}
