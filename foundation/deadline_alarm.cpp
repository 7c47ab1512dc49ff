// DeadlineAlarm: a POSIX timer on the real-time clock that raises SIGALRM, set for
// the earliest of the deadlines of the engines alive in the process. Such a timer is
// not inherited by a child process and does not survive an exec, so a program the
// engine starts never meets it.

#include "foundation/deadline_alarm.h"

#include <signal.h>
#include <string.h>

#include <mutex>
#include <set>

namespace DeadlineAlarm {
std::atomic<unsigned long> g_rings{0};
}  // namespace DeadlineAlarm

namespace {

std::mutex g_lock;
std::multiset<time_t>* g_deadlines = nullptr;  // made on first use, never freed
timer_t g_timer;
bool g_timermade = false;
time_t g_armedfor = 0;  // when the timer goes off; 0: not set

void Ring() {
    DeadlineAlarm::g_rings.fetch_add(1, std::memory_order_relaxed);
}

void OnAlarm(int) {
    Ring();
}

bool g_claimed = false;

bool MakeTimer() {
    if (g_timermade) return true;
    DeadlineAlarm::Claim();
    struct sigevent event;
    memset(&event, 0, sizeof event);
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGALRM;
    if (timer_create(CLOCK_REALTIME, &event, &g_timer) != 0) return false;
    g_timermade = true;
    return true;
}

// Makes sure the timer goes off no later than the earliest deadline still to come.
// A timer set for an earlier time is left as it is, and so is a timer no deadline
// needs any more: going off early costs one look at the clock (whose owner sets it
// again), while setting it for every request of a process that serves many would
// cost two system calls each. Holds g_lock.
void Set() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    auto next = g_deadlines->lower_bound(now.tv_sec);  // deadline + 1 > now
    if (next == g_deadlines->end()) return;
    time_t at = *next + 1;
    if (g_armedfor > now.tv_sec && g_armedfor <= at) return;
    // A timer whose time has come may not have gone off yet: setting it again would
    // swallow that ring, so it rings now.
    if (g_armedfor != 0 && g_armedfor <= now.tv_sec) Ring();
    struct itimerspec when;
    memset(&when, 0, sizeof when);
    when.it_value.tv_sec = at;
    if (!MakeTimer() || timer_settime(g_timer, TIMER_ABSTIME, &when, nullptr) != 0) {
        // Without a timer every question reads the clock.
        g_armedfor = 0;
        Ring();
        return;
    }
    g_armedfor = at;
}

}  // namespace

namespace DeadlineAlarm {

void Claim() {
    if (g_claimed) return;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnAlarm;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    g_claimed = true;
}

void Add(time_t deadline) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_deadlines == nullptr) g_deadlines = new std::multiset<time_t>;
    g_deadlines->insert(deadline);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec > deadline) {
        Ring();
        return;
    }
    Set();
}

void Remove(time_t deadline) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_deadlines == nullptr) return;
    auto it = g_deadlines->find(deadline);
    if (it == g_deadlines->end()) return;
    g_deadlines->erase(it);
}

void Rearm() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_deadlines != nullptr) Set();
}

}  // namespace DeadlineAlarm
