// The launch policy, with its file-local helpers reachable: the module is
// compiled into this test so that the normaliser, the image tests and the
// inner JSON search can be called without being exported.
#include "../../launch/tovrinHostLaunch.cpp"

#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

namespace {

const char k_install[] = "C:\\Apps\\Host";
const char k_node[] = "C:\\Apps\\Host\\runtime\\node\\node.exe";
const char k_shell[] = "C:\\Apps\\Host\\TovrinHost.exe";
const char k_cmd[] = "C:\\Windows\\System32\\cmd.exe";
const char k_script_cmdline[] =
    "C:\\Windows\\System32\\cmd.exe /d /c \"C:\\Apps\\Host\\tovrinhostsidecar.cmd\"";
const char k_foreign[] = "C:\\Tools\\other.exe";

// An output buffer of exactly `cap` bytes (so that the sanitizers see any
// write past it), pre-filled with a marker so that "left untouched" can be
// checked byte for byte.
struct out_buf {
    explicit out_buf(size_t cap) : bytes(cap == 0 ? 1 : cap, '\x5a'), cap(cap) {}
    char *data() { return bytes.data(); }
    bool untouched() const
    {
        for (char c : bytes) {
            if (c != '\x5a') {
                return false;
            }
        }
        return true;
    }
    std::string text() const { return std::string(bytes.data()); }
    std::vector<char> bytes;
    size_t cap;
};

std::string norm(const char *in, size_t cap = TOVRIN_NORM_CAP)
{
    std::vector<char> out(cap == 0 ? 1 : cap, '\x5a');
    tovrin_norm_path(in, out.data(), cap);
    return std::string(out.data(), strnlen(out.data(), out.size()));
}

// Result and value of the public extraction with a given capacity.
struct extracted {
    int ok;
    std::string value;
    bool untouched;
};

extracted extract(const std::string &text, const char *key, size_t cap = 80)
{
    out_buf out(cap);
    int ok = tovrin_extract_json_string(text.c_str(), key, out.data(), cap);
    extracted r;
    r.ok = ok;
    r.value = ok ? out.text() : std::string();
    r.untouched = out.untouched();
    return r;
}

} // namespace

// ---------------------------------------------------------------------------
// String extraction
// ---------------------------------------------------------------------------

TEST(JsonExtract, FindsTheValueRegardlessOfOrderAndNesting)
{
    const std::string cases[] = {
        "{\"gitSha\":\"abc123\"}",
        "{\"port\":1,\"gitSha\":\"abc123\",\"x\":[1,2]}",
        "{\"build\":{\"meta\":{\"gitSha\":\"abc123\"}}}",
        "[{\"gitSha\":\"abc123\"}]",
        "garbage before \"gitSha\":\"abc123\" garbage after",
    };
    for (const std::string &text : cases) {
        extracted r = extract(text, "\"gitSha\"");
        EXPECT_EQ(1, r.ok) << text;
        EXPECT_EQ("abc123", r.value) << text;
    }
}

TEST(JsonExtract, FirstOccurrenceOfTheQuotedKeyWinsEvenAsAValue)
{
    // The first "gitSha" is a string value; the colon searched for is the
    // one behind it, which belongs to the member "y".
    extracted r = extract("{\"x\":\"gitSha\",\"y\":\"other\",\"gitSha\":\"abc\"}", "\"gitSha\"");
    EXPECT_EQ(1, r.ok);
    EXPECT_EQ("other", r.value);

    // A value that is the key followed by the real member still gives the
    // real value, because the next colon is the real member's.
    r = extract("{\"x\":\"gitSha\",\"gitSha\":\"abc\"}", "\"gitSha\"");
    EXPECT_EQ("abc", r.value);

    // When the first occurrence is followed by a colon whose value is no
    // string, the search fails; later occurrences are not tried.
    r = extract("{\"note\":\"gitSha\",\"n\":5,\"gitSha\":\"abc\"}", "\"gitSha\"");
    EXPECT_EQ(0, r.ok);
    EXPECT_TRUE(r.untouched);
}

TEST(JsonExtract, WhateverStandsBetweenKeyAndColonIsPassedOver)
{
    EXPECT_EQ("v", extract("{\"gitSha\" junk : \"v\"}", "\"gitSha\"").value);
    EXPECT_EQ("v", extract("{\"gitSha\",\"b\":\"v\"}", "\"gitSha\"").value);
    EXPECT_EQ("v", extract("{\"gitSha\"\"w\"\"\":\"v\"}", "\"gitSha\"").value);
}

TEST(JsonExtract, KeyIsMatchedExactlyWithItsQuotes)
{
    // Letter case counts, the closing quote belongs to the key, and an
    // unquoted word is not the key.
    EXPECT_EQ(0, extract("{\"GitSha\":\"abc\"}", "\"gitSha\"").ok);
    EXPECT_EQ(0, extract("{\"gitShaX\":\"abc\"}", "\"gitSha\"").ok);
    EXPECT_EQ(0, extract("{gitSha:\"abc\"}", "\"gitSha\"").ok);
    EXPECT_EQ(1, extract("{\"xgitSha\":1,\"gitSha\":\"abc\"}", "\"gitSha\"").ok);
}

TEST(JsonExtract, FailsWithoutColonStringOrClosingQuote)
{
    const std::string failing[] = {
        "",
        "{}",
        "{\"gitSha\"}",          // no colon
        "{\"gitSha\":",          // end after the colon
        "{\"gitSha\":   \t\n",   // only white space after the colon
        "{\"gitSha\":123}",      // a number
        "{\"gitSha\":true}",
        "{\"gitSha\":null}",
        "{\"gitSha\":{\"a\":\"b\"}}", // an object: the quote is not the next byte
        "{\"gitSha\":[\"abc\"]}",
        "{\"gitSha\":'abc'}",
        "{\"gitSha\":\"abc",     // no closing quote
        "{\"gitSha\":\"",
    };
    for (const std::string &text : failing) {
        extracted r = extract(text, "\"gitSha\"");
        EXPECT_EQ(0, r.ok) << text;
        EXPECT_TRUE(r.untouched) << text;
    }
}

TEST(JsonExtract, WhiteSpaceIsExactlySpaceAndNineToThirteen)
{
    // Every possible byte between the colon and the opening quote.
    for (int b = 1; b < 256; b++) {
        if (b == '"') {
            continue; // would itself open the value
        }
        std::string text = "{\"k\":";
        text.push_back((char)b);
        text += "\"v\"}";
        bool space = b == 32 || (b >= 9 && b <= 13);
        extracted r = extract(text, "\"k\"");
        EXPECT_EQ(space ? 1 : 0, r.ok) << "byte " << b;
        if (space) {
            EXPECT_EQ("v", r.value) << "byte " << b;
        } else {
            EXPECT_TRUE(r.untouched) << "byte " << b;
        }
    }
    EXPECT_EQ("v", extract("{\"k\": \t\n\v\f\r \"v\"}", "\"k\"").value);
}

TEST(JsonExtract, EscapesAreNotInterpreted)
{
    // a, b, backslash, quote, c, d, quote: the value ends at the escaped quote.
    extracted r = extract("{\"k\":\"ab\\\"cd\"}", "\"k\"");
    EXPECT_EQ(1, r.ok);
    EXPECT_EQ("ab\\", r.value);

    EXPECT_EQ("a\\nb\\u0041\\\\", extract("{\"k\":\"a\\nb\\u0041\\\\\"}", "\"k\"").value);
    // Bytes of 128 and above are copied unchanged.
    EXPECT_EQ("gr\xc3\xbc\xc3\x9f", extract("{\"k\":\"gr\xc3\xbc\xc3\x9f\"}", "\"k\"").value);
    // The value runs to the next quote whatever lies in between.
    EXPECT_EQ("a}, {b: ", extract("{\"k\":\"a}, {b: \", \"z\"}", "\"k\"").value);
}

TEST(JsonExtract, EmptyValueSucceeds)
{
    extracted r = extract("{\"k\":\"\"}", "\"k\"", 2);
    EXPECT_EQ(1, r.ok);
    EXPECT_EQ("", r.value);
}

TEST(JsonExtract, CapacityBoundary)
{
    const std::string v79(79, 'a');
    const std::string v80(80, 'b');
    extracted r = extract("{\"gitSha\":\"" + v79 + "\"}", "\"gitSha\"", 80);
    EXPECT_EQ(1, r.ok);
    EXPECT_EQ(v79, r.value);

    r = extract("{\"gitSha\":\"" + v80 + "\"}", "\"gitSha\"", 80);
    EXPECT_EQ(0, r.ok);
    EXPECT_TRUE(r.untouched);

    // The same boundary at every small capacity.
    for (size_t cap = 2; cap < 20; cap++) {
        std::string fits(cap - 1, 'x');
        std::string too_long(cap, 'x');
        EXPECT_EQ(1, extract("{\"k\":\"" + fits + "\"}", "\"k\"", cap).ok) << cap;
        extracted bad = extract("{\"k\":\"" + too_long + "\"}", "\"k\"", cap);
        EXPECT_EQ(0, bad.ok) << cap;
        EXPECT_TRUE(bad.untouched) << cap;
    }
}

