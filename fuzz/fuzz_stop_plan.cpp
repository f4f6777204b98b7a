// The stop plan against a model of its steps: a lock owner that is missing
// from the records or now runs another image (after normalising, and never
// proved by a text too long to be read whole) marks the pid as reused; a
// listener that is missing or not this installation's blocks the plan; then
// this installation's processes are collected in record order, at most
// eight, each pid once, never our own pid, pid 0 or a reused lock owner.
// Only the first record of a pid speaks for the lock owner and listener.
#include "../launch/tovrinHostLaunch.cpp"

#include "fuzz_support.h"
#include "path_model.h"

struct plan_model {
    std::vector<uint32_t> pids;
    uint32_t blocked = 0;
    uint32_t pid_reused = 0;
};

static const model::process *first_of(const std::vector<model::process> &recs, uint32_t pid)
{
    for (const model::process &p : recs) {
        if (p.pid == pid) {
            return &p;
        }
    }
    return NULL;
}

static plan_model model_plan(const std::string &install, uint32_t own,
                             const std::vector<model::process> &recs, uint32_t lock,
                             bool has_lock_image, const std::string &lock_image, uint32_t listener)
{
    plan_model m;
    if (lock != 0) {
        const model::process *owner = first_of(recs, lock);
        if (!owner) {
            m.pid_reused = 1;
        } else if (has_lock_image && !lock_image.empty()) {
            model::norm_result a = model::norm(owner->has_image ? owner->image : "", 1200);
            model::norm_result b = model::norm(lock_image, 1200);
            m.pid_reused = a.cut || b.cut || a.out != b.out;
        }
    }
    if (listener != 0) {
        const model::process *owner = first_of(recs, listener);
        if (!owner || !model::stop_candidate(install, *owner)) {
            m.blocked = 1;
            return m;
        }
    }
    for (const model::process &p : recs) {
        if (m.pids.size() == 8) {
            break;
        }
        if (p.pid == 0 || p.pid == own || (m.pid_reused && p.pid == lock) ||
            !model::stop_candidate(install, p) ||
            std::find(m.pids.begin(), m.pids.end(), p.pid) != m.pids.end()) {
            continue;
        }
        m.pids.push_back(p.pid);
    }
    return m;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const images[] = {
        "C:\\Apps\\Host\\runtime\\node\\node.exe", "C:\\Apps\\Host\\TovrinHost.exe",
        "c:/apps/host/RUNTIME/node/node.exe",      "C:\\Apps\\Host2\\TovrinHost.exe",
        "C:\\Windows\\System32\\cmd.exe",          "C:\\Tools\\other.exe", ""};
    static const char *const cmdlines[] = {
        "C:\\Windows\\System32\\cmd.exe /d /c \"C:\\Apps\\Host\\tovrinhostsidecar.cmd\"",
        "cmd /c C:\\Apps\\Host\\tovrinhostsidecar.cmd.bak", "cmd /c other.cmd", ""};
    fuzz_input in(data, size);
    uint8_t how = in.byte();
    std::string install = (how & 1) ? in.text() : std::string("C:\\Apps\\Host");
    uint32_t own = in.byte() % 12;
    uint32_t lock = (how & 2) ? in.byte() % 12 : 0;
    uint32_t listener = (how & 4) ? in.byte() % 12 : 0;
    uint8_t li = in.byte();
    bool has_lock_image = li % 9 != 8;
    std::string lock_image = has_lock_image ? std::string(images[li % 7]) : std::string();
    size_t count = in.byte() % 14;
    // Texts of the records live here, so that their pointers stay put.
    std::vector<model::process> recs(count);
    for (model::process &p : recs) {
        uint8_t r = in.byte();
        p.pid = (how & 8) ? in.u32() % 16 : in.byte() % 12;
        p.has_image = r % 8 != 7;
        p.has_cmdline = (r >> 3) % 5 != 4;
        p.image = p.has_image ? ((r & 0x80) ? in.text() : std::string(images[r % 7])) : "";
        p.cmdline = p.has_cmdline ? std::string(cmdlines[(r >> 3) % 4]) : "";
    }
    std::vector<tovrin_process_record> raw(count == 0 ? 1 : count);
    for (size_t i = 0; i < count; i++) {
        raw[i] = {recs[i].pid, recs[i].has_image ? recs[i].image.c_str() : NULL,
                  recs[i].has_cmdline ? recs[i].cmdline.c_str() : NULL};
    }

    tovrin_stop_plan plan;
    memset(&plan, 0xa5, sizeof plan);
    int ok = tovrin_plan_sidecar_stop(install.c_str(), own, raw.data(), (int32_t)count, lock,
                                      has_lock_image ? lock_image.c_str() : NULL, listener, &plan);
    if (install.empty()) {
        FUZZ_CHECK(ok == 0 && plan.count == 0 && plan.blocked == 0 && plan.pid_reused == 0,
                   "an empty install directory made a plan");
        return 0;
    }
    FUZZ_CHECK(ok == 1, "no plan for valid arguments");
    plan_model m = model_plan(install, own, recs, lock, has_lock_image, lock_image, listener);
    std::string got_pids;
    std::string model_pids;
    for (int32_t i = 0; i < plan.count && i < TOVRIN_STOP_PLAN_MAX; i++) {
        got_pids += " " + std::to_string(plan.pids[i]);
    }
    for (uint32_t p : m.pids) {
        model_pids += " " + std::to_string(p);
    }
    FUZZ_CHECK(plan.count == (int32_t)m.pids.size() && got_pids == model_pids &&
                   plan.blocked == m.blocked && plan.pid_reused == m.pid_reused,
               "own %u lock %u listener %u, %zu records:\n  got [%s] blocked %u reused %u\n"
               "  model [%s] blocked %u reused %u",
               own, lock, listener, count, got_pids.c_str(), plan.blocked, plan.pid_reused,
               model_pids.c_str(), m.blocked, m.pid_reused);
    for (int32_t i = plan.count; i < TOVRIN_STOP_PLAN_MAX; i++) {
        FUZZ_CHECK(plan.pids[i] == 0, "pid slot %d beyond the count is not 0", (int)i);
    }
    return 0;
}
