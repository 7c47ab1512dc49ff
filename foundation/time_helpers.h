// Time and random helpers: the clock broken down into text fields (STRTM), date
// conversion read as UTC, and PseudoRND, the engine's random-number generator.

#ifndef FOUNDATION_TIME_HELPERS_H_
#define FOUNDATION_TIME_HELPERS_H_

#include <sys/time.h>
#include <time.h>

// The clock as NUL-terminated text fields, filled by kp_gettimevalues().
struct STRTM {
    char seconds[32];  // seconds since 1970, "%ld"
    char usec[10];     // microseconds within the second
    char sec[10];      // 0-59, local time
    char min[10];      // 0-59
    char hour[10];     // 0-23
    char mday[10];     // 1-31
    char mon[10];      // 1-12
    char smon[10];     // Jan ... Dec
    char year[10];     // four digits
    char wday[10];     // 1-7, Sunday = 1
    char swday[10];    // Sun ... Sat
    char yday[10];     // 1-366
    char isdst[10];    // the local-time daylight-saving flag
    char zone[50];     // the zone's daylight-saving name, even in standard time
};

// The system clock, to the microsecond and in seconds. (Read through clock_gettime(),
// which the C library binds once at start; gettimeofday() and time() each look up the
// kernel's entry again when a program first calls them.) The seconds come from the
// kernel's coarse clock, a few milliseconds behind at most and read without a system
// call or a hardware clock read.
struct timeval ClockNow();
time_t ClockSeconds();

// Whether two of a file's times (a status's st_mtim, st_ctim) are the same moment.
inline bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Reads the clock once and fills every field of t.
void kp_gettimevalues(STRTM* t);
// Fills every field of t for the moment now.
void kp_gettimevalues_at(const struct timeval& now, STRTM* t);

// Seconds since 1970 of the given date and time read as UTC. Out-of-range fields are
// normalised (month 13 is January of the next year).
time_t kp_to_time_t(int year, int month, int day, int hours, int minutes, int seconds);

// R250 shift-register generator seeded by a multiplicative congruential generator
// (16807 x modulo 2^32 - 1, computed with Schrage's method).
class PseudoRND {
  public:
    PseudoRND();
    virtual ~PseudoRND() {}

    void LCGSeed(unsigned long seed) { lcg_ = static_cast<unsigned int>(seed); }
    unsigned long LCG();
    void R250Seed(unsigned long seed);
    unsigned long R250();

  private:
    unsigned int lcg_;
    unsigned int table_[250];
    int index_;
};

#endif  // FOUNDATION_TIME_HELPERS_H_