TEST(JsonExtract, CapacityBelowTwoAndAbsentArgumentsFail)
{
    for (size_t cap = 0; cap < 2; cap++) {
        extracted r = extract("{\"k\":\"\"}", "\"k\"", cap);
        EXPECT_EQ(0, r.ok) << cap;
        EXPECT_TRUE(r.untouched) << cap;
    }
    char out[16];
    memset(out, 0x5a, sizeof out);
    EXPECT_EQ(0, tovrin_extract_json_string(NULL, "\"k\"", out, sizeof out));
    EXPECT_EQ(0, tovrin_extract_json_string("{\"k\":\"v\"}", NULL, out, sizeof out));
    EXPECT_EQ(0, tovrin_extract_json_string("{\"k\":\"v\"}", "\"k\"", NULL, sizeof out));
    for (char c : out) {
        EXPECT_EQ('\x5a', c);
    }
}

TEST(JsonExtract, InnerSearchBehavesLikeThePublicOneOnValidArguments)
{
    // The inner search skips the argument checks only: with capacity 1 it
    // still extracts the empty value, which the public function refuses.
    char out[8];
    EXPECT_EQ(1, extract_json_string_after_key("{\"k\":\"\"}", "\"k\"", out, 1));
    EXPECT_EQ('\0', out[0]);
    EXPECT_EQ(0, extract_json_string_after_key("{\"k\":\"a\"}", "\"k\"", out, 1));
    EXPECT_EQ(1, extract_json_string_after_key("{\"k\":\"abc\"}", "\"k\"", out, sizeof out));
    EXPECT_STREQ("abc", out);
}

// ---------------------------------------------------------------------------
// Port
// ---------------------------------------------------------------------------

TEST(ControlPort, NumbersAsTheDecimalConversionReadsThem)
{
    struct row {
        const char *text;
        int port;
    };
    const row rows[] = {
        {"{\"port\": 8080}", 8080},
        {"{\"port\":1}", 1},
        {"{\"port\":65535}", 65535},
        {"{\"port\": 8080.5}", 8080},
        {"{\"port\": +443}", 443},
        {"{\"port\": 0}", 0},
        {"{\"port\": -0}", 0},
        {"{\"port\": -1}", 0},
        {"{\"port\": -8080}", 0},
        {"{\"port\": 65536}", 0},
        {"{\"port\": \"8080\"}", 0},
        {"{\"port\": 08080}", 8080},
        {"{\"port\": 0000000000000000000000080}", 80},
        {"{\"port\": 1e3}", 1},
        {"{\"port\": 0x50}", 0},
        {"{\"port\": 443abc}", 443},
        {"{\"port\": + 443}", 0},
        {"{\"port\": +-5}", 0},
        {"{\"port\": --5}", 0},
        {"{\"port\": true}", 0},
        {"{\"port\": null}", 0},
        {"{\"port\": }", 0},
        {"{\"port\":", 0},
        {"{\"port\" : 9000}", 9000},
        {"{\"port\" x , y : 9000}", 9000},
        {"{\"Port\": 8080}", 0},
        {"{port: 8080}", 0},
        {"{\"port\" 8080}", 0},
        {"", 0},
    };
    for (const row &r : rows) {
        EXPECT_EQ(r.port, tovrin_parse_control_port(r.text)) << r.text;
    }
    EXPECT_EQ(0, tovrin_parse_control_port(NULL));
}

TEST(ControlPort, DigitsBeyondIntRangeAreOutOfRange)
{
    const char *rows[] = {
        "{\"port\": 2147483647}",
        "{\"port\": 2147483648}",
        "{\"port\": 4294975376}", // 2^32 + 8080: must not wrap to 8080
        "{\"port\": 18446744073709559696}", // 2^64 + 8080
        "{\"port\": -2147483648}",
        "{\"port\": -2147483649}",
        "{\"port\": -4294967295}", // would wrap to 1
        "{\"port\": 99999999999999999999999999999999999999999999999999}",
    };
    for (const char *text : rows) {
        EXPECT_EQ(0, tovrin_parse_control_port(text)) << text;
    }
}

TEST(ControlPort, WhiteSpaceBeforeTheNumber)
{
    for (int b = 1; b < 256; b++) {
        std::string text = "{\"port\":";
        text.push_back((char)b);
        text += "8080}";
        bool space = b == 32 || (b >= 9 && b <= 13);
        bool digit_or_sign = (b >= '0' && b <= '9') || b == '+';
        if (digit_or_sign) {
            continue; // the byte becomes part of the number
        }
        EXPECT_EQ(space ? 8080 : 0, tovrin_parse_control_port(text.c_str())) << "byte " << b;
    }
    EXPECT_EQ(8080, tovrin_parse_control_port("{\"port\":\r\n\t \v\f8080}"));
}

TEST(ControlPort, OrderNestingAndFirstOccurrence)
{
    EXPECT_EQ(8080, tovrin_parse_control_port(
                        "{\"bindAddress\":\"127.0.0.1\",\"token\":\"t\",\"port\":8080}"));
    EXPECT_EQ(8080, tovrin_parse_control_port("{\"server\":{\"http\":{\"port\":8080}}}"));
    // The word port as an earlier string value: the colon behind it belongs
    // to "other", and its number is the result.
    EXPECT_EQ(1234, tovrin_parse_control_port("{\"name\":\"port\",\"other\":1234,\"port\":8080}"));
    // ... and when that number is out of range, no later member is tried.
    EXPECT_EQ(0, tovrin_parse_control_port("{\"name\":\"port\",\"other\":\"x\",\"port\":8080}"));
}

// ---------------------------------------------------------------------------
// Bind address
// ---------------------------------------------------------------------------

TEST(ControlBind, AcceptedLoopbackValues)
{
    EXPECT_EQ(1, tovrin_control_bind_is_loopback("{\"bindAddress\":\"127.0.0.1\"}"));
    EXPECT_EQ(1, tovrin_control_bind_is_loopback("{\"bindAddress\": \"localhost\"}"));
    EXPECT_EQ(1, tovrin_control_bind_is_loopback("{\"bindAddress\":\n\"::1\"}"));
}

TEST(ControlBind, AnyOtherStringIsNotLoopback)
{
    const char *values[] = {"0.0.0.0", "LOCALHOST", "Localhost", "[::1]",      "127.0.0.2",
                            "127.0.0.1 ", " 127.0.0.1", "",         "::",        "::ffff:127.0.0.1",
                            "127.1",   "localhost.", "127.0.0.1\\"};
    for (const char *v : values) {
        std::string text = std::string("{\"bindAddress\":\"") + v + "\",\"port\":8080}";
        EXPECT_EQ(0, tovrin_control_bind_is_loopback(text.c_str())) << v;
    }
    // An escaped quote ends the value: "127.0.0.1\" is not loopback.
    EXPECT_EQ(0, tovrin_control_bind_is_loopback("{\"bindAddress\":\"127.0.0.1\\\"x\"}"));
}

TEST(ControlBind, NoUsableValueCountsAsLoopback)
{
    const std::string texts[] = {
        "{\"port\":8080}",
        "",
        "{\"bindAddress\":null}",
        "{\"bindAddress\":0}",
        "{\"bindAddress\":{\"host\":\"0.0.0.0\"}}",
        "{\"bindAddress\"}",
        "{\"bindAddress\":\"0.0.0.0",
        "{\"bindAddress\":\"" + std::string(128, 'x') + "\"}",
        "{\"bindAddress\":\"" + std::string(500, '0') + "\"}",
    };
    for (const std::string &t : texts) {
        EXPECT_EQ(1, tovrin_control_bind_is_loopback(t.c_str())) << t;
    }
    // 127 bytes still fit the 128-byte buffer, so the value is compared.
    std::string fits = "{\"bindAddress\":\"" + std::string(127, 'x') + "\"}";
    EXPECT_EQ(0, tovrin_control_bind_is_loopback(fits.c_str()));
    EXPECT_EQ(0, tovrin_control_bind_is_loopback(NULL));
}

TEST(ControlBind, FirstOccurrenceRuleAndMemberOrder)
{
    const char *text = "{\"bindAddress\":\"127.0.0.1\",\"port\":8080}";
    EXPECT_EQ(1, tovrin_control_bind_is_loopback(text));
    EXPECT_EQ(8080, tovrin_parse_control_port(text));
    // The key first appears as a value; the value read is that of "y".
    EXPECT_EQ(1, tovrin_control_bind_is_loopback(
                     "{\"x\":\"bindAddress\",\"y\":\"127.0.0.1\",\"bindAddress\":\"0.0.0.0\"}"));
    EXPECT_EQ(0, tovrin_control_bind_is_loopback(
                     "{\"x\":\"bindAddress\",\"y\":\"0.0.0.0\",\"bindAddress\":\"127.0.0.1\"}"));
}

