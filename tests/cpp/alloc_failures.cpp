// Allocation-failure runs over the dispatcher, the way SQLite tests itself:
// every command kind is run with its 1st, 2nd, 3rd ... allocation failing
// until it completes without reaching the failure. Each run must end in
// success or std::bad_alloc (which the module raises as MemoryError), with
// the radar's state exactly as before on failure (compared through "alerts"
// and by running the command again and a further one), the signal mask
// untouched, no crash and no hang. The first scan, which creates the worker
// pool, is run the same way in a forked child per allocation point.
//
// This program replaces malloc and its family (the C library supports that,
// also for its own internal use), so the C++ runtime's operator new, thread
// creation and thread-local storage all go through the failure counter.
// It cannot run under AddressSanitizer, which replaces them too.
//
// usage: alloc_failures [--persistent]
//   --persistent  every allocation from the point on fails, not only the one

#include <errno.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "command.hpp"
#include "worker_pool.hpp"

// ---------------------------------------------------------------------------
// The failing allocator

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {

std::atomic<long> g_fail_at{0};  // the armed allocation that fails; 0: none
constexpr long kCountOnly = std::numeric_limits<long>::max();  // counts, never fails
std::atomic<bool> g_persistent{false};
std::atomic<long> g_calls{0};     // allocations since arming
std::atomic<long> g_failures{0};  // failures injected since arming

bool inject_failure() noexcept {
    const long at = g_fail_at.load(std::memory_order_relaxed);
    if (at == 0) return false;
    const long call = g_calls.fetch_add(1, std::memory_order_relaxed) + 1;
    if (call == at || (call > at && g_persistent.load(std::memory_order_relaxed))) {
        g_failures.fetch_add(1, std::memory_order_relaxed);
        errno = ENOMEM;
        return true;
    }
    return false;
}

void arm(long at) {
    g_calls.store(0);
    g_failures.store(0);
    g_fail_at.store(at);
}

void disarm() { g_fail_at.store(0); }

}  // namespace

extern "C" {
void* malloc(size_t size) { return inject_failure() ? nullptr : __libc_malloc(size); }
void* calloc(size_t count, size_t size) {
    return inject_failure() ? nullptr : __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
    if (size != 0 && inject_failure()) return nullptr;
    return __libc_realloc(pointer, size);
}
void free(void* pointer) { __libc_free(pointer); }
void* memalign(size_t alignment, size_t size) {
    return inject_failure() ? nullptr : __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }
int posix_memalign(void** out, size_t alignment, size_t size) {
    void* pointer = memalign(alignment, size);
    if (pointer == nullptr) return ENOMEM;
    *out = pointer;
    return 0;
}
void* valloc(size_t size) { return memalign(static_cast<size_t>(getpagesize()), size); }
void* pvalloc(size_t size) {
    const auto page = static_cast<size_t>(getpagesize());
    return memalign(page, (size + page - 1) / page * page);
}
}

// ---------------------------------------------------------------------------
// Checks

namespace {

int g_failed = 0;

void fail(const std::string& scenario, long point, const std::string& what) {
    ++g_failed;
    std::printf("FAILED %s, allocation %ld: %s\n", scenario.c_str(), point, what.c_str());
}

sigset_t current_mask() {
    sigset_t mask;
    sigemptyset(&mask);
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return mask;
}

bool same_mask(const sigset_t& a, const sigset_t& b) {
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&a, sig) != sigismember(&b, sig)) return false;
    }
    return true;
}

constexpr std::string_view kAlerts = R"({"cmd":"alerts"})";

// Window 7: series grow 4 -> 7, so feeds meet growth part-way through a
// derivatives event's three series; oi_delta(4) tells a fifth open interest
// from none, funding_flip the newest rate, oi_price_divergence the prices.
constexpr std::string_view kSpec =
    R"({"signals":[{"kind":"oi_delta","params":[4,0.05]},{"kind":"funding_flip","params":[0.001]},)"
    R"({"kind":"book_imbalance","params":[0.5]},{"kind":"liq_cluster","params":[3,10]},)"
    R"({"kind":"oi_price_divergence","params":[6,0.04]}],"threshold":-1})";
constexpr std::string_view kOtherSpec =
    R"({"signals":[{"kind":"liq_cluster","params":[40,100]}],"threshold":0.1,"limit":3})";

