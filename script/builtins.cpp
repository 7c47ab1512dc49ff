// The built-in functions: time, characters and strings, mathematics, encodings,
// random numbers and session ids, variable listings and languages. The file
// functions are the host's (they resolve names through the engine); the package
// functions report that they are not available in this version.

#include "script/builtins.h"

#include <ctype.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "foundation/lazy_math.h"
#include "foundation/time_helpers.h"
#include "script/encoding.h"
#include "script/expression.h"
#include "script/script_context.h"
#include "script/script_parser.h"

namespace {

// The argument's value, held by the argument scope for the whole call.
const String& Arg(VariableTree* a, const char* name) {
    static const String kEmpty;
    Variable* v = a->Argument(name);
    return v ? v->value() : kEmpty;
}

// ToNumber() and ToInteger() of the argument; a whole number passed as a number
// reads as it is, its text never written.
double Num(VariableTree* a, const char* name) {
    Variable* v = a->Argument(name);
    return v ? v->Number() : 0;
}
long Int(VariableTree* a, const char* name) {
    Variable* v = a->Argument(name);
    if (v == nullptr) return 0;
    return v->pending() ? static_cast<long>(v->number()) : ToInteger(v->value());
}

int Done(String* result, const String& value) {
    *result = value;
    return 1;
}

int Number(String* result, double v) {
    return Done(result, FormatNumber(v));
}
int Integer(String* result, long v) {
    return Done(result, String::FromInt(v));
}

// --- time

int TimeField(VariableTree* a, String* result, int field) {
    struct tm t = gettm(a);
    const int values[] = {t.tm_mon + 1, t.tm_year + 1900, t.tm_hour, t.tm_min,
                          t.tm_sec,     t.tm_wday + 1,    t.tm_mday, t.tm_yday + 1};
    return Integer(result, values[field]);
}

#define TIME_FIELD(fn, field)                           \
    int fn(ScriptParser*, VariableTree* a, String* r) { \
        return TimeField(a, r, field);                  \
    }
TIME_FIELD(TimeMonth, 0)
TIME_FIELD(TimeYear, 1)
TIME_FIELD(TimeHour, 2)
TIME_FIELD(TimeMin, 3)
TIME_FIELD(TimeSec, 4)
TIME_FIELD(TimeDayOfWeek, 5)
TIME_FIELD(TimeDayOfMonth, 6)
TIME_FIELD(TimeDayOfYear, 7)
#undef TIME_FIELD

int TimeZone(ScriptParser*, VariableTree*, String* r) {
    time_t now = ClockSeconds();
    struct tm local;
    localtime_r(&now, &local);
    return Number(r, local.tm_gmtoff / 3600.0);
}

int MakeTime(ScriptParser*, VariableTree* a, String* r) {
    time_t t = kp_to_time_t(Int(a, "year"), Int(a, "month"), Int(a, "dayofmonth"), Int(a, "hours"),
                            Int(a, "minutes"), Int(a, "seconds"));
    return Integer(r, static_cast<long>(t) - Int(a, "time_zone") * 3600);
}

// --- characters and strings

int AsciiValue(ScriptParser*, VariableTree* a, String* r) {
    String c = Arg(a, "char");
    return Integer(r, c.empty() ? 0 : static_cast<unsigned char>(c[0]));
}

int AsciiChar(ScriptParser*, VariableTree* a, String* r) {
    long code = Int(a, "ascii");
    if (code < 1 || code > 255) return Done(r, String());
    char c = static_cast<char>(code);
    return Done(r, String(&c, 1));
}

int Substring(ScriptParser*, VariableTree* a, String* r) {
    const String& s = Arg(a, "string");
    long start = Int(a, "start"), length = Int(a, "length");
    if (start < 1) start = 1;
    if (length <= 0 || start > s.length()) return Done(r, String());
    long room = s.length() - (start - 1);  // the characters from start to the end
    long end = start - 1 + (length < room ? length : room);
    r->assign(s.chars() + start - 1, static_cast<int>(end - (start - 1)));
    return 1;
}

// Whether every character of a non-empty string satisfies test. (The tests are
// called, never passed by address: an address of a C library function is resolved
// when the program starts, a call only when it is first made.)
template <typename Test>
int Classify(VariableTree* a, String* r, Test test) {
    String s = Arg(a, "string");
    bool all = !s.empty();
    for (int i = 0; i < s.length() && all; i++) all = test(static_cast<unsigned char>(s[i])) != 0;
    return Done(r, all ? "1" : "0");
}

int IsAsciiChar(int c) {
    return c < 128;
}

#define CLASSIFY(fn, test)                                    \
    int fn(ScriptParser*, VariableTree* a, String* r) {       \
        return Classify(a, r, [](int c) { return test(c); }); \
    }
CLASSIFY(IsAlpha, isalpha)
CLASSIFY(IsUpper, isupper)
CLASSIFY(IsLower, islower)
CLASSIFY(IsDigit, isdigit)
CLASSIFY(IsXDigit, isxdigit)
CLASSIFY(IsAlnum, isalnum)
CLASSIFY(IsSpace, isspace)
CLASSIFY(IsPunct, ispunct)
CLASSIFY(IsPrint, isprint)
CLASSIFY(IsGraph, isgraph)
CLASSIFY(IsCntrl, iscntrl)
CLASSIFY(IsAscii, IsAsciiChar)
#undef CLASSIFY

int RTrim(ScriptParser*, VariableTree* a, String* r) {
    String s = Arg(a, "string");
    int end = s.length();
    while (end > 0 && String::IsWhitespace(static_cast<unsigned char>(s[end - 1]))) end--;
    return Done(r, s.before(end));
}

int LTrim(ScriptParser*, VariableTree* a, String* r) {
    String s = Arg(a, "string");
    s.ltrim();
    return Done(r, s);
}

int ToUpper(ScriptParser*, VariableTree* a, String* r) {
    return Done(r, Arg(a, "string").upper());
}
int ToLower(ScriptParser*, VariableTree* a, String* r) {
    return Done(r, Arg(a, "string").lower());
}
int Len(ScriptParser*, VariableTree* a, String* r) {
    return Integer(r, Arg(a, "string").length());
}

char PadChar(VariableTree* a) {
    String pad = Arg(a, "pad");
    return pad.empty() ? ' ' : pad[0];
}

// Widths are capped so a stray large number cannot exhaust memory.
const long kMaxPadWidth = 1 << 20;

int PadL(ScriptParser*, VariableTree* a, String* r) {
    long width = Int(a, "length");
    if (width > kMaxPadWidth) width = kMaxPadWidth;
    return Done(r, Arg(a, "string").padl(static_cast<int>(width), PadChar(a)));
}

int PadR(ScriptParser*, VariableTree* a, String* r) {
    long width = Int(a, "length");
    if (width > kMaxPadWidth) width = kMaxPadWidth;
    return Done(r, Arg(a, "string").padr(static_cast<int>(width), PadChar(a)));
}

int GloSub(ScriptParser*, VariableTree* a, String* r) {
    String s = Arg(a, "string");
    s.gsub(Arg(a, "search").chars(), Arg(a, "replace").chars());
    return Done(r, s);
}

int GetToken(ScriptParser*, VariableTree* a, String* r) {
    String s = Arg(a, "string"), separators = Arg(a, "separators");
    long position = Int(a, "position");
    if (position < 1) return Done(r, String());
    int start = 0;
    for (long n = 1;; n++) {
        int end = start;
        while (end < s.length() && !separators.contains(s[end], 0)) end++;
        if (n == position) return Done(r, s.at(start, end));
        if (end >= s.length()) return Done(r, String());
        start = end + 1;
    }
}

// --- mathematics

#define MATH1(fn, f)                                    \
    int fn(ScriptParser*, VariableTree* a, String* r) { \
        return Number(r, f(Num(a, "number")));          \
    }
MATH1(Abs, fabs)
MATH1(Acos, lazymath::Acos)
MATH1(Asin, lazymath::Asin)
MATH1(Atan, lazymath::Atan)
MATH1(Ceil, ceil)
MATH1(Cos, lazymath::Cos)
MATH1(Cosh, lazymath::Cosh)
MATH1(Exp, lazymath::Exp)
MATH1(Floor, floor)
MATH1(IntPart, trunc)
MATH1(Log, lazymath::Log)
MATH1(Log10, lazymath::Log10)
MATH1(Sin, lazymath::Sin)
MATH1(Sinh, lazymath::Sinh)
MATH1(Sqrt, lazymath::Sqrt)
MATH1(Tan, lazymath::Tan)
MATH1(Tanh, lazymath::Tanh)
#undef MATH1

int Atan2(ScriptParser*, VariableTree* a, String* r) {
    return Number(r, lazymath::Atan2(Num(a, "x"), Num(a, "y")));
}
int Fmod(ScriptParser*, VariableTree* a, String* r) {
    return Number(r, lazymath::Fmod(Num(a, "x"), Num(a, "y")));
}

int Power(ScriptParser*, VariableTree* a, String* r) {
    return Number(r, lazymath::Pow(Num(a, "number"), Num(a, "mantissa")));
}

int Rnd(ScriptParser*, VariableTree* a, String* r) {
    long places = Int(a, "num_places");
    if (places < 0) places = 0;
    if (places > 6) places = 6;  // the number format shows six decimals at most
    double scale = lazymath::Pow(10.0, static_cast<double>(places));
    return Number(r, lazymath::Round(Num(a, "number") * scale) / scale);
}

int Random(ScriptParser* p, VariableTree* a, String* r) {
    long maximum = Int(a, "maximum");
    if (maximum <= 0) return Integer(r, 0);
    return Integer(r, static_cast<long>(p->scriptcontext()->random().R250() %
                                        static_cast<unsigned long>(maximum)));
}

// --- encodings, session ids, variables, languages

int Encoded(VariableTree* a, String* r, const char* name, void (*code)(String*)) {
    String s = Arg(a, name);
    code(&s);
    return Done(r, s);
}

int EncodeAttr(ScriptParser*, VariableTree* a, String* r) {
    return Encoded(a, r, "attribute", EncodeAttribute);
}
int DecodeAttr(ScriptParser*, VariableTree* a, String* r) {
    return Encoded(a, r, "attribute", DecodeAttribute);
}
int EncodeEnt(ScriptParser*, VariableTree* a, String* r) {
    return Encoded(a, r, "string", EncodeEntities);
}
int DecodeEnt(ScriptParser*, VariableTree* a, String* r) {
    return Encoded(a, r, "string", DecodeEntities);
}

int SessionId(ScriptParser*, VariableTree*, String* r) {
    return Done(r, ScriptContext::MakeSessionID());
}

int VarList(ScriptParser* p, VariableTree* a, String* r) {
    String scope = Arg(a, "scope");
    scope.StripWhitespace();
    VariableList list(0);
    Variables* vars = p->variables();
    if (scope.matches("g") || scope.matches("global")) {
        vars->GetGlobalVariableList(list);
    } else if (scope.matches("s") || scope.matches("system")) {
        vars->GetSystemVariableList(list);
    } else if (scope.matches("l") || scope.matches("local")) {
        vars->GetLocalVariableList(list);
    }
    // Visitors name form fields: the list is outside text.
    p->NoteOutsideRead();
    String names;
    for (Variable* v = list.First(); v != nullptr; v = list.Next()) {
        if (!names.empty()) names.cat(',');
        names += v->name();
    }
    return Done(r, names);
}

int SetLanguage(ScriptParser* p, VariableTree* a, String* r) {
    p->scriptcontext()->SetLanguage(Arg(a, "language"));
    return Done(r, p->scriptcontext()->language());
}

int SetDefaultLanguage(ScriptParser* p, VariableTree* a, String* r) {
    p->scriptcontext()->SetDefaultLanguage(Arg(a, "language"));
    return Done(r, p->scriptcontext()->defaultlanguage());
}

const Builtin kBuiltins[] = {
    {"time_t_month", "time_t, time_zone", TimeMonth, true},
    {"time_t_year", "time_t, time_zone", TimeYear, true},
    {"time_t_hour", "time_t, time_zone", TimeHour, true},
    {"time_t_min", "time_t, time_zone", TimeMin, true},
    {"time_t_sec", "time_t, time_zone", TimeSec, true},
    {"time_t_dayofweek", "time_t, time_zone", TimeDayOfWeek, true},
    {"time_t_dayofmonth", "time_t, time_zone", TimeDayOfMonth, true},
    {"time_t_dayofyear", "time_t, time_zone", TimeDayOfYear, true},
    {"timezone", "", TimeZone},
    {"mktime_t", "year, month, dayofmonth, hours, minutes, seconds, time_zone", MakeTime, true},
    {"asciivalue", "char", AsciiValue, true},
    {"asciichar", "ascii", AsciiChar, true},
    {"substring", "string, start, length", Substring, true},
    {"isalpha", "string", IsAlpha, true},
    {"isupper", "string", IsUpper, true},
    {"islower", "string", IsLower, true},
    {"isdigit", "string", IsDigit, true},
    {"isxdigit", "string", IsXDigit, true},
    {"isalnum", "string", IsAlnum, true},
    {"isspace", "string", IsSpace, true},
    {"ispunct", "string", IsPunct, true},
    {"isprint", "string", IsPrint, true},
    {"isgraph", "string", IsGraph, true},
    {"iscntrl", "string", IsCntrl, true},
    {"isascii", "string", IsAscii, true},
    {"rtrim", "string", RTrim, true},
    {"ltrim", "string", LTrim, true},
    {"toupper", "string", ToUpper, true},
    {"tolower", "string", ToLower, true},
    {"len", "string", Len, true},
    {"padl", "string, length, pad", PadL, true},
    {"padr", "string, length, pad", PadR, true},
    {"glosub", "string, search, replace", GloSub, true},
    {"gettoken", "string, separators, position", GetToken, true},
    {"abs", "number", Abs, true},
    {"acos", "number", Acos, true},
    {"asin", "number", Asin, true},
    {"atan", "number", Atan, true},
    {"atan2", "x, y", Atan2, true},
    {"ceil", "number", Ceil, true},
    {"cos", "number", Cos, true},
    {"cosh", "number", Cosh, true},
    {"exp", "number", Exp, true},
    {"floor", "number", Floor, true},
    {"fmod", "x, y", Fmod, true},
    {"int", "number", IntPart, true},
    {"log", "number", Log, true},
    {"log10", "number", Log10, true},
    {"power", "number, mantissa", Power, true},
    {"rnd", "number, num_places", Rnd, true},
    {"random", "maximum", Random},
    {"sin", "number", Sin, true},
    {"sinh", "number", Sinh, true},
    {"sqrt", "number", Sqrt, true},
    {"tan", "number", Tan, true},
    {"tanh", "number", Tanh, true},
    {"encodeattribute", "attribute", EncodeAttr, true},
    {"decodeattribute", "attribute", DecodeAttr, true},
    {"encodeentities", "string", EncodeEnt, true},
    {"decodeentities", "string", DecodeEnt, true},
    {"makesessionid", "", SessionId},
    {"kelp_getvarlist", "scope", VarList},
    {"kelp_setlanguage", "language", SetLanguage},
    {"kelp_setdefaultlanguage", "language", SetDefaultLanguage},
};

}  // namespace

struct tm gettm(VariableTree* params) {
    time_t t = static_cast<time_t>(strtol(Arg(params, "time_t").chars(), nullptr, 10) +
                                   strtol(Arg(params, "time_zone").chars(), nullptr, 10) * 3600);
    struct tm result;
    if (gmtime_r(&t, &result) == nullptr) {
        time_t zero = 0;
        gmtime_r(&zero, &result);
    }
    return result;
}

void SetupBuiltinFunctions(ScriptParser* parser) {
    parser->AddBuiltins(kBuiltins, static_cast<int>(sizeof kBuiltins / sizeof kBuiltins[0]));
}