// ---------------------------------------------------------------------------
// Release ids
// ---------------------------------------------------------------------------

TEST(ReleaseIds, MatchingRules)
{
    const std::string full = "0123456789abcdef0123456789abcdef01234567";
    EXPECT_EQ(1, tovrin_release_ids_match(full.c_str(), full.c_str()));
    EXPECT_EQ(1, tovrin_release_ids_match("ABCDEF0", "abcdef0"));
    EXPECT_EQ(1, tovrin_release_ids_match("aBcDeF0123", "AbCdEf0123"));
    // No prefix matching, in either order.
    EXPECT_EQ(0, tovrin_release_ids_match(full.substr(0, 12).c_str(), full.c_str()));
    EXPECT_EQ(0, tovrin_release_ids_match(full.c_str(), full.substr(0, 39).c_str()));
    // A difference in the first or the last byte.
    EXPECT_EQ(0, tovrin_release_ids_match("1123456", "0123456"));
    EXPECT_EQ(0, tovrin_release_ids_match("0123456", "0123457"));
}

TEST(ReleaseIds, LengthAndAlphabet)
{
    struct row {
        std::string id;
        bool valid;
    };
    const row rows[] = {
        {"012345", false},
        {"0123456", true},
        {std::string(40, 'f'), true},
        {std::string(41, 'f'), false},
        {std::string(1000, 'a'), false},
        {"", false},
        {"012345g", false},
        {"ABCDEFG", false},
        {"0123 456", false},
        {"0123456 ", false},
        {"-0123456", false},
        {"0123456\n", false},
        {"01234\xc3\xa9", false},
    };
    for (const row &r : rows) {
        // An invalid id never matches, not even itself, on either side.
        EXPECT_EQ(r.valid ? 1 : 0, tovrin_release_ids_match(r.id.c_str(), r.id.c_str())) << r.id;
        if (!r.valid) {
            EXPECT_EQ(0, tovrin_release_ids_match(r.id.c_str(), "0123456")) << r.id;
            EXPECT_EQ(0, tovrin_release_ids_match("0123456", r.id.c_str())) << r.id;
        }
    }
    EXPECT_EQ(0, tovrin_release_ids_match(NULL, "0123456"));
    EXPECT_EQ(0, tovrin_release_ids_match("0123456", NULL));
    EXPECT_EQ(0, tovrin_release_ids_match(NULL, NULL));
}

// ---------------------------------------------------------------------------
// UI address
// ---------------------------------------------------------------------------

TEST(UiAddress, PlainAddressAndPortRange)
{
    char out[80];
    EXPECT_EQ(1, tovrin_format_ui_url(8080, out, sizeof out));
    EXPECT_STREQ("http://127.0.0.1:8080/", out);
    EXPECT_EQ(1, tovrin_format_ui_url(1, out, sizeof out));
    EXPECT_STREQ("http://127.0.0.1:1/", out);
    EXPECT_EQ(1, tovrin_format_ui_url(65535, out, sizeof out));
    EXPECT_STREQ("http://127.0.0.1:65535/", out);
    const int32_t bad_ports[] = {0, -1, 65536, INT32_MIN, INT32_MAX};
    for (int32_t port : bad_ports) {
        EXPECT_EQ(0, tovrin_format_ui_url(port, out, sizeof out)) << port;
        EXPECT_EQ(0, tovrin_format_ui_url_with_release(port, "0123456789ab", out, sizeof out))
            << port;
        EXPECT_EQ(0, tovrin_format_ui_url_with_release(port, NULL, out, sizeof out)) << port;
    }
    EXPECT_EQ(0, tovrin_format_ui_url(8080, NULL, 80));
    EXPECT_EQ(0, tovrin_format_ui_url_with_release(8080, NULL, NULL, 80));
}

TEST(UiAddress, CapacityBoundary)
{
    // http://127.0.0.1:1/ is 19 bytes: 20 fit, 19 do not.
    out_buf fits(20);
    EXPECT_EQ(1, tovrin_format_ui_url(1, fits.data(), fits.cap));
    EXPECT_EQ("http://127.0.0.1:1/", fits.text());
    out_buf small(19);
    EXPECT_EQ(0, tovrin_format_ui_url(1, small.data(), small.cap));
    out_buf fits_r(20);
    EXPECT_EQ(1, tovrin_format_ui_url_with_release(1, NULL, fits_r.data(), fits_r.cap));
    out_buf small_r(19);
    EXPECT_EQ(0, tovrin_format_ui_url_with_release(1, "", small_r.data(), small_r.cap));
    // Below 8 bytes nothing is even tried.
    for (size_t cap = 0; cap < 8; cap++) {
        out_buf tiny(cap);
        EXPECT_EQ(0, tovrin_format_ui_url(8080, tiny.data(), cap));
        EXPECT_EQ(0, tovrin_format_ui_url_with_release(8080, NULL, tiny.data(), cap));
    }
}

TEST(UiAddress, ReleaseTagTable)
{
    struct row {
        const char *release;
        const char *url;
    };
    const row rows[] = {
        {NULL, "http://127.0.0.1:8080/"},
        {"", "http://127.0.0.1:8080/"},
        {"0123456789abcdef0123456789abcdef01234567", "http://127.0.0.1:8080/?release=0123456789ab"},
        {"ABCDEF1", "http://127.0.0.1:8080/?release=ABCDEF1"},
        {"abcdef", "http://127.0.0.1:8080/"},
        {"abc-def01234", "http://127.0.0.1:8080/"},
        {"0123456789abXYZ", "http://127.0.0.1:8080/?release=0123456789ab"},
        {"0123456789ab", "http://127.0.0.1:8080/?release=0123456789ab"},
        {"0123456789a", "http://127.0.0.1:8080/?release=0123456789a"},
        {"0123456789a-", "http://127.0.0.1:8080/"},   // bad byte as the 12th
        {"0123456789ab-", "http://127.0.0.1:8080/?release=0123456789ab"}, // 13th
        {"g123456789ab", "http://127.0.0.1:8080/"},
        {"0123456 ", "http://127.0.0.1:8080/"},
        {"01234567\xc3\xa9", "http://127.0.0.1:8080/"},
        {"DeadBeef", "http://127.0.0.1:8080/?release=DeadBeef"},
    };
    for (const row &r : rows) {
        char out[80];
        EXPECT_EQ(1, tovrin_format_ui_url_with_release(8080, r.release, out, sizeof out))
            << (r.release ? r.release : "(absent)");
        EXPECT_STREQ(r.url, out) << (r.release ? r.release : "(absent)");
    }
}

TEST(UiAddress, TaggedAddressMustFitWhole)
{
    // http://127.0.0.1:8080/?release=0123456789ab is 43 bytes.
    out_buf fits(44);
    EXPECT_EQ(1, tovrin_format_ui_url_with_release(8080, "0123456789abcdef", fits.data(), fits.cap));
    EXPECT_EQ("http://127.0.0.1:8080/?release=0123456789ab", fits.text());
    // One byte less: no fallback to the plain address, which would fit.
    out_buf small(43);
    EXPECT_EQ(0, tovrin_format_ui_url_with_release(8080, "0123456789abcdef", small.data(), small.cap));
    out_buf plain_size(23);
    EXPECT_EQ(0, tovrin_format_ui_url_with_release(8080, "0123456", plain_size.data(), plain_size.cap));
    // The longest address: five-digit port and a twelve-digit tag, 44 bytes.
    out_buf longest(45);
    EXPECT_EQ(1, tovrin_format_ui_url_with_release(65535, "abcdefabcdef", longest.data(), longest.cap));
    EXPECT_EQ(44u, longest.text().size());
}

// ---------------------------------------------------------------------------
// Argument quoting and the sidecar command line
// ---------------------------------------------------------------------------

