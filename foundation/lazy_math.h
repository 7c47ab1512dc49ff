#ifndef KELP_FOUNDATION_LAZY_MATH_H
#define KELP_FOUNDATION_LAZY_MATH_H

// The mathematical functions of the C library's libm, loaded when a page first
// computes one of them. Most requests never do, and having the loader map libm at
// every start costs a small request about a tenth of its time. floor, ceil, trunc and
// fabs are not here: the compiler computes them in line.
namespace lazymath {

double Acos(double x);
double Asin(double x);
double Atan(double x);
double Atan2(double y, double x);
double Cos(double x);
double Cosh(double x);
double Exp(double x);
double Fmod(double x, double y);
double Log(double x);
double Log10(double x);
double Pow(double x, double y);
double Round(double x);
double Sin(double x);
double Sinh(double x);
double Sqrt(double x);
double Tan(double x);
double Tanh(double x);

}  // namespace lazymath

#endif  // KELP_FOUNDATION_LAZY_MATH_H