// Events in their array form, numbers written to round-trip.
std::string num(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", x);
    return text;
}
std::string derivatives(long ts, double oi, double rate, double price) {
    return R"(["derivatives",)" + std::to_string(ts) + "," + num(oi) + "," + num(rate) + "," +
           num(price) + "]";
}
std::string liquidation(long ts, double qty) {
    return R"(["liquidation",)" + std::to_string(ts) + R"(,"sell",)" + num(qty) + ",10]";
}
std::string book(long ts, double bid, double ask) {
    return R"(["orderbook",)" + std::to_string(ts) + "," + num(bid) + "," + num(ask) + ",1,2]";
}

std::string feed(std::string_view symbol, const std::string& event) {
    return R"({"cmd":"feed","symbol":")" + std::string(symbol) + R"(","event":)" + event + "}";
}

// Mixed events for one symbol: mostly derivatives, some liquidations and books.
std::string event_list(long count, long seed) {
    std::string out = "[";
    for (long i = 0; i < count; ++i) {
        if (i > 0) out += ',';
        const long kind = (i * 7 + seed) % 10;
        if (kind < 6) {
            out += derivatives(i, 100 + (i * seed) % 17, (i % 3 - 1) * 4e-4, 50 - (i + seed) % 5);
        } else if (kind < 9) {
            out += liquidation(i, static_cast<double>((i + seed) % 9 + 1));
        } else {
            out += book(i, static_cast<double>(seed % 7 + 1), 3);
        }
    }
    return out + "]";
}

std::string batch(std::string_view symbol, const std::string& events) {
    return R"({"cmd":"feed_batch","symbol":")" + std::string(symbol) + R"(","events":)" + events +
           "}";
}

std::string symbol_name(long s) { return "S" + std::to_string(s); }

std::string scan(long symbols, long per_symbol) {
    std::string out = R"({"cmd":"scan","events":{)";
    for (long s = 0; s < symbols; ++s) {
        out += (s > 0 ? ",\"" : "\"") + symbol_name(s) + "\":" + event_list(per_symbol, s);
    }
    return out + "}}";
}

// Symbols whose series sit full at their first capacity (4), so the next
// derivatives event grows each of three series; and a few with books.
std::vector<std::string> setup_commands() {
    std::vector<std::string> out;
    for (const char* symbol : {"BTC", "ETH", "SOL"}) {
        for (long ts = 1; ts <= 4; ++ts) {
            out.push_back(feed(symbol, derivatives(ts, 100 + ts, 4e-4 * (ts % 2 ? 1 : -1), 50)));
        }
        out.push_back(feed(symbol, liquidation(5, 2)));
    }
    out.push_back(feed("XRP", book(3, 300, 200)));
    return out;
}

struct Scenario {
    std::string name;
    std::string command;
    std::string further;  // run after it, with the allocator quiet
    bool changes_state = true;
};

std::unique_ptr<radar::Radar> make_radar(bool with_setup = true) {
    auto created = radar::Radar::create(kSpec);
    if (!created) {
        std::printf("the RadarSpec is refused: %s\n", created.error().text().c_str());
        std::exit(2);
    }
    auto radar = std::move(created).value();
    if (!with_setup) return radar;
    for (const std::string& text : setup_commands()) {
        if (radar->command(text) != R"({"ok":true})") {
            std::printf("setup command refused: %s\n", text.c_str());
            std::exit(2);
        }
    }
    return radar;
}

struct Outcome {
    bool threw = false;
    std::string response;
    long failures = 0;
    long calls = 0;
};

Outcome run_armed(radar::Radar& radar, const std::string& command, long point) {
    Outcome outcome;
    arm(point);
    try {
        outcome.response = radar.command(command);
    } catch (const std::bad_alloc&) {
        outcome.threw = true;
    }
    disarm();
    outcome.failures = g_failures.load();
    outcome.calls = g_calls.load();
    return outcome;
}