TEST(QuoteArg, Table)
{
    struct row {
        const char *arg;
        const char *quoted;
    };
    const row rows[] = {
        {"C:\\Apps\\Host\\runtime\\node\\node.exe", "\"C:\\Apps\\Host\\runtime\\node\\node.exe\""},
        {"", "\"\""},
        {"a b", "\"a b\""},
        {"a\"b", "\"a\\\"b\""},
        {"a\\\"b", "\"a\\\\\\\"b\""},
        {"C:\\dir\\", "\"C:\\dir\\\\\""},
        {"a\\\\b", "\"a\\\\b\""},
        {"a\\\\\"b", "\"a\\\\\\\\\\\"b\""},        // two backslashes and a quote: five and the quote
        {"\\\\", "\"\\\\\\\\\""},                    // only backslashes: doubled
        {"\"", "\"\\\"\""},
        {"\"\"", "\"\\\"\\\"\""},
        {"\ta\t", "\"\ta\t\""},
        {"%PATH% & ^ |", "\"%PATH% & ^ |\""},
        {"\xc3\xa9\xe6\x97\xa5\\", "\"\xc3\xa9\xe6\x97\xa5\\\\\""},
        {"\\\\server\\share", "\"\\\\server\\share\""}, // leading run not before a quote: kept
    };
    for (const row &r : rows) {
        size_t need = strlen(r.quoted) + 1;
        out_buf exact(need);
        EXPECT_EQ(1, tovrin_win32_quote_arg(r.arg, exact.data(), exact.cap)) << r.arg;
        EXPECT_EQ(r.quoted, exact.text()) << r.arg;
        // One byte less never fits.
        out_buf small(need - 1);
        EXPECT_EQ(0, tovrin_win32_quote_arg(r.arg, small.data(), small.cap)) << r.arg;
    }
}

TEST(QuoteArg, CapacityRules)
{
    out_buf six(6);
    EXPECT_EQ(1, tovrin_win32_quote_arg("abc", six.data(), six.cap));
    EXPECT_EQ("\"abc\"", six.text());
    out_buf five(5);
    EXPECT_EQ(0, tovrin_win32_quote_arg("abc", five.data(), five.cap));
    // The empty argument needs three bytes; below three nothing fits.
    out_buf three(3);
    EXPECT_EQ(1, tovrin_win32_quote_arg("", three.data(), three.cap));
    EXPECT_EQ("\"\"", three.text());
    for (size_t cap = 0; cap < 3; cap++) {
        out_buf tiny(cap);
        EXPECT_EQ(0, tovrin_win32_quote_arg("", tiny.data(), cap));
        EXPECT_TRUE(tiny.untouched());
    }
    char out[8];
    EXPECT_EQ(0, tovrin_win32_quote_arg(NULL, out, sizeof out));
    EXPECT_EQ(0, tovrin_win32_quote_arg("a", NULL, sizeof out));
    // Failing on the doubled trailing run: C:\d\ quotes to 8 bytes and needs 9.
    out_buf nine(9);
    EXPECT_EQ(1, tovrin_win32_quote_arg("C:\\d\\", nine.data(), nine.cap));
    out_buf eight(8);
    EXPECT_EQ(0, tovrin_win32_quote_arg("C:\\d\\", eight.data(), eight.cap));
}

TEST(NodeCommandLine, ComposedFromTwoQuotedPaths)
{
    char out[32768];
    EXPECT_EQ(1, tovrin_win32_node_serve_cmdline("C:\\Apps\\Host\\runtime\\node\\node.exe",
                                                  "C:\\Apps\\Host\\runtime\\dist\\hostRuntimeCli.js",
                                                  out, sizeof out));
    EXPECT_STREQ("\"C:\\Apps\\Host\\runtime\\node\\node.exe\" "
                 "\"C:\\Apps\\Host\\runtime\\dist\\hostRuntimeCli.js\" serve",
                 out);
    EXPECT_EQ(1, tovrin_win32_node_serve_cmdline("C:\\My Apps\\n.exe", "C:\\x\\", out, sizeof out));
    EXPECT_STREQ("\"C:\\My Apps\\n.exe\" \"C:\\x\\\\\" serve", out);
    EXPECT_EQ(1, tovrin_win32_node_serve_cmdline("", "", out, sizeof out));
    EXPECT_STREQ("\"\" \"\" serve", out);

    EXPECT_EQ(0, tovrin_win32_node_serve_cmdline(NULL, "b", out, sizeof out));
    EXPECT_EQ(0, tovrin_win32_node_serve_cmdline("a", NULL, out, sizeof out));
    EXPECT_EQ(0, tovrin_win32_node_serve_cmdline("a", "b", NULL, sizeof out));
}

TEST(NodeCommandLine, CapacityBoundaries)
{
    // "\"a\" \"b\" serve" is 13 bytes.
    out_buf fits(14);
    EXPECT_EQ(1, tovrin_win32_node_serve_cmdline("a", "b", fits.data(), fits.cap));
    out_buf small(13);
    EXPECT_EQ(0, tovrin_win32_node_serve_cmdline("a", "b", small.data(), small.cap));
    out_buf none(0);
    EXPECT_EQ(0, tovrin_win32_node_serve_cmdline("a", "b", none.data(), 0));

    // A quoted path may be at most 4095 bytes: a plain path of 4093 bytes
    // quotes to 4095, one of 4094 to 4096.
    std::vector<char> big(32768);
    const std::string p4093(4093, 'p');
    const std::string p4094(4094, 'p');
    EXPECT_EQ(1, tovrin_win32_node_serve_cmdline(p4093.c_str(), "s", big.data(), big.size()));
    EXPECT_EQ(4095u + 10u, strlen(big.data()));
    EXPECT_EQ(0, tovrin_win32_node_serve_cmdline(p4094.c_str(), "s", big.data(), big.size()));
    EXPECT_EQ(1, tovrin_win32_node_serve_cmdline("n", p4093.c_str(), big.data(), big.size()));
    EXPECT_EQ(0, tovrin_win32_node_serve_cmdline("n", p4094.c_str(), big.data(), big.size()));
    // The limit applies to the quoted form: 2046 quotes become 4092 bytes plus
    // the two outer quotes (4094), 2047 become 4096.
    const std::string q2046(2046, '"');
    const std::string q2047(2047, '"');
    EXPECT_EQ(1, tovrin_win32_node_serve_cmdline(q2046.c_str(), "s", big.data(), big.size()));
    EXPECT_EQ(0, tovrin_win32_node_serve_cmdline(q2047.c_str(), "s", big.data(), big.size()));
}

TEST(CmdUnsafePath, OnlyAbsenceEmptinessAndTheSpaceCount)
{
    EXPECT_EQ(1, tovrin_cmd_c_quoted_path_is_unsafe(NULL));
    EXPECT_EQ(1, tovrin_cmd_c_quoted_path_is_unsafe(""));
    EXPECT_EQ(1, tovrin_cmd_c_quoted_path_is_unsafe("C:\\Program Files\\x"));
    EXPECT_EQ(1, tovrin_cmd_c_quoted_path_is_unsafe(" "));
    EXPECT_EQ(1, tovrin_cmd_c_quoted_path_is_unsafe("C:\\x "));
    const char *safe[] = {"C:\\Apps\\Host", "C:\\a\tb", "C:\\a\"b", "C:\\a&b", "C:\\a^b",
                          "C:\\a%b%",     ("C:\\a\xc2\xa0" "b"), "C:\\a\nb"};
    for (const char *p : safe) {
        EXPECT_EQ(0, tovrin_cmd_c_quoted_path_is_unsafe(p)) << p;
    }
}

// ---------------------------------------------------------------------------
// Path normaliser
// ---------------------------------------------------------------------------

