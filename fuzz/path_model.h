// A model of how the launch policy compares paths, written from its rules
// rather than from its code: first the whole text is split into the bytes
// that are kept and the quotes that are dropped between them, and only then
// is the capacity applied. The path targets, the classification and the
// stop plan targets all judge against it.
#ifndef TOVRIN_FUZZ_PATH_MODEL_H
#define TOVRIN_FUZZ_PATH_MODEL_H

#include <string>
#include <vector>

namespace model {

// Marks of what was dropped right before an output position.
const unsigned char k_none = 0;
const unsigned char k_dquote = 1; // a double quote
const unsigned char k_other = 2;  // an apostrophe, a trailing backslash, or cut text

struct norm_result {
    std::string out;
    bool cut = false;
    std::vector<unsigned char> marks; // one per byte of capacity
};

inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c; }

// The rules: only the first 1199 bytes are read; '/' is '\'; a leading
// \\?\ or \??\ goes (seen after the slash rule, before quotes go); quotes and
// apostrophes go; ASCII letters are lowered; trailing backslashes go; the
// output holds at most cap - 1 bytes. `cut` means that bytes which count
// (not quotes, not backslashes) never reached the output.
inline norm_result norm(const std::string &in, size_t cap)
{
    norm_result r;
    r.marks.assign(cap, k_none);
    std::string text = in.substr(0, 1199);
    bool long_input = in.size() > 1199;
    for (char &c : text) {
        if (c == '/') {
            c = '\\';
        }
    }
    if (text.compare(0, 4, "\\\\?\\") == 0 || text.compare(0, 4, "\\??\\") == 0) {
        text.erase(0, 4);
    }
    // Kept bytes, and before each of them (and at the end) the first quote
    // dropped there.
    std::string kept;
    std::vector<unsigned char> before(1, k_none);
    for (char c : text) {
        if (c == '"' || c == '\'') {
            if (before.back() == k_none) {
                before.back() = c == '"' ? k_dquote : k_other;
            }
        } else {
            kept.push_back(lower(c));
            before.push_back(k_none);
        }
    }
    if (cap == 0) {
        return r;
    }
    size_t room = cap - 1;
    size_t taken = kept.size() < room ? kept.size() : room;
    // The quotes before a kept byte are read on the way to it; the ones after
    // the last byte taken only when the capacity did not stop the reading.
    bool stopped_by_cap = taken == room;
    for (size_t i = 0; i < taken; i++) {
        r.marks[i] = before[i];
    }
    if (!stopped_by_cap) {
        r.marks[taken] = before[taken];
    }
    bool left_over = taken < kept.size() || (stopped_by_cap && before[taken] != k_none);
    bool cut = long_input;
    for (size_t i = taken; i < kept.size(); i++) {
        if (kept[i] != '\\') {
            cut = true;
        }
    }
    r.out = kept.substr(0, taken);
    while (!r.out.empty() && r.out.back() == '\\') {
        r.out.pop_back();
    }
    if (r.marks[r.out.size()] == k_none && (r.out.size() < taken || cut || left_over)) {
        r.marks[r.out.size()] = k_other;
    }
    r.cut = cut;
    return r;
}

inline bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The install directory with a suffix, as the image tests expect it; empty
// when the directory cannot be had whole or the result would not fit 1200.
inline std::string install_suffix(const std::string &install, const std::string &suffix)
{
    norm_result n = norm(install, 1024);
    if (n.cut || n.out.empty() || n.out.size() + suffix.size() + 1 > 1200) {
        return std::string();
    }
    return n.out + suffix;
}

inline bool image_is(const std::string &install, const std::string &image, const std::string &suffix)
{
    std::string expected = install_suffix(install, suffix);
    if (expected.empty()) {
        return false;
    }
    norm_result n = norm(image, 1200);
    return !n.cut && n.out == expected;
}

inline bool basename_is(const std::string &path, const std::string &suffix)
{
    return ends_with(norm(path, 1200).out, suffix);
}

// The helper script counts where its argument ends: at the end of the
// command line or before a blank, right after the name or after a double
// quote that was dropped there.
inline bool helper_script(const std::string &install, const std::string &image,
                          const std::string &cmdline)
{
    if (cmdline.empty() || !basename_is(image, "\\cmd.exe")) {
        return false;
    }
    std::string script = install_suffix(install, "\\tovrinhostsidecar.cmd");
    if (script.empty()) {
        return false;
    }
    norm_result n = norm(cmdline, 4096);
    for (size_t at = 0; at + script.size() <= n.out.size(); at++) {
        if (n.out.compare(at, script.size(), script) != 0) {
            continue;
        }
        size_t end = at + script.size();
        if ((n.marks[end] == k_dquote || n.marks[end] == k_none) &&
            (end == n.out.size() || n.out[end] == ' ')) {
            return true;
        }
    }
    return false;
}

struct process {
    uint32_t pid;
    bool has_image;
    std::string image;
    bool has_cmdline;
    std::string cmdline;
};

inline bool stop_candidate(const std::string &install, const process &p)
{
    if (p.has_image && !p.image.empty() &&
        (image_is(install, p.image, "\\tovrinhost.exe") ||
         image_is(install, p.image, "\\runtime\\node\\node.exe"))) {
        return true;
    }
    return p.has_cmdline && helper_script(install, p.has_image ? p.image : std::string(), p.cmdline);
}

} // namespace model

#endif
