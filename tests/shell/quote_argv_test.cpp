// Argument quoting checked against the system's own splitter: every quoted
// argument, put on a command line behind a program name, must come back
// from CommandLineToArgvW byte for byte (after the round trip through
// UTF-16). Generated arguments, seeded, so that every run tests the same.
#include <gtest/gtest.h>

#include "tovrin_test_support.h"

#include <shellapi.h>

#include "../../launch/tovrinHostLaunch.h"

#include <random>
#include <string>
#include <vector>

namespace {

const char k_program[] = "C:\\Apps\\Host\\runtime\\node\\node.exe";

// Whole UTF-8 code points, so that the conversions cannot change a byte.
const char *const k_pieces[] = {
    "\\",     "\\\\",   "\\\\\\", "\"",   "\"\"", " ",    "  ",   "\t",  "a",   "Z",
    "0",      "-",      ".",      ":",    "&",    "^",    "%",    "'",   "(",   "*",
    "?",      "=",      "\xc3\xa9",                 // U+00E9
    "\xc2\xa0",                                     // U+00A0, not a separator
    "\xe6\x97\xa5",                                 // U+65E5
    "\xd0\x96",                                     // U+0416
    "\xf0\x9f\x98\x80",                             // U+1F600, a surrogate pair in UTF-16
};

struct arg_gen {
    std::mt19937 rng{0x9e3779b9u};
    size_t below(size_t n) { return (size_t)(rng() % n); }

    std::string arg()
    {
        if (below(20) == 0) {
            return std::string(); // the empty argument
        }
        std::string s;
        size_t n = 1 + below(14);
        for (size_t i = 0; i < n; i++) {
            s += k_pieces[below(sizeof k_pieces / sizeof k_pieces[0])];
        }
        // Trailing backslash runs are the hard case; make them common.
        if (below(4) == 0) {
            s.append(1 + below(4), '\\');
        }
        return s;
    }

    // A file path: no quote, and not ending in a backslash.
    std::string path()
    {
        static const char *parts[] = {"C:", "\\", "Program Files", "T\xc3\xb6vrin", "a b",
                                      "\xe6\x97\xa5", "x\ty", "node.exe", "\\\\"};
        std::string s = "C:";
        size_t n = 1 + below(6);
        for (size_t i = 0; i < n; i++) {
            s += "\\";
            s += parts[below(sizeof parts / sizeof parts[0])];
        }
        s += "\\f.exe";
        return s;
    }
};

std::string quote_utf8(const std::string &arg)
{
    std::vector<char> out(arg.size() * 2 + 3);
    EXPECT_EQ(1, tovrin_win32_quote_arg(arg.c_str(), out.data(), out.size())) << arg;
    return std::string(out.data());
}

// Splits a UTF-8 command line with the system and converts back to UTF-8.
std::vector<std::string> split(const std::string &line)
{
    std::vector<std::string> out;
    std::wstring wide = tvt::widen(line);
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(wide.c_str(), &argc);
    if (!argv) {
        ADD_FAILURE() << "CommandLineToArgvW failed on " << line;
        return out;
    }
    for (int i = 0; i < argc; i++) {
        out.push_back(tvt::narrow(argv[i]));
    }
    LocalFree(argv);
    return out;
}

} // namespace

TEST(QuoteArgAgainstCommandLineToArgvW, OneArgumentPerLine)
{
    arg_gen g;
    const std::string program = quote_utf8(k_program);
    int failures = 0;
    for (int i = 0; i < 4000 && failures < 10; i++) {
        std::string arg = g.arg();
        std::vector<std::string> argv = split(program + " " + quote_utf8(arg));
        bool ok = argv.size() == 2 && argv[0] == k_program && argv[1] == arg;
        if (!ok) {
            failures++;
            ADD_FAILURE() << "argument [" << arg << "] quoted [" << quote_utf8(arg) << "] came back as "
                          << argv.size() << " arguments"
                          << (argv.size() == 2 ? " [" + argv[1] + "]" : std::string());
        }
    }
    EXPECT_EQ(0, failures);
}

TEST(QuoteArgAgainstCommandLineToArgvW, SeveralArgumentsPerLine)
{
    arg_gen g;
    int failures = 0;
    for (int i = 0; i < 1500 && failures < 10; i++) {
        std::vector<std::string> args(2 + g.below(5));
        std::string line = quote_utf8(k_program);
        for (std::string &a : args) {
            a = g.arg();
            line += " " + quote_utf8(a);
        }
        std::vector<std::string> argv = split(line);
        bool ok = argv.size() == args.size() + 1;
        for (size_t k = 0; ok && k < args.size(); k++) {
            ok = argv[k + 1] == args[k];
        }
        if (!ok) {
            failures++;
            ADD_FAILURE() << "line [" << line << "] split into " << argv.size() << " arguments";
        }
    }
    EXPECT_EQ(0, failures);
}

TEST(QuoteArgAgainstCommandLineToArgvW, SidecarCommandLine)
{
    // The composed sidecar command line splits into the node path, the
    // script path and "serve", whatever the two paths hold.
    arg_gen g;
    std::vector<char> out(32768);
    std::vector<std::pair<std::string, std::string>> cases = {
        {"C:\\Apps\\Host\\runtime\\node\\node.exe", "C:\\Apps\\Host\\runtime\\dist\\hostRuntimeCli.js"},
        {"C:\\Program Files\\Tovrin Host\\runtime\\node\\node.exe",
         "C:\\Program Files\\Tovrin Host\\runtime\\dist\\hostRuntimeCli.js"},
        {"C:\\Users\\J\xc3\xb6rg \xe6\x97\xa5\\node.exe", "D:\\x\\\\y\\s.js"},
    };
    for (int i = 0; i < 500; i++) {
        cases.push_back({g.path(), g.arg()});
    }
    for (const auto &c : cases) {
        ASSERT_EQ(1, tovrin_win32_node_serve_cmdline(c.first.c_str(), c.second.c_str(), out.data(),
                                                     out.size()));
        std::vector<std::string> argv = split(out.data());
        ASSERT_EQ(3u, argv.size()) << out.data();
        EXPECT_EQ(c.first, argv[0]);
        EXPECT_EQ(c.second, argv[1]);
        EXPECT_EQ("serve", argv[2]);
    }
}
