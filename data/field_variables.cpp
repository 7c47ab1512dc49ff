// Field variables: reading and validating the values of table columns.

#include "data/field_variables.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "foundation/time_helpers.h"
#include "script/expression.h"

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The decimal number of count characters of text from start (non-digits count 0).
int Digits(const char* text, int start, int count) {
    int v = 0;
    for (int i = start; i < start + count; i++) v = v * 10 + (IsDigit(text[i]) ? text[i] - '0' : 0);
    return v;
}

// The stored date, always 8 characters (a short or blank one padded with blanks).
String StoredDate(XBaseField* field) {
    String date(field->data());
    while (date.length() < 8) date.cat(' ');
    return date;
}

}  // namespace

int XBaseVariable::SetNumber(double number) {
    return SetValue(FormatNumber(number));
}

void XBaseNumberVariable::Read(String* text) {
    const char* p = field_->data();
    while (*p == ' ') p++;
    text->assign(p);
}

int XBaseNumberVariable::Assign(const String& value) {
    error_.clear();
    const char* p = value.chars();
    const char* end = p + value.length();
    String whole, fraction;
    bool negative = false;
    if (p < end && *p == '-') {
        negative = true;
        p++;
    }
    bool point = false;
    for (; p < end; p++) {
        if (*p == '.') {
            if (point)
                return Refuse(
                    "Value\tassigned to numeric field contains more\tthan one decimal point");
            point = true;
        } else if (!IsDigit(*p)) {
            return Refuse("Value\tassigned to numeric field contains a non-numeric character");
        } else if (point) {
            fraction.cat(*p);
        } else {
            whole.cat(*p);
        }
    }
    if (whole.empty()) whole = "0";
    String result = negative ? "-" + whole : whole;
    int decimals = field_->decimalcount();
    if (decimals > 0) {
        // Padded or cut to the decimal count: never rounded.
        while (fraction.length() < decimals) fraction.cat('0');
        result += "." + fraction.before(decimals);
    }
    if (result.length() > field_->length()) {
        return Refuse("Value\tassigned to numeric field is too long");
    }
    field_->Set(result);
    return 1;
}

void XBaseDateTimeTVariable::Read(String* text) {
    String date = StoredDate(field_);
    if (date.trimmed().empty()) {
        text->clear();  // no date: no time value
        return;
    }
    const char* d = date.chars();
    time_t t = kp_to_time_t(Digits(d, 0, 4), Digits(d, 4, 2), Digits(d, 6, 2), 0, 0, 0);
    struct tm local;
    localtime_r(&t, &local);
    tzset();
    long seconds = static_cast<long>(t) + timezone - (local.tm_isdst > 0 ? 3600 : 0);
    char digits[32];
    snprintf(digits, sizeof digits, "%ld", seconds);
    text->assign(digits);
}

int XBaseDateTimeTVariable::Assign(const String& value) {
    error_.clear();
    for (int i = 0; i < value.length(); i++) {
        if (!IsDigit(value[i])) {
            return Refuse("Value\tassigned to date field contains\ta non-numeric character");
        }
    }
    time_t t = static_cast<time_t>(strtoll(value.chars(), nullptr, 10));
    struct tm local;
    char text[40];  // room for any int the compiler cannot rule out
    if (t >= 0 && localtime_r(&t, &local) != nullptr && local.tm_year + 1900 <= 9999) {
        snprintf(text, sizeof text, "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                 local.tm_mday);
    } else {
        snprintf(text, sizeof text, "19700101");
    }
    field_->Set(String(text));
    return 1;
}

void XBaseDatePartVariable::Read(String* text) {
    String date = StoredDate(field_);
    switch (part_) {
        case DateMonth:
            *text = date.at(4, 6);
            return;
        case DateDay:
            *text = date.at(6, 8);
            return;
        case DateYear:
            *text = date.at(0, 4);
            return;
        case DateRaw:
            break;
    }
    text->assign(field_->data());
}

int XBaseDatePartVariable::Assign(const String& value) {
    error_.clear();
    if (part_ == DateRaw) {
        field_->Set(value);
        return 1;
    }
    long n = strtol(value.chars(), nullptr, 10);
    struct {
        long low, high;
        const char* message;
        const char* format;
        int start, count;
    } kParts[] = {
        {1, 12, "Invalid month", "%02ld", 4, 2},
        {0, 31, "Invalid day", "%02ld", 6, 2},
        {0, 9999, "Invalid year", "%04ld", 0, 4},
    };
    const auto& p = kParts[part_];
    if (n < p.low || n > p.high) return Refuse(p.message);
    char digits[8];
    snprintf(digits, sizeof digits, p.format, n);
    String date = StoredDate(field_);
    String updated = date.before(p.start) + digits + date.from(p.start + p.count);
    field_->Set(updated);
    return 1;
}

void XBaseBoolVariable::Read(String* text) {
    String v = String(field_->data()).trimmed();
    char c = v[0];
    text->assign((c == 'Y' || c == 'y' || c == 'T' || c == 't') ? "1" : "0");
}

int XBaseBoolVariable::Assign(const String& value) {
    field_->Set(Expression::IsTrue(value) ? "T" : "F");
    return 1;
}
