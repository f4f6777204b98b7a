// Listener classification against a model of its table: invalid arguments,
// no listener, an owner gone (retry, then nobody), access denied or any
// other failed query (retry, then unreadable), and a readable image: this
// installation's runtime or shell, a look-alike elsewhere, or a foreign
// program. The outputs always name constant words, and the pid is handed
// out only for this installation's own listener.
#include "../launch/tovrinHostLaunch.cpp"

#include "fuzz_support.h"
#include "path_model.h"

struct verdict {
    int code;
    uint32_t pid;
    std::string detail, relation, query;
};

static verdict model_classify(const std::string &install, uint32_t pid, uint32_t state,
                              bool has_image, const std::string &image, int32_t attempt,
                              int32_t max_attempts)
{
    verdict v = {0, 0, "socket_image_unavailable", "unavailable", "query_failed"};
    if (install.empty() || attempt < 0 || max_attempts <= 0) {
        return v;
    }
    bool retry = (int64_t)attempt + 1 < (int64_t)max_attempts;
    if (pid == 0) {
        v.code = 2;
        v.detail = "none";
        v.query = "no_listener";
        return v;
    }
    if (state == 1) {
        v.query = "process_gone";
        v.code = retry ? 3 : 2;
        if (!retry) {
            v.detail = "none";
        }
        return v;
    }
    if (state == 2) {
        v.query = "access_denied";
        v.code = retry ? 3 : 5;
        return v;
    }
    if (state != 0 || !has_image || image.empty()) {
        v.code = retry ? 3 : 5;
        return v;
    }
    v.query = "ok";
    if (model::image_is(install, image, "\\runtime\\node\\node.exe")) {
        return {1, pid, "none", "exact_install_node", "ok"};
    }
    if (model::image_is(install, image, "\\tovrinhost.exe")) {
        return {1, pid, "none", "exact_install_shell", "ok"};
    }
    v.code = 4;
    v.relation = "outside_install";
    bool look_alike = model::basename_is(image, "\\node.exe") ||
                      model::basename_is(image, "\\cmd.exe") ||
                      model::basename_is(image, "\\tovrinhost.exe");
    v.detail = look_alike ? "image_mismatch" : "foreign_port_owner";
    return v;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const installs[] = {"C:\\Apps\\Host", "c:/apps/host/", ""};
    static const char *const images[] = {
        "C:\\Apps\\Host\\runtime\\node\\node.exe", "C:\\Apps\\Host\\TovrinHost.exe",
        "\\\\?\\c:\\APPS\\HOST\\TOVRINHOST.EXE",    "C:\\Apps\\Host2\\runtime\\node\\node.exe",
        "C:\\Windows\\System32\\cmd.exe",          "C:\\Program Files\\nodejs\\node.exe",
        "C:\\Tools\\server.exe",                   ""};
    fuzz_input in(data, size);
    uint8_t how = in.byte();
    uint8_t pick = in.byte();
    uint32_t pid = (how & 1) ? in.u32() : (uint32_t)(in.byte() % 3);
    uint32_t state = (how & 2) ? in.u32() : (uint32_t)(in.byte() % 5);
    int32_t attempt = (how & 4) ? (int32_t)in.u32() : (int32_t)(in.byte() % 12) - 2;
    int32_t max_attempts = (how & 8) ? (int32_t)in.u32() : (int32_t)(in.byte() % 12) - 2;
    std::string install = (how & 16) ? in.text() : std::string(installs[pick % 3]);
    bool has_image = (pick & 0x80) == 0;
    std::string image = (how & 32) ? in.rest() : std::string(images[(pick >> 2) % 8]);

    tovrin_listener_snap snap = {pid, state, has_image ? image.c_str() : NULL, "x"};
    uint32_t got_pid = 0xdeadbeef;
    const char *detail = NULL;
    const char *relation = NULL;
    const char *query = NULL;
    int code = tovrin_classify_listener_snap(install.c_str(), &snap, attempt, max_attempts,
                                             &got_pid, &detail, &relation, &query);
    verdict m = model_classify(install, pid, state, has_image, image, attempt, max_attempts);
    FUZZ_CHECK(detail && relation && query, "an output was left unset");
    FUZZ_CHECK(code == m.code && got_pid == m.pid && m.detail == detail && m.relation == relation &&
                   m.query == query,
               "install [%s] pid %u state %u image [%s] attempt %d of %d:\n  got %d %u %s %s %s\n"
               "  model %d %u %s %s %s",
               fuzz_printable(install).c_str(), pid, state,
               has_image ? fuzz_printable(image).c_str() : "(absent)", (int)attempt,
               (int)max_attempts, code, got_pid, detail, relation, query, m.code, m.pid,
               m.detail.c_str(), m.relation.c_str(), m.query.c_str());
    return 0;
}