// Runs one scenario failing at each of its allocations in turn; returns
// how many that is.
long sweep(const Scenario& scenario) {
    const auto twin = make_radar();
    const std::string before = twin->command(kAlerts);
    const std::string expected = twin->command(scenario.command);
    const std::string after = twin->command(kAlerts);
    const std::string further = twin->command(scenario.further);
    const std::string after_further = twin->command(kAlerts);
    // Otherwise a change left half-made could pass unseen.
    if ((before != after) != scenario.changes_state) {
        fail(scenario.name, 0, "the scenario does not show its change in the alerts");
    }

    // How many allocations the command makes when none fails.
    long total = 0;
    {
        const auto radar = make_radar();
        const Outcome clean = run_armed(*radar, scenario.command, kCountOnly);
        total = clean.calls;
        if (clean.response != expected) fail(scenario.name, 0, "differs from its twin");
    }

    const sigset_t mask = current_mask();
    // Every point, then one past the end, where nothing fails.
    for (long point = 1; point <= total + 1; ++point) {
        const auto radar = make_radar();
        const Outcome outcome = run_armed(*radar, scenario.command, point);
        if (!same_mask(mask, current_mask())) fail(scenario.name, point, "signal mask changed");
        if (outcome.failures == 0) {
            if (outcome.threw || outcome.response != expected) {
                fail(scenario.name, point, "no failure injected, yet a different answer");
            }
            if (radar->command(kAlerts) != after) fail(scenario.name, point, "state differs");
            if (point <= total) continue;  // counted differently this time (worker threads)
            break;
        }
        if (outcome.threw) {
            if (radar->command(kAlerts) != before) {
                fail(scenario.name, point, "a failed command changed the radar");
                continue;
            }
            if (radar->command(scenario.command) != expected) {
                fail(scenario.name, point, "the radar answers differently after a failure");
            }
        } else if (outcome.response != expected) {
            fail(scenario.name, point,
                 "an allocation failure gave a wrong answer: " + outcome.response.substr(0, 200));
        }
        if (radar->command(kAlerts) != after) fail(scenario.name, point, "state differs after");
        if (radar->command(scenario.further) != further ||
            radar->command(kAlerts) != after_further) {
            fail(scenario.name, point, "a further command answers differently");
        }
    }
    std::printf("  %-34s %6ld points\n", scenario.name.c_str(), total);
    return total;
}

// ---------------------------------------------------------------------------
// The first scan, which creates the worker pool: one forked child per point.

enum ChildStatus : int {
    kInjected = 0,     // a failure was injected; all checks held
    kNotReached = 10,  // the scan finished before the point: the sweep's end
    kBroken = 20,      // a check failed (the child printed which)
};

constexpr long kFirstScanSymbols = 8;
constexpr long kFirstScanEvents = 12;

// What the scan answers, found without a scan: the same events fed to a
// radar, whose alerts report is the scan's. The pool must not exist yet.
std::string first_scan_expected() {
    const auto twin = make_radar(false);
    for (long s = 0; s < kFirstScanSymbols; ++s) {
        static_cast<void>(twin->command(batch(symbol_name(s), event_list(kFirstScanEvents, s))));
    }
    return twin->command(kAlerts);
}

[[noreturn]] void first_scan_child(long point, bool thread_before, bool persistent,
                                   const std::string& request, const std::string& expected) {
    if (thread_before) std::thread([] {}).join();  // leaves a cached stack behind
    auto radar = make_radar(false);
    const sigset_t mask = current_mask();
    g_persistent.store(persistent);
    const Outcome outcome = run_armed(*radar, request, point);
    g_persistent.store(false);
    bool broken = false;
    auto check = [&](bool ok, const char* what) {
        if (!ok) {
            std::printf("FAILED first scan (%s), allocation %ld: %s\n",
                        thread_before ? "after a thread" : "first thread", point, what);
            broken = true;
        }
    };
    check(same_mask(mask, current_mask()), "signal mask changed");
    check(outcome.threw || outcome.response == expected, "wrong answer");
    check(radar->command(request) == expected, "wrong answer after the failure");
    check(radar::pool_size() == radar::available_processors(), "the pool stays short of workers");
    std::fflush(stdout);
    _exit(broken ? kBroken : outcome.failures == 0 ? kNotReached : kInjected);
}