TEST(NormPath, Table)
{
    struct row {
        const char *in;
        const char *out;
    };
    const row rows[] = {
        {"C:\\Apps\\Host\\", "c:\\apps\\host"},
        {"\\\\?\\c:/apps/HOST/runtime/node/node.exe", "c:\\apps\\host\\runtime\\node\\node.exe"},
        {"\\??\\C:\\X", "c:\\x"},
        {"//?/C:/X", "c:\\x"},
        {"/?" "?/C:/X", "c:\\x"}, // split: no trigraph
        {"\\\\?\\\\\\?\\C:\\X", "\\\\?\\c:\\x"},      // the prefix goes once only
        {"\\\\.\\C:\\X", "\\\\.\\c:\\x"},            // the device prefix is not removed
        {"\\\\Server\\Share\\Dir", "\\\\server\\share\\dir"},
        {"\\\\?\\UNC\\Server\\Share", "unc\\server\\share"},
        {"\"C:\\Apps\\Host\"", "c:\\apps\\host"},
        {"C:\\Ap'ps\\Ho\"st", "c:\\apps\\host"},
        {"\"\\\\?\\C:\\X\"", "\\\\?\\c:\\x"},          // a leading quote protects the prefix
        {"'\\\\?\\C:\\X'", "\\\\?\\c:\\x"},
        {"C:\\X\\\\\\", "c:\\x"},
        {"C:\\X\\\"\\", "c:\\x"},                      // quotes go before the trailing run is cut
        {"\\\\\\", ""},
        {"///", ""},
        {"", ""},
        {"\\\\?\\", ""},
        {"C:\\\xc3\x84PFEL\\\xc3\xa9", "c:\\\xc3\x84pfel\\\xc3\xa9"}, // only ASCII is lowered
        {"ABCXYZ[@`{]", "abcxyz[@`{]"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(r.out, norm(r.in)) << r.in;
    }
    EXPECT_EQ("", norm(NULL));
}

TEST(NormPath, CapacityAndTheCutAt1199Bytes)
{
    // The output capacity: at most cap - 1 bytes; dropped quotes do not count,
    // and a run of backslashes left at the cut is removed.
    EXPECT_EQ("abcd", norm("ABCDEFG", 5));
    EXPECT_EQ("ab", norm("\"a\"b\"c", 3));
    EXPECT_EQ("ab", norm("ab\\cd", 4));
    EXPECT_EQ("", norm("ABC", 1));
    std::vector<char> none(4, '\x5a');
    tovrin_norm_path("abc", none.data(), 0);
    EXPECT_EQ('\x5a', none[0]);

    // Input beyond the 1199th byte is dropped whatever the capacity.
    std::string long_in(1300, 'A');
    EXPECT_EQ(std::string(1199, 'a'), norm(long_in.c_str(), 4096));
    // The cut comes before the prefix test: the prefix takes 4 of the 1199.
    std::string prefixed = "\\\\?\\" + std::string(1300, 'b');
    EXPECT_EQ(std::string(1195, 'b'), norm(prefixed.c_str(), 4096));
    // A trailing run created by the cut is removed.
    std::string cut_run = std::string(1197, 'c') + "\\\\d";
    EXPECT_EQ(std::string(1197, 'c'), norm(cut_run.c_str(), 4096));
    // Exactly 1199 bytes survive whole.
    std::string exact = std::string(1198, 'e') + "F";
    EXPECT_EQ(std::string(1198, 'e') + "f", norm(exact.c_str(), 4096));
    // Quotes within the first 1199 bytes are dropped after the cut, so the
    // output is shorter, not filled up from beyond the cut.
    std::string quoted = std::string(10, '"') + std::string(1300, 'g');
    EXPECT_EQ(std::string(1189, 'g'), norm(quoted.c_str(), 4096));
}

TEST(NormPath, SuffixTest)
{
    EXPECT_EQ(1, tovrin_basename_is("C:/X/TovrinHost.EXE", k_shell_suffix));
    EXPECT_EQ(1, tovrin_basename_is("\"D:\\Node\\node.exe\"", k_any_node_suffix));
    EXPECT_EQ(1, tovrin_basename_is("D:\\node\\node.exe\\\\", k_any_node_suffix));
    EXPECT_EQ(1, tovrin_basename_is("\\node.exe", k_any_node_suffix));
    EXPECT_EQ(0, tovrin_basename_is("node.exe", k_any_node_suffix)); // no directory
    EXPECT_EQ(0, tovrin_basename_is("D:\\xnode.exe", k_any_node_suffix));
    EXPECT_EQ(0, tovrin_basename_is("D:\\node.exe.bak", k_any_node_suffix));
    EXPECT_EQ(0, tovrin_basename_is(NULL, k_any_node_suffix));
    EXPECT_EQ(0, tovrin_basename_is("", k_cmd_suffix));
}

TEST(NormPath, InstallSuffix)
{
    char out[TOVRIN_NORM_CAP];
    EXPECT_EQ(1, tovrin_install_suffix("C:\\Apps\\Host\\", k_node_suffix, out, sizeof out));
    EXPECT_STREQ("c:\\apps\\host\\runtime\\node\\node.exe", out);
    EXPECT_EQ(1, tovrin_install_suffix("//?/C:/Apps/Host", k_shell_suffix, out, sizeof out));
    EXPECT_STREQ("c:\\apps\\host\\tovrinhost.exe", out);
    EXPECT_EQ(0, tovrin_install_suffix("", k_shell_suffix, out, sizeof out));
    EXPECT_EQ(0, tovrin_install_suffix(NULL, k_shell_suffix, out, sizeof out));
    EXPECT_EQ(0, tovrin_install_suffix("\\\\\\", k_shell_suffix, out, sizeof out));
    EXPECT_EQ(0, tovrin_install_suffix("\"\"", k_shell_suffix, out, sizeof out));

    // The install directory is normalised into 1024 bytes: one of 1023
    // bytes fits, a longer one is no directory at all (cut, it would name
    // its shorter sibling), trailing backslashes and quotes aside.
    std::string dir1023 = "C:\\" + std::string(1020, 'D');
    EXPECT_EQ(1, tovrin_install_suffix(dir1023.c_str(), k_shell_suffix, out, sizeof out));
    EXPECT_EQ(norm(dir1023.c_str()) + k_shell_suffix, std::string(out));
    EXPECT_EQ(1, tovrin_install_suffix((dir1023 + "\\\\\"\"").c_str(), k_shell_suffix, out,
                                       sizeof out));
    EXPECT_EQ(0, tovrin_install_suffix((dir1023 + "D").c_str(), k_shell_suffix, out, sizeof out));
    EXPECT_EQ(0, tovrin_install_suffix((dir1023 + "\\x").c_str(), k_shell_suffix, out, sizeof out));
    // So the sibling whose name is one byte shorter is not this installation.
    std::string sibling_image = dir1023 + "\\runtime\\node\\node.exe";
    EXPECT_EQ(1, tovrin_image_is(dir1023.c_str(), sibling_image.c_str(), k_node_suffix));
    EXPECT_EQ(0, tovrin_image_is((dir1023 + "E").c_str(), sibling_image.c_str(), k_node_suffix));
    tovrin_process_record sibling_rec = {5, sibling_image.c_str(), NULL};
    EXPECT_EQ(0, tovrin_is_stop_candidate((dir1023 + "E").c_str(), &sibling_rec));

    // Directory, suffix and NUL must fit in 1200 bytes.
    std::string dir1000(1000, 'a');
    std::string suffix199 = "\\" + std::string(198, 's');
    std::string suffix200 = "\\" + std::string(199, 's');
    EXPECT_EQ(1, tovrin_install_suffix(dir1000.c_str(), suffix199.c_str(), out, sizeof out));
    EXPECT_EQ(1199u, strlen(out));
    EXPECT_EQ(0, tovrin_install_suffix(dir1000.c_str(), suffix200.c_str(), out, sizeof out));
}

// ---------------------------------------------------------------------------
// Image, helper-script and stop-candidate tests
// ---------------------------------------------------------------------------

TEST(InstallImages, ImageTest)
{
    EXPECT_EQ(1, tovrin_image_is("C:\\Apps\\Host\\", "\\\\?\\c:/apps/HOST/runtime/node/node.exe",
                                 k_node_suffix));
    EXPECT_EQ(1, tovrin_image_is("\"C:\\Apps\\Host\"", "C:\\Apps\\Host\\TovrinHost.exe",
                                 k_shell_suffix));
    EXPECT_EQ(1, tovrin_image_is("C:\\Ap'ps\\Host", "C:\\Apps\\Ho\"st\\TovrinHost.exe",
                                 k_shell_suffix));
    EXPECT_EQ(0, tovrin_image_is(k_install, "C:\\Apps\\Host2\\TovrinHost.exe", k_shell_suffix));
    EXPECT_EQ(0, tovrin_image_is("C:\\Apps\\Host2", "C:\\Apps\\Host\\TovrinHost.exe", k_shell_suffix));
    EXPECT_EQ(0, tovrin_image_is(k_install, "C:\\Apps\\Host\\TovrinHost.exe.old", k_shell_suffix));
    EXPECT_EQ(0, tovrin_image_is(k_install, "D:\\C:\\Apps\\Host\\TovrinHost.exe", k_shell_suffix));
    // No path resolution: a ".." component is a different text.
    EXPECT_EQ(0, tovrin_image_is(k_install, "C:\\Apps\\Host\\x\\..\\TovrinHost.exe", k_shell_suffix));
    EXPECT_EQ(0, tovrin_image_is(k_install, "C:\\Apps\\Host\\node.exe", k_node_suffix));
    EXPECT_EQ(0, tovrin_image_is(k_install, NULL, k_shell_suffix));
    // An image whose name goes on beyond the 1199 bytes looked at is not
    // this one, even when all the bytes in between are dropped quotes.
    std::string padded = std::string(k_node) + std::string(1199, '"') + "x";
    EXPECT_EQ(0, tovrin_image_is(k_install, padded.c_str(), k_node_suffix));
    EXPECT_EQ(0, tovrin_image_is("", "\\tovrinhost.exe", k_shell_suffix));
    EXPECT_EQ(0, tovrin_image_is(NULL, "\\tovrinhost.exe", k_shell_suffix));
}

TEST(InstallImages, HelperScriptTest)
{
    EXPECT_EQ(1, tovrin_is_install_trampoline(k_install, k_cmd, k_script_cmdline));
    // Any cmd.exe, any spelling of the script path.
    EXPECT_EQ(1, tovrin_is_install_trampoline(k_install, "D:\\Tools\\CMD.EXE",
                                              "cmd /c C:/APPS/host/TovrinHostSidecar.cmd"));
    EXPECT_EQ(1, tovrin_is_install_trampoline("C:\\Apps\\Host\\", "\\\\?\\C:\\Windows\\cmd.exe",
                                              "cmd /c \"\\\\?\\C:\\Apps\\Host\\tovrinhostsidecar.cmd\" x"));

    EXPECT_EQ(0, tovrin_is_install_trampoline(k_install, "C:\\Windows\\powershell.exe",
                                              k_script_cmdline));
    EXPECT_EQ(0, tovrin_is_install_trampoline(k_install, "cmd.exe", k_script_cmdline));
    EXPECT_EQ(0, tovrin_is_install_trampoline(k_install, "C:\\xcmd.exe", k_script_cmdline));
    EXPECT_EQ(0, tovrin_is_install_trampoline(k_install, NULL, k_script_cmdline));
    EXPECT_EQ(0, tovrin_is_install_trampoline(k_install, k_cmd, NULL));
    EXPECT_EQ(0, tovrin_is_install_trampoline(k_install, k_cmd, ""));
    EXPECT_EQ(0, tovrin_is_install_trampoline(k_install, k_cmd,
                                              "cmd /c C:\\Apps\\Host2\\tovrinhostsidecar.cmd"));
    EXPECT_EQ(0, tovrin_is_install_trampoline(k_install, k_cmd,
                                              "cmd /c C:\\Apps\\Host\\other.cmd"));
    EXPECT_EQ(0, tovrin_is_install_trampoline("", k_cmd, k_script_cmdline));
}

TEST(InstallImages, HelperScriptCountsOnlyWhereItsNameEnds)
{
    // The script path counts anywhere in the command line, but only where
    // its argument ends: at the end of the text or before a blank, right
    // after the name or after the double quote that closed it. Every other
    // occurrence is another file's name.
    struct row {
        const char *command_line;
        int candidate;
    };
    const row rows[] = {
        {"cmd /c C:\\Apps\\Host\\tovrinhostsidecar.cmd", 1},
        {"cmd /c C:\\Apps\\Host\\tovrinhostsidecar.cmd arg", 1},
        {"cmd /c \"C:\\Apps\\Host\\tovrinhostsidecar.cmd\"", 1},
        {"cmd /d /c \"\"C:\\Apps\\Host\\tovrinhostsidecar.cmd\" x\"", 1},
        // A closing quote ends the name only where the argument ends too.
        {"cmd /c \"C:\\Apps\\Host\\tovrinhostsidecar.cmd\"&echo", 0},
        {"cmd /c \"C:\\Apps\\Host\\tovrinhostsidecar.cmd\".bak", 0},
        // a later occurrence that ends counts after one that does not
        {"cmd /c type C:\\Apps\\Host\\tovrinhostsidecar.cmd.bak & "
         "C:\\Apps\\Host\\tovrinhostsidecar.cmd", 1},
        {"cmd /c C:\\Apps\\Host\\tovrinhostsidecar.cmd.bak", 0},
        {"cmd /c \"C:\\Apps\\Host\\tovrinhostsidecar.cmd.bak\"", 0},
        {"cmd /c C:\\Apps\\Host\\tovrinhostsidecar.cmdx arg", 0},
        {"cmd /c C:\\Apps\\Host\\tovrinhostsidecar.cmd\tx", 0},
        {"cmd /c C:\\Apps\\Host\\tovrinhostsidecar.cmd' x", 0}, // an apostrophe is part of a name
        {"cmd /c C:\\Apps\\Host\\tovrinhostsidecar.cmd\\", 0},  // a directory, not the file
        {"cmd /c C:\\Apps\\Host\\tovrinhostsidecar.cmd'\"", 0},
        // a relative or sibling spelling never matches an absolute install
        {"cmd /c C:\\Apps\\OtherHost\\tovrinhostsidecar.cmd", 0},
    };
    for (const row &r : rows) {
        EXPECT_EQ(r.candidate, tovrin_is_install_trampoline(k_install, k_cmd, r.command_line))
            << r.command_line;
    }
}

TEST(InstallImages, HelperScriptOnlyWithinTheFirst1199Bytes)
{
    const std::string script = "C:\\Apps\\Host\\tovrinhostsidecar.cmd"; // 34 bytes
    // The script path ends exactly at byte 1199: still seen.
    std::string at_edge = "cmd /c " + std::string(1199 - 7 - script.size(), 'x') + script;
    ASSERT_EQ(1199u, at_edge.size());
    EXPECT_EQ(1, tovrin_is_install_trampoline(k_install, k_cmd, at_edge.c_str()));
    // One byte further: its last byte is cut off.
    std::string beyond = "cmd /c " + std::string(1200 - 7 - script.size(), 'x') + script;
    EXPECT_EQ(0, tovrin_is_install_trampoline(k_install, k_cmd, beyond.c_str()));
    // Far beyond.
    std::string far = "cmd /c " + std::string(3000, ' ') + script;
    EXPECT_EQ(0, tovrin_is_install_trampoline(k_install, k_cmd, far.c_str()));
}

TEST(InstallImages, StopCandidate)
{
    struct row {
        tovrin_process_record rec;
        int candidate;
    };
    const row rows[] = {
        {{1, k_shell, NULL}, 1},
        {{2, k_node, NULL}, 1},
        {{3, "c:/apps/host/TOVRINHOST.exe", "whatever"}, 1},
        {{0, k_node, NULL}, 1}, // the pid is not looked at
        {{4, k_cmd, k_script_cmdline}, 1},
        {{5, k_cmd, NULL}, 0},  // image present, no command line: image only
        {{6, k_foreign, NULL}, 0},
        {{7, k_foreign, k_script_cmdline}, 0}, // the script only counts under cmd.exe
        {{8, "C:\\Program Files\\nodejs\\node.exe", k_script_cmdline}, 0},
        {{9, NULL, k_script_cmdline}, 0},
        {{10, "", k_script_cmdline}, 0},
        {{11, NULL, NULL}, 0},
        {{12, "C:\\Apps\\Host2\\TovrinHost.exe", NULL}, 0},
        {{13, "C:\\Apps\\Host\\runtime\\node.exe", NULL}, 0},
        {{14, "C:\\Apps\\Host\\tovrinhostsidecar.cmd", NULL}, 0},
    };
    for (const row &r : rows) {
        EXPECT_EQ(r.candidate, tovrin_is_stop_candidate(k_install, &r.rec)) << r.rec.pid;
    }
    tovrin_process_record shell = {1, k_shell, NULL};
    EXPECT_EQ(0, tovrin_is_stop_candidate("", &shell));
    EXPECT_EQ(0, tovrin_is_stop_candidate(NULL, &shell));
}

// ---------------------------------------------------------------------------
// Listener classification
// ---------------------------------------------------------------------------

namespace {

struct classified {
    int code;
    uint32_t pid;
    std::string detail;
    std::string relation;
    std::string query;
};

classified classify(const char *install, const tovrin_listener_snap *snap, int32_t attempt,
                    int32_t max_attempts)
{
    uint32_t pid = 0xdeadbeef;
    const char *detail = "unset";
    const char *relation = "unset";
    const char *query = "unset";
    classified c;
    c.code = tovrin_classify_listener_snap(install, snap, attempt, max_attempts, &pid, &detail,
                                           &relation, &query);
    c.pid = pid;
    c.detail = detail;
    c.relation = relation;
    c.query = query;
    return c;
}

} // namespace

TEST(ClassifyListener, DecisionTable)
{
    struct row {
        uint32_t pid;
        uint32_t state;
        const char *image;
        int32_t attempt;
        int code;
        bool keeps_pid;
        const char *detail;
        const char *relation;
        const char *query;
    };
    const row rows[] = {
        {0, 0, NULL, 0, 2, false, "none", "unavailable", "no_listener"},
        {0, 2, k_node, 7, 2, false, "none", "unavailable", "no_listener"},
        {9, 1, NULL, 0, 3, false, "socket_image_unavailable", "unavailable", "process_gone"},
        {9, 1, NULL, 6, 3, false, "socket_image_unavailable", "unavailable", "process_gone"},
        {9, 1, NULL, 7, 2, false, "none", "unavailable", "process_gone"},
        {9, 1, k_node, 7, 2, false, "none", "unavailable", "process_gone"},
        {9, 2, NULL, 6, 3, false, "socket_image_unavailable", "unavailable", "access_denied"},
        {9, 2, k_node, 7, 5, false, "socket_image_unavailable", "unavailable", "access_denied"},
        {9, 3, NULL, 6, 3, false, "socket_image_unavailable", "unavailable", "query_failed"},
        {9, 3, k_node, 7, 5, false, "socket_image_unavailable", "unavailable", "query_failed"},
        {9, 0xffffffffu, NULL, 7, 5, false, "socket_image_unavailable", "unavailable", "query_failed"},
        {9, 0, NULL, 6, 3, false, "socket_image_unavailable", "unavailable", "query_failed"},
        {9, 0, "", 6, 3, false, "socket_image_unavailable", "unavailable", "query_failed"},
        {9, 0, "", 7, 5, false, "socket_image_unavailable", "unavailable", "query_failed"},
        {9, 0, k_node, 0, 1, true, "none", "exact_install_node", "ok"},
        {9, 0, k_node, 7, 1, true, "none", "exact_install_node", "ok"},
        {9, 0, "\\\\?\\c:/apps/HOST/runtime/node/node.exe", 3, 1, true, "none", "exact_install_node", "ok"},
        {9, 0, k_shell, 0, 1, true, "none", "exact_install_shell", "ok"},
        {9, 0, "C:\\Apps\\Host2\\tovrinhost.exe", 0, 4, false, "image_mismatch", "outside_install", "ok"},
        {9, 0, "C:\\Program Files\\nodejs\\node.exe", 0, 4, false, "image_mismatch", "outside_install", "ok"},
        {9, 0, "C:\\Apps\\Host\\node.exe", 0, 4, false, "image_mismatch", "outside_install", "ok"},
        {9, 0, k_cmd, 0, 4, false, "image_mismatch", "outside_install", "ok"},
        {9, 0, "C:\\Apps\\Host\\cmd.exe", 7, 4, false, "image_mismatch", "outside_install", "ok"},
        {9, 0, k_foreign, 0, 4, false, "foreign_port_owner", "outside_install", "ok"},
        {9, 0, "C:\\Apps\\Host\\runtime\\node\\node.exe.bak", 0, 4, false, "foreign_port_owner", "outside_install", "ok"},
        {9, 0, "C:\\Apps\\Host\\tovrinhostsidecar.cmd", 0, 4, false, "foreign_port_owner", "outside_install", "ok"},
        {9, 0, "node.exe", 0, 4, false, "foreign_port_owner", "outside_install", "ok"},
    };
    for (const row &r : rows) {
        tovrin_listener_snap snap = {r.pid, r.state, r.image, k_script_cmdline};
        classified c = classify(k_install, &snap, r.attempt, 8);
        std::string where = std::string(r.image ? r.image : "(absent)") + " state " +
                            std::to_string(r.state) + " attempt " + std::to_string(r.attempt);
        EXPECT_EQ(r.code, c.code) << where;
        EXPECT_EQ(r.keeps_pid ? r.pid : 0u, c.pid) << where;
        EXPECT_EQ(r.detail, c.detail) << where;
        EXPECT_EQ(r.relation, c.relation) << where;
        EXPECT_EQ(r.query, c.query) << where;
    }
}

TEST(ClassifyListener, AttemptsLeftAtTheEdges)
{
    tovrin_listener_snap gone = {9, 2, NULL, NULL};
    EXPECT_EQ(3, classify(k_install, &gone, 0, 2).code);
    EXPECT_EQ(5, classify(k_install, &gone, 1, 2).code);
    EXPECT_EQ(5, classify(k_install, &gone, 0, 1).code); // one attempt: it is the last
    EXPECT_EQ(5, classify(k_install, &gone, 9, 8).code); // beyond the last
    // Large values must not overflow attempt + 1.
    EXPECT_EQ(5, classify(k_install, &gone, INT32_MAX, INT32_MAX).code);
    EXPECT_EQ(5, classify(k_install, &gone, INT32_MAX - 1, INT32_MAX).code);
    EXPECT_EQ(3, classify(k_install, &gone, INT32_MAX - 2, INT32_MAX).code);
    EXPECT_EQ(5, classify(k_install, &gone, INT32_MAX, 8).code);
}

TEST(ClassifyListener, InvalidArgumentsGiveStartingWords)
{
    tovrin_listener_snap snap = {9, 0, k_node, NULL};
    struct row {
        const char *install;
        const tovrin_listener_snap *snap;
        int32_t attempt;
        int32_t max_attempts;
    };
    const row rows[] = {
        {"", &snap, 0, 8},
        {NULL, &snap, 0, 8},
        {k_install, NULL, 0, 8},
        {k_install, &snap, -1, 8},
        {k_install, &snap, INT32_MIN, 8},
        {k_install, &snap, 0, 0},
        {k_install, &snap, 0, -1},
    };
    for (const row &r : rows) {
        classified c = classify(r.install, r.snap, r.attempt, r.max_attempts);
        EXPECT_EQ(0, c.code);
        EXPECT_EQ(0u, c.pid);
        EXPECT_EQ("socket_image_unavailable", c.detail);
        EXPECT_EQ("unavailable", c.relation);
        EXPECT_EQ("query_failed", c.query);
    }
    // The same with no listener at all: the argument check comes first.
    tovrin_listener_snap none = {0, 0, NULL, NULL};
    EXPECT_EQ(0, classify("", &none, 0, 8).code);
    EXPECT_EQ(0, classify(k_install, &none, -1, 8).code);
}

TEST(ClassifyListener, AnAbsentOutputWritesNothing)
{
    tovrin_listener_snap snap = {9, 0, k_node, NULL};
    for (int missing = 0; missing < 4; missing++) {
        uint32_t pid = 77;
        const char *detail = "unset";
        const char *relation = "unset";
        const char *query = "unset";
        int code = tovrin_classify_listener_snap(k_install, &snap, 0, 8, missing == 0 ? NULL : &pid,
                                                 missing == 1 ? NULL : &detail,
                                                 missing == 2 ? NULL : &relation,
                                                 missing == 3 ? NULL : &query);
        EXPECT_EQ(0, code) << missing;
        EXPECT_EQ(77u, pid) << missing;
        EXPECT_STREQ("unset", detail) << missing;
        EXPECT_STREQ("unset", relation) << missing;
        EXPECT_STREQ("unset", query) << missing;
    }
}

// ---------------------------------------------------------------------------
// Stop plan
// ---------------------------------------------------------------------------

namespace {

struct planned {
    int ok;
    tovrin_stop_plan plan;
    std::vector<uint32_t> pids() const
    {
        return std::vector<uint32_t>(plan.pids, plan.pids + (plan.count > 0 ? plan.count : 0));
    }
};

planned plan_stop(uint32_t own_pid, const std::vector<tovrin_process_record> &records,
                  uint32_t lock_pid = 0, const char *lock_image = NULL, uint32_t listener = 0,
                  const char *install = k_install)
{
    planned p;
    memset(&p.plan, 0xa5, sizeof p.plan); // the plan must be cleared, whatever it held
    p.ok = tovrin_plan_sidecar_stop(install, own_pid, records.empty() ? NULL : records.data(),
                                    (int32_t)records.size(), lock_pid, lock_image, listener, &p.plan);
    return p;
}

planned plan_stop_empty(uint32_t lock_pid, uint32_t listener)
{
    planned p;
    memset(&p.plan, 0xa5, sizeof p.plan);
    tovrin_process_record unused = {1, k_node, NULL};
    p.ok = tovrin_plan_sidecar_stop(k_install, 10, &unused, 0, lock_pid, NULL, listener, &p.plan);
    return p;
}

void expect_clear_tail(const tovrin_stop_plan &plan)
{
    for (int i = plan.count; i < TOVRIN_STOP_PLAN_MAX; i++) {
        EXPECT_EQ(0u, plan.pids[i]) << "entry " << i;
    }
}

typedef std::vector<uint32_t> pids_t;

} // namespace

TEST(StopPlan, NoRecordsNoLockOwnerNoListener)
{
    planned p = plan_stop_empty(0, 0);
    EXPECT_EQ(1, p.ok);
    EXPECT_EQ(0, p.plan.count);
    EXPECT_EQ(0u, p.plan.blocked);
    EXPECT_EQ(0u, p.plan.pid_reused);
    expect_clear_tail(p.plan);
}

TEST(StopPlan, LockOwnerAndListenerMissingFromAnEmptyList)
{
    planned p = plan_stop_empty(500, 0);
    EXPECT_EQ(1, p.ok);
    EXPECT_EQ(1u, p.plan.pid_reused);
    EXPECT_EQ(0u, p.plan.blocked);
    EXPECT_EQ(0, p.plan.count);

    p = plan_stop_empty(500, 600);
    EXPECT_EQ(1, p.ok);
    EXPECT_EQ(1u, p.plan.pid_reused);
    EXPECT_EQ(1u, p.plan.blocked);
    EXPECT_EQ(0, p.plan.count);

    p = plan_stop_empty(0, 600);
    EXPECT_EQ(0u, p.plan.pid_reused);
    EXPECT_EQ(1u, p.plan.blocked);
}

TEST(StopPlan, CollectsThisInstallsProcessesOnce)
{
    std::vector<tovrin_process_record> recs = {
        {10, k_shell, NULL},          // the caller itself
        {20, k_node, NULL},
        {20, k_node, NULL},           // listed twice
        {30, k_foreign, NULL},
        {40, k_cmd, k_script_cmdline},
    };
    planned p = plan_stop(10, recs);
    EXPECT_EQ(1, p.ok);
    EXPECT_EQ((pids_t{20, 40}), p.pids());
    EXPECT_EQ(0u, p.plan.blocked);
    EXPECT_EQ(0u, p.plan.pid_reused);
    expect_clear_tail(p.plan);

    // Another shell of the same installation, and pid 0, which names no process.
    recs.push_back({0, k_node, NULL});
    recs.push_back({50, "c:/apps/host/tovrinhost.EXE", NULL});
    p = plan_stop(10, recs);
    EXPECT_EQ((pids_t{20, 40, 50}), p.pids());
}

TEST(StopPlan, DuplicatePidsAreJudgedPerRecordInCollection)
{
    // The first record with pid 20 is foreign, the second is the runtime:
    // collection tests every record, so 20 is planned.
    std::vector<tovrin_process_record> recs = {{20, k_foreign, NULL}, {20, k_node, NULL}};
    EXPECT_EQ((pids_t{20}), plan_stop(1, recs).pids());
}

TEST(StopPlan, OnlyTheFirstRecordOfAPidCountsForLockOwnerAndListener)
{
    std::vector<tovrin_process_record> recs = {{20, k_foreign, NULL}, {20, k_node, NULL},
                                               {30, k_node, NULL}};
    // Lock owner 20 with the runtime image: the first record's image differs.
    planned p = plan_stop(1, recs, 20, k_node);
    EXPECT_EQ(1u, p.plan.pid_reused);
    EXPECT_EQ((pids_t{30}), p.pids());
    // Listener 20: the first record is no stop candidate, so the plan is blocked.
    p = plan_stop(1, recs, 0, NULL, 20);
    EXPECT_EQ(1u, p.plan.blocked);
    EXPECT_EQ(0, p.plan.count);
    expect_clear_tail(p.plan);
}

TEST(StopPlan, AtMostEightInRecordOrder)
{
    std::vector<tovrin_process_record> recs;
    for (uint32_t pid = 101; pid <= 109; pid++) {
        recs.push_back({pid, k_node, NULL});
    }
    planned p = plan_stop(1, recs);
    EXPECT_EQ(1, p.ok);
    EXPECT_EQ((pids_t{101, 102, 103, 104, 105, 106, 107, 108}), p.pids());

    // Duplicates and skipped records do not use up places.
    std::vector<tovrin_process_record> mixed = {{101, k_node, NULL}, {101, k_node, NULL},
                                                {1, k_node, NULL},   {77, k_foreign, NULL}};
    for (uint32_t pid = 102; pid <= 110; pid++) {
        mixed.push_back({pid, k_node, NULL});
    }
    p = plan_stop(1, mixed);
    EXPECT_EQ((pids_t{101, 102, 103, 104, 105, 106, 107, 108}), p.pids());
}

TEST(StopPlan, LockOwnerImageComparedAfterNormalising)
{
    std::vector<tovrin_process_record> recs = {{500, k_node, NULL}};
    const char *same_spellings[] = {
        "c:\\apps\\host\\runtime\\node\\node.exe",
        "C:/Apps/Host/runtime/node/node.exe",
        "\"C:\\Apps\\Host\\runtime\\node\\node.exe\"",
        "C:\\Apps\\Host\\runtime\\node\\node.exe\\",
        "\\\\?\\C:\\Apps\\Host\\runtime\\node\\node.exe",
    };
    for (const char *image : same_spellings) {
        planned p = plan_stop(1, recs, 500, image);
        EXPECT_EQ(0u, p.plan.pid_reused) << image;
        EXPECT_EQ((pids_t{500}), p.pids()) << image;
    }
    // An absent or empty lock owner image: a found pid is the same process.
    EXPECT_EQ(0u, plan_stop(1, recs, 500, NULL).plan.pid_reused);
    EXPECT_EQ(0u, plan_stop(1, recs, 500, "").plan.pid_reused);
    // A record without an image compares as empty against a given image.
    std::vector<tovrin_process_record> no_image = {{500, NULL, NULL}};
    EXPECT_EQ(1u, plan_stop(1, no_image, 500, k_node).plan.pid_reused);
}

TEST(StopPlan, ReusedLockOwnerPidIsLeftOut)
{
    // The lock owner file names the shell's image, but pid 500 is now this
    // install's runtime: a different process, so it is not planned.
    std::vector<tovrin_process_record> recs = {{500, k_node, NULL}, {501, k_node, NULL}};
    planned p = plan_stop(1, recs, 500, k_shell);
    EXPECT_EQ(1, p.ok);
    EXPECT_EQ(1u, p.plan.pid_reused);
    EXPECT_EQ((pids_t{501}), p.pids());

    // ... also when it is the listener: the listener check passes, the pid
    // is still not planned, and both flags show what happened.
    p = plan_stop(1, recs, 500, k_shell, 500);
    EXPECT_EQ(1u, p.plan.pid_reused);
    EXPECT_EQ(0u, p.plan.blocked);
    EXPECT_EQ((pids_t{501}), p.pids());

    // A lock owner that no longer runs: only the flag.
    p = plan_stop(1, recs, 999, k_node);
    EXPECT_EQ(1u, p.plan.pid_reused);
    EXPECT_EQ((pids_t{500, 501}), p.pids());
}

TEST(StopPlan, ListenerChecks)
{
    std::vector<tovrin_process_record> recs = {{10, k_shell, NULL},
                                               {20, k_node, NULL},
                                               {30, k_foreign, NULL},
                                               {40, k_cmd, k_script_cmdline}};
    // A listener that is a stop candidate: collect as usual.
    planned p = plan_stop(10, recs, 0, NULL, 20);
    EXPECT_EQ(0u, p.plan.blocked);
    EXPECT_EQ((pids_t{20, 40}), p.pids());
    // Not among the records, or not a candidate: blocked, no pids at all.
    const uint32_t blocking[] = {99, 30};
    for (uint32_t listener : blocking) {
        p = plan_stop(10, recs, 0, NULL, listener);
        EXPECT_EQ(1, p.ok) << listener;
        EXPECT_EQ(1u, p.plan.blocked) << listener;
        EXPECT_EQ(0, p.plan.count) << listener;
        expect_clear_tail(p.plan);
    }
    // The caller's own pid as listener passes the check and is still not planned.
    p = plan_stop(10, recs, 0, NULL, 10);
    EXPECT_EQ(0u, p.plan.blocked);
    EXPECT_EQ((pids_t{20, 40}), p.pids());
    // The helper script's cmd.exe is a stop candidate, so as listener it
    // passes here (the classification refuses it before a plan is made).
    p = plan_stop(10, recs, 0, NULL, 40);
    EXPECT_EQ(0u, p.plan.blocked);
}

TEST(StopPlan, RecordCountLimitsWhatIsRead)
{
    tovrin_process_record recs[3] = {{20, k_node, NULL}, {21, k_node, NULL}, {22, k_node, NULL}};
    tovrin_stop_plan plan;
    EXPECT_EQ(1, tovrin_plan_sidecar_stop(k_install, 1, recs, 2, 0, NULL, 22, &plan));
    EXPECT_EQ(1u, plan.blocked); // 22 lies beyond the count
    EXPECT_EQ(1, tovrin_plan_sidecar_stop(k_install, 1, recs, 2, 0, NULL, 0, &plan));
    EXPECT_EQ(2, plan.count);
}

TEST(StopPlan, InvalidArgumentsClearThePlan)
{
    tovrin_process_record recs[1] = {{20, k_node, NULL}};
    struct row {
        const char *install;
        const tovrin_process_record *records;
        int32_t count;
    };
    const row rows[] = {
        {k_install, recs, -1}, {k_install, recs, INT32_MIN}, {k_install, NULL, 0},
        {k_install, NULL, 1},  {"", recs, 1},                {NULL, recs, 1},
    };
    for (const row &r : rows) {
        tovrin_stop_plan plan;
        memset(&plan, 0xa5, sizeof plan);
        EXPECT_EQ(0, tovrin_plan_sidecar_stop(r.install, 1, r.records, r.count, 500, NULL, 600,
                                              &plan));
        tovrin_stop_plan zero;
        memset(&zero, 0, sizeof zero);
        EXPECT_EQ(0, memcmp(&zero, &plan, sizeof plan)) << r.count;
    }
    EXPECT_EQ(0, tovrin_plan_sidecar_stop(k_install, 1, recs, 1, 0, NULL, 0, NULL));
}
