// A model of how the launch policy finds a value in the control file,
// written from its rule rather than from its code: the first occurrence of
// the quoted key (anywhere, even inside a value), the first colon after it,
// then JSON blanks (space, 9 to 13). The JSON, port and loopback targets
// all judge against it.
#ifndef TOVRIN_FUZZ_JSON_MODEL_H
#define TOVRIN_FUZZ_JSON_MODEL_H

#include <string>

namespace model {

// Where the value behind `key` starts, or npos when there is none.
inline size_t json_value_start(const std::string &text, const std::string &key)
{
    size_t at = text.find(key);
    if (at == std::string::npos) {
        return std::string::npos;
    }
    size_t colon = text.find(':', at + key.size());
    if (colon == std::string::npos) {
        return std::string::npos;
    }
    return text.find_first_not_of(" \t\n\v\f\r", colon + 1);
}

// A string value: a quote, then everything up to the next quote with no
// escapes decoded. False when there is no such value.
inline bool json_string(const std::string &text, const std::string &key, std::string *value)
{
    size_t p = json_value_start(text, key);
    if (p == std::string::npos || text[p] != '"') {
        return false;
    }
    size_t end = text.find('"', p + 1);
    if (end == std::string::npos) {
        return false;
    }
    *value = text.substr(p + 1, end - p - 1);
    return true;
}

} // namespace model

#endif
