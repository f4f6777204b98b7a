// Argument quoting and the sidecar command line, checked by round trip: a
// splitter written from the documented CommandLineToArgvW rules must give
// every quoted argument back byte for byte, and the composed command line
// back as the node path, the script path and "serve". Capacities are
// checked against the length the rules predict: a result fits whole or the
// call fails.
#include "../launch/tovrinHostLaunch.cpp"

#include "fuzz_support.h"

// CommandLineToArgvW's rules. The program name (first word) is read plainly:
// up to the closing quote when it starts with one, else up to a blank. After
// it, 2n backslashes before a quote give n and the quote opens or closes a
// quoted part; 2n+1 give n and a literal quote; other backslashes are
// literal; a blank outside quotes ends an argument.
static std::vector<std::string> split(const std::string &line)
{
    std::vector<std::string> argv;
    size_t i = 0;
    std::string word;
    if (i < line.size() && line[i] == '"') {
        size_t end = line.find('"', 1);
        word = line.substr(1, (end == std::string::npos ? line.size() : end) - 1);
        i = end == std::string::npos ? line.size() : end + 1;
    } else {
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            word.push_back(line[i++]);
        }
    }
    argv.push_back(word);
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            i++;
        }
        if (i >= line.size()) {
            break;
        }
        std::string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            if (line[i] == '\\') {
                size_t n = 0;
                while (i < line.size() && line[i] == '\\') {
                    n++;
                    i++;
                }
                if (i < line.size() && line[i] == '"') {
                    arg.append(n / 2, '\\');
                    if (n % 2) {
                        arg.push_back('"');
                        i++;
                    }
                } else {
                    arg.append(n, '\\');
                }
            } else if (line[i] == '"') {
                quoted = !quoted;
                i++;
            } else {
                arg.push_back(line[i++]);
            }
        }
        argv.push_back(arg);
    }
    return argv;
}

// The quoted length the rules give: two quotes, every byte, one more
// backslash for each backslash before a quote or the closing quote, and one
// for each quote.
static size_t quoted_length(const std::string &arg)
{
    size_t len = 2;
    size_t run = 0;
    for (char c : arg) {
        len++;
        if (c == '\\') {
            run++;
            continue;
        }
        if (c == '"') {
            len += run + 1;
        }
        run = 0;
    }
    return len + run;
}

static std::string quote(const std::string &arg)
{
    exact_buf out(quoted_length(arg) + 1);
    FUZZ_CHECK(tovrin_win32_quote_arg(arg.c_str(), out.bytes, out.cap) == 1,
               "[%s] did not fit %zu bytes", fuzz_printable(arg).c_str(), out.cap);
    return out.text();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in(data, size);
    uint8_t how = in.byte();
    size_t slack = in.byte();
    std::string arg = in.text();
    std::string script = in.rest();

    // Round trip of one argument behind a program name.
    std::string q = quote(arg);
    FUZZ_CHECK(q.size() == quoted_length(arg), "[%s] quoted to %zu bytes, rules say %zu",
               fuzz_printable(arg).c_str(), q.size(), quoted_length(arg));
    std::vector<std::string> argv = split("prog " + q);
    FUZZ_CHECK(argv.size() == 2 && argv[1] == arg, "[%s] quoted [%s] split into %zu, [%s]",
               fuzz_printable(arg).c_str(), fuzz_printable(q).c_str(), argv.size(),
               argv.size() > 1 ? fuzz_printable(argv[1]).c_str() : "");

    // Capacity: the quoted text fits whole with its NUL, or the call fails.
    size_t cap = how & 1 ? q.size() + 1 - std::min(slack % 4, q.size() + 1) : slack % 16;
    exact_buf out(cap);
    int ok = tovrin_win32_quote_arg(arg.c_str(), out.bytes, cap);
    FUZZ_CHECK(ok == (cap >= 3 && cap > q.size()), "[%s] cap %zu: got %d for %zu bytes",
               fuzz_printable(arg).c_str(), cap, ok, q.size());
    if (ok) {
        FUZZ_CHECK(out.text() == q, "cap %zu changed the quoted text", cap);
    }

    // The sidecar command line: node path (a file path, so no quote and no
    // trailing backslash), script path, "serve".
    std::string node = arg;
    node.erase(std::remove(node.begin(), node.end(), '"'), node.end());
    while (!node.empty() && node.back() == '\\') {
        node.pop_back();
    }
    size_t qn = quoted_length(node);
    size_t qs = quoted_length(script);
    size_t whole = qn + 1 + qs + 6;
    bool composable = qn < 4096 && qs < 4096;
    size_t lcap = how & 2 ? whole + 1 - std::min((size_t)(how >> 2) % 3, whole + 1)
                          : (how & 4 ? 8192 : slack * 4);
    exact_buf line(lcap);
    int line_ok = tovrin_win32_node_serve_cmdline(node.c_str(), script.c_str(), line.bytes, lcap);
    FUZZ_CHECK(line_ok == (composable && whole < lcap),
               "node %zu script %zu bytes quoted, line %zu, cap %zu: got %d", qn, qs, whole, lcap,
               line_ok);
    if (line_ok) {
        std::vector<std::string> parts = split(line.text());
        FUZZ_CHECK(parts.size() == 3 && parts[0] == node && parts[1] == script &&
                       parts[2] == "serve",
                   "line [%s] split into %zu", fuzz_printable(line.text()).c_str(), parts.size());
    }
    return 0;
}
