#include "foundation/lazy_math.h"

#include <dlfcn.h>
#include <math.h>
#include <stdio.h>

namespace lazymath {
namespace {

typedef double (*Unary)(double);
typedef double (*Binary)(double, double);

enum Function {
    kAcos,
    kAsin,
    kAtan,
    kAtan2,
    kCos,
    kCosh,
    kExp,
    kFmod,
    kLog,
    kLog10,
    kPow,
    kRound,
    kSin,
    kSinh,
    kSqrt,
    kTan,
    kTanh,
    kFunctions
};

const char* const kNames[kFunctions] = {"acos", "asin", "atan", "atan2", "cos", "cosh",
                                        "exp",  "fmod", "log",  "log10", "pow", "round",
                                        "sin",  "sinh", "sqrt", "tan",   "tanh"};

void* functions[kFunctions];
bool loaded = false;

void* Get(Function f) {
    if (!loaded) {
        loaded = true;
        void* lib = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) {
            fprintf(stderr, "kelp: cannot load libm.so.6: %s\n", dlerror());
            return nullptr;
        }
        for (int i = 0; i < kFunctions; i++) functions[i] = dlsym(lib, kNames[i]);
    }
    return functions[f];
}

double One(Function f, double x) {
    Unary fn = reinterpret_cast<Unary>(Get(f));
    return fn != nullptr ? fn(x) : NAN;
}

double Two(Function f, double x, double y) {
    Binary fn = reinterpret_cast<Binary>(Get(f));
    return fn != nullptr ? fn(x, y) : NAN;
}

}  // namespace

double Acos(double x) {
    return One(kAcos, x);
}
double Asin(double x) {
    return One(kAsin, x);
}
double Atan(double x) {
    return One(kAtan, x);
}
double Atan2(double y, double x) {
    return Two(kAtan2, y, x);
}
double Cos(double x) {
    return One(kCos, x);
}
double Cosh(double x) {
    return One(kCosh, x);
}
double Exp(double x) {
    return One(kExp, x);
}
double Fmod(double x, double y) {
    return Two(kFmod, x, y);
}
double Log(double x) {
    return One(kLog, x);
}
double Log10(double x) {
    return One(kLog10, x);
}
double Pow(double x, double y) {
    return Two(kPow, x, y);
}
double Round(double x) {
    return One(kRound, x);
}
double Sin(double x) {
    return One(kSin, x);
}
double Sinh(double x) {
    return One(kSinh, x);
}
double Sqrt(double x) {
    return One(kSqrt, x);
}
double Tan(double x) {
    return One(kTan, x);
}
double Tanh(double x) {
    return One(kTanh, x);
}

}  // namespace lazymath