// The child's exit status; a child that has not ended within a minute is
// taken to hang and killed (a hung child may have every signal blocked, so
// it cannot be left to time itself out).
int wait_or_kill(pid_t child) {
    constexpr int kPolls = 6000;  // of 10 ms
    int status = 0;
    for (int poll = 0; poll < kPolls; ++poll) {
        if (waitpid(child, &status, WNOHANG) == child) return status;
        usleep(10'000);
    }
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return status;
}

long sweep_first_scan(bool thread_before, bool persistent) {
    const std::string request = scan(kFirstScanSymbols, kFirstScanEvents);
    const std::string expected = first_scan_expected();
    if (expected.find(R"("scanned":8)") == std::string::npos) {
        std::printf("FAILED first scan: unexpected report %s\n", expected.c_str());
        ++g_failed;
        return 0;
    }
    long point = 1;
    for (;; ++point) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) first_scan_child(point, thread_before, persistent, request, expected);
        const int status = wait_or_kill(child);
        if (WIFEXITED(status) && WEXITSTATUS(status) == kNotReached) break;
        if (WIFEXITED(status) && WEXITSTATUS(status) == kInjected) continue;
        ++g_failed;
        if (WIFSIGNALED(status)) {
            std::printf("FAILED first scan, allocation %ld: ended by signal %d%s\n", point,
                        WTERMSIG(status), WTERMSIG(status) == SIGKILL ? " (hung, killed)" : "");
        } else if (!(WIFEXITED(status) && WEXITSTATUS(status) == kBroken)) {
            std::printf("FAILED first scan, allocation %ld: exit status %d\n", point,
                        WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        }
    }
    std::printf("  %-34s %6ld points\n",
                thread_before ? "first scan, after another thread" : "first scan", point - 1);
    return point - 1;
}

}  // namespace

int main(int argc, char** argv) {
    bool persistent = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--persistent") {
            persistent = true;
        } else {
            std::printf("usage: %s [--persistent]\n", argv[0]);
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("allocation failures (%s):\n",
                persistent ? "every allocation from the point on" : "one allocation");

    // Before anything makes the pool in this process.
    long points = sweep_first_scan(false, persistent);
    points += sweep_first_scan(true, persistent);

    g_persistent.store(persistent);
    const std::string big_scan = scan(200, 60);  // over a megabyte: read in pieces in parallel
    const std::vector<Scenario> scenarios = {
        {"feed, series grow", feed("BTC", derivatives(9, 120, -5e-4, 47)),
         feed("ETH", book(9, 1, 5))},
        {"feed, new symbol", feed("NEW", derivatives(9, 120, -5e-4, 47)),
         batch("NEW", event_list(9, 3))},
        {"feed, escaped symbol, array form",
         R"({"cmd":"feed","symbol":"B\u0054C","event":["derivatives",9,130,-0.0005,46]})",
         feed("BTC", liquidation(10, 4))},
        {"feed_batch, 3 liquidations + 10",
         batch("SOL", "[" + liquidation(6, 3) + "," + liquidation(7, 3) + "," + liquidation(8, 3) +
                          "," + event_list(10, 0).substr(1)),
         feed("SOL", derivatives(30, 1, 1, 1))},
        {"feed_batch, new symbol", batch("ADA", event_list(40, 5)), feed("ADA", book(50, 2, 1))},
        {"feed_batch, a bad event",
         batch("BTC", "[" + derivatives(9, 1, 1, 1) + R"(,{"kind":"liquidation","ts":1}])"),
         feed("BTC", derivatives(10, 1, 1, 1)), false},
        {"scan", scan(30, 25), feed("BTC", derivatives(9, 1, 1, 1)), false},
        {"scan, large, read in pieces", big_scan, feed("BTC", derivatives(9, 1, 1, 1)), false},
        {"alerts", std::string(kAlerts), feed("XRP", book(9, 1, 1)), false},
        {"set_spec", R"({"cmd":"set_spec","spec":)" + std::string(kOtherSpec) + "}",
         batch("BTC", event_list(50, 1))},
        {"set_spec, refused", R"({"cmd":"set_spec","spec":{"signals":[]}})",
         feed("BTC", derivatives(9, 1, 1, 1)), false},
        {"reset", R"({"cmd":"reset"})", batch("BTC", event_list(20, 2))},
        {"version", R"({"cmd":"version"})", feed("BTC", derivatives(9, 1, 1, 1)), false},
        {"malformed request", R"({"cmd":"feed","symbol":"BTC","event":{"kind":[}})",
         feed("BTC", derivatives(9, 1, 1, 1)), false},
    };
    for (const Scenario& scenario : scenarios) points += sweep(scenario);

    std::printf("%ld allocation points, %d failed\n", points, g_failed);
    return g_failed == 0 ? 0 : 1;
}
