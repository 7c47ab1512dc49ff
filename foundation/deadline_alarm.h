// DeadlineAlarm: the process's timer for time limits. A request's interpreter asks
// at every tag whether its time is up; instead of reading the clock each time it
// compares a counter that the timer's signal advances, and reads the clock only
// after the counter moved.

#ifndef FOUNDATION_DEADLINE_ALARM_H_
#define FOUNDATION_DEADLINE_ALARM_H_

#include <time.h>

#include <atomic>

namespace DeadlineAlarm {

extern std::atomic<unsigned long> g_rings;

// How many times the alarm has rung in this process.
inline unsigned long Rings() {
    return g_rings.load(std::memory_order_relaxed);
}

// Makes SIGALRM the alarm's, once per process; nothing else in the process may
// change its handler. An alarm left behind by whoever started the process then only
// makes the engines look at the clock.
void Claim();

// Adds a deadline (an absolute time in seconds): the alarm rings when the clock
// passes it (at deadline + 1), or at once when it has passed already; it may also ring
// earlier, for a deadline since removed. Every deadline added is removed once by its
// owner.
void Add(time_t deadline);
void Remove(time_t deadline);
// Sets the timer for the earliest deadline still to come: called by an owner who
// heard the alarm ring and found that its own time is not up.
void Rearm();

}  // namespace DeadlineAlarm

#endif  // FOUNDATION_DEADLINE_ALARM_H_
