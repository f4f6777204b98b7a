// The install-relative tests (image of the shell or runtime, the helper
// script's cmd.exe, the stop candidate) in two ways:
//  - on arbitrary texts, against the model in path_model.h;
//  - on an install directory made of plain names, by respelling: the same
//    path with other letter case, forward slashes, quotes, an extended-length
//    prefix or trailing backslashes is still this installation's, while a
//    sibling directory, a longer file name or a script name that goes on is
//    not.
#include "../launch/tovrinHostLaunch.cpp"

#include "fuzz_support.h"
#include "path_model.h"

static const char *const k_suffixes[] = {"\\runtime\\node\\node.exe", "\\TovrinHost.exe"};

// The scanners take their suffix in lower case.
static std::string lowered(const char *suffix)
{
    std::string low = suffix;
    for (char &c : low) {
        c = model::lower(c);
    }
    return low;
}

// The same path as another program might spell it.
static std::string respell(const std::string &path, fuzz_input &in)
{
    std::string out;
    uint8_t how = in.byte();
    for (char c : path) {
        uint8_t r = in.byte();
        if (c == '\\' && (r & 3) == 1) {
            c = '/';
        } else if (((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) && (r & 4)) {
            c = (char)(c ^ 0x20);
        }
        if ((r & 0x70) == 0x70) {
            out.push_back((r & 8) ? '"' : '\'');
        }
        out.push_back(c);
    }
    if (how & 1) {
        out = ((how & 2) ? "\\\\?\\" : "//?/") + out;
    }
    out.append((how >> 2) % 3, (how & 0x20) ? '/' : '\\');
    return out;
}

static void check_model(const std::string &install, const std::string &image,
                        const std::string &cmdline)
{
    for (const char *suffix : k_suffixes) {
        std::string low = lowered(suffix);
        int got = tovrin_image_is(install.c_str(), image.c_str(), low.c_str());
        int expected = model::image_is(install, image, low);
        FUZZ_CHECK(got == expected, "image_is([%s], [%s], %s): got %d, model %d",
                   fuzz_printable(install).c_str(), fuzz_printable(image).c_str(), suffix, got,
                   expected);
        got = tovrin_basename_is(image.c_str(), low.c_str());
        expected = model::basename_is(image, low);
        FUZZ_CHECK(got == expected, "basename_is([%s], %s): got %d, model %d",
                   fuzz_printable(image).c_str(), suffix, got, expected);
    }
    int got = tovrin_is_install_trampoline(install.c_str(), image.c_str(), cmdline.c_str());
    int expected = model::helper_script(install, image, cmdline);
    FUZZ_CHECK(got == expected, "helper script: install [%s] image [%s] cmdline [%s]: got %d, model %d",
               fuzz_printable(install).c_str(), fuzz_printable(image).c_str(),
               fuzz_printable(cmdline).c_str(), got, expected);
    tovrin_process_record rec = {7, image.c_str(), cmdline.c_str()};
    model::process p = {7, true, image, true, cmdline};
    got = tovrin_is_stop_candidate(install.c_str(), &rec);
    expected = model::stop_candidate(install, p);
    FUZZ_CHECK(got == expected, "candidate: install [%s] image [%s] cmdline [%s]: got %d, model %d",
               fuzz_printable(install).c_str(), fuzz_printable(image).c_str(),
               fuzz_printable(cmdline).c_str(), got, expected);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in(data, size);
    uint8_t mode = in.byte();
    if (mode & 1) {
        std::string install = in.text();
        std::string image = in.text();
        std::string cmdline = in.rest();
        check_model(install, image, cmdline);
        return 0;
    }

    // An install directory of plain names: C:\name\name...
    std::string install = "C:";
    size_t names = 1 + in.byte() % 6;
    size_t repeat = in.byte() % 8 == 0 ? 100 + in.byte() * 2 : 1;
    for (size_t i = 0; i < names; i++) {
        std::string name = in.text();
        std::string plain;
        for (char c : name) {
            if (c != '\\' && c != '/' && c != '"' && c != '\'' && c != ' ') {
                plain.push_back(c);
            }
        }
        if (plain.empty()) {
            plain = "Host";
        }
        install += "\\";
        for (size_t k = 0; k < repeat && install.size() < 1400; k++) {
            install += plain;
        }
    }
    const char *suffix = k_suffixes[(mode >> 1) & 1];
    std::string image = respell(install + suffix, in);
    std::string low = lowered(suffix);
    // Whole only when the directory fits its 1023 bytes and the image its 1199.
    bool fits = install.size() <= 1023 && image.size() <= 1199;
    int got = tovrin_image_is(install.c_str(), image.c_str(), low.c_str());
    FUZZ_CHECK(got == (fits ? 1 : 0), "install [%s] image [%s] (fits %d): got %d",
               fuzz_printable(install).c_str(), fuzz_printable(image).c_str(), (int)fits, got);
    std::string sibling = install + "x" + suffix;
    FUZZ_CHECK(tovrin_image_is(install.c_str(), sibling.c_str(), low.c_str()) == 0,
               "a sibling's image [%s] passed", fuzz_printable(sibling).c_str());
    std::string longer = image + "x";
    FUZZ_CHECK(tovrin_image_is(install.c_str(), longer.c_str(), low.c_str()) == 0,
               "a longer name [%s] passed", fuzz_printable(longer).c_str());

    // The helper script behind cmd /c: counted where its name ends, never
    // when the name goes on.
    std::string script = respell(install + "\\tovrinhostsidecar.cmd", in);
    std::string cmd = "C:\\Windows\\System32\\cmd.exe";
    std::string quoted_line = cmd + " /d /c \"" + script + "\"";
    std::string plain_line = cmd + " /d /c " + script + ((mode & 4) ? " serve" : "");
    std::string going_on = cmd + " /d /c \"" + script + ((mode & 8) ? ".bak\"" : "x\"");
    // The command line is read as far as its first 1199 bytes.
    bool whole = install.size() <= 1023 && quoted_line.size() <= 1199 &&
                 plain_line.size() <= 1199;
    // A trailing backslash or quote written after the name is dropped, which
    // may make the name end early: only plain endings are judged here.
    bool plain_end = !script.empty() && script.back() != '\\' && script.back() != '/' &&
                     script.back() != '"' && script.back() != '\'';
    if (whole && plain_end) {
        FUZZ_CHECK(tovrin_is_install_trampoline(install.c_str(), cmd.c_str(), quoted_line.c_str()) == 1,
                   "quoted script not seen: [%s]", fuzz_printable(quoted_line).c_str());
        FUZZ_CHECK(tovrin_is_install_trampoline(install.c_str(), cmd.c_str(), plain_line.c_str()) == 1,
                   "plain script not seen: [%s]", fuzz_printable(plain_line).c_str());
        FUZZ_CHECK(tovrin_is_install_trampoline(install.c_str(), cmd.c_str(), going_on.c_str()) == 0,
                   "a longer script name counted: [%s]", fuzz_printable(going_on).c_str());
    }
    check_model(install, image, quoted_line);
    check_model(install, cmd, (mode & 16) ? plain_line : going_on);
    return 0;
}
