// Time and random helpers.

#include "foundation/time_helpers.h"

#include <stdio.h>
#include <string.h>
#include <sys/time.h>

namespace {

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

const unsigned long kModulus = 4294967295UL;  // 2^32 - 1
const unsigned long kMultiplier = 16807;
const unsigned long kQuotient = 255546;  // kModulus / kMultiplier
const unsigned long kRemainder = 5673;   // kModulus % kMultiplier

// Stores v in a text field of the given size (every value here fits).
void PutNumber(char* field, size_t size, long v) {
    char digits[24];
    int n = snprintf(digits, sizeof digits, "%ld", v);
    if (n >= static_cast<int>(size)) n = static_cast<int>(size) - 1;
    memcpy(field, digits, n);
    field[n] = '\0';
}

}  // namespace

struct timeval ClockNow() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct timeval at;
    at.tv_sec = now.tv_sec;
    at.tv_usec = static_cast<suseconds_t>(now.tv_nsec / 1000);
    return at;
}

time_t ClockSeconds() {
    // Whole seconds need no more than the clock the kernel keeps for file times: read
    // from memory, where the precise clock may cost a hundred nanoseconds on a virtual
    // machine, and the interpreter asks at every tag whether the page's time is up.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return now.tv_sec;
}

void kp_gettimevalues(STRTM* t) {
    kp_gettimevalues_at(ClockNow(), t);
}

void kp_gettimevalues_at(const struct timeval& now, STRTM* t) {
    time_t seconds = now.tv_sec;
    struct tm local;
    localtime_r(&seconds, &local);
    tzset();
    PutNumber(t->seconds, sizeof t->seconds, static_cast<long>(seconds));
    PutNumber(t->usec, sizeof t->usec, static_cast<int>(now.tv_usec));
    PutNumber(t->sec, sizeof t->sec, local.tm_sec);
    PutNumber(t->min, sizeof t->min, local.tm_min);
    PutNumber(t->hour, sizeof t->hour, local.tm_hour);
    PutNumber(t->mday, sizeof t->mday, local.tm_mday);
    PutNumber(t->mon, sizeof t->mon, local.tm_mon + 1);
    snprintf(t->smon, sizeof t->smon, "%s", kMonths[local.tm_mon]);
    PutNumber(t->year, sizeof t->year, local.tm_year + 1900);
    PutNumber(t->wday, sizeof t->wday, local.tm_wday + 1);
    snprintf(t->swday, sizeof t->swday, "%s", kDays[local.tm_wday]);
    PutNumber(t->yday, sizeof t->yday, local.tm_yday + 1);
    PutNumber(t->isdst, sizeof t->isdst, local.tm_isdst);
    snprintf(t->zone, sizeof t->zone, "%s", tzname[1] ? tzname[1] : "");
}

time_t kp_to_time_t(int year, int month, int day, int hours, int minutes, int seconds) {
    // Read the fields as UTC directly. Going through mktime() and correcting by the
    // zone offset and an hour of daylight saving is an hour off for dates in summer
    // time, and wrong wherever a zone's offset changed in history.
    struct tm t;
    memset(&t, 0, sizeof t);
    t.tm_sec = seconds;
    t.tm_min = minutes;
    t.tm_hour = hours;
    t.tm_mday = day;
    t.tm_mon = month - 1;
    t.tm_year = year - 1900;
    return timegm(&t);  // normalises out-of-range fields
}

PseudoRND::PseudoRND() : lcg_(1), index_(0) {
    memset(table_, 0, sizeof table_);
}

unsigned long PseudoRND::LCG() {
    unsigned long x = lcg_;
    if (x <= kQuotient) {
        x = kMultiplier * x % kModulus;
    } else {
        long step = static_cast<long>(kMultiplier * (x % kQuotient)) -
                    static_cast<long>(kRemainder * (x / kQuotient));
        if (step <= 0) step += static_cast<long>(kModulus);
        x = static_cast<unsigned long>(step);
    }
    lcg_ = static_cast<unsigned int>(x);
    return lcg_;
}

void PseudoRND::R250Seed(unsigned long seed) {
    LCGSeed(seed);
    index_ = 0;
    for (int i = 0; i < 250; i++) table_[i] = static_cast<unsigned int>(LCG());
    for (int i = 0; i < 250; i++) {
        if (LCG() > 0x40000000UL) table_[i] |= 0x80000000U;
    }
    unsigned int mask = 0xFFFFFFFFU, msb = 0x80000000U;
    for (int j = 0; j < 32; j++) {
        int k = 3 + 7 * j;
        table_[k] = (table_[k] & mask) | msb;
        mask >>= 1;
        msb >>= 1;
    }
}

unsigned long PseudoRND::R250() {
    int partner = index_ < 147 ? index_ + 103 : index_ - 147;
    unsigned int word = table_[index_] ^ table_[partner];
    table_[index_] = word;
    index_ = index_ == 249 ? 0 : index_ + 1;
    return word;
}
