// Expressions: operator table, conversions, evaluation of the tree nodes.

#include "script/expression.h"

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <vector>

#include "foundation/key_compare.h"
#include "foundation/lazy_math.h"
#include "script/encoding.h"
#include "script/expression_node.h"
#include "script/function.h"
#include "script/number_program.h"

namespace {

// Ordered as the engine has always listed them; ended by an empty spelling.
const OperatorRecord kOperators[] = {
    {"+", 1, 3, OpAdd, 1},
    {"-", 1, 3, OpSubtract, 1},
    {"$", 1, 3, OpConcat, 1},
    {"BITAND", 6, 3, OpBitAnd, 1},
    {"BITOR", 5, 3, OpBitOr, 1},
    {"BITXOR", 6, 3, OpBitXor, 1},
    {"BITOC", 5, 3, OpBitComplement, 0},
    {"BITSL", 5, 3, OpShiftLeft, 1},
    {"BITSR", 5, 3, OpShiftRight, 1},
    {"/", 1, 4, OpDivide, 1},
    {"*", 1, 4, OpMultiply, 1},
    {"MOD", 3, 4, OpModulo, 1},
    {"AND", 3, 1, OpAnd, 1},
    {"OR", 2, 1, OpOr, 1},
    {"IN", 2, 2, OpIn, 1},
    {"CIN", 3, 2, OpCaseIn, 1},
    {"EIN", 3, 2, OpEndIn, 1},
    {"ECIN", 4, 2, OpEndCaseIn, 1},
    {"EQ", 2, 2, OpEqual, 1},
    {"NE", 2, 2, OpNotEqual, 1},
    {"GE", 2, 2, OpGreaterEqual, 1},
    {"LE", 2, 2, OpLessEqual, 1},
    {"LT", 2, 2, OpLess, 1},
    {"GT", 2, 2, OpGreater, 1},
    {"FMT", 3, 5, OpFormat, 1},
    {"ROUND", 5, 5, OpRound, 1},
    {"CRYPT", 5, 5, OpCrypt, 1},
    {"SUBSTR", 6, 5, OpSubstring, 1},
    {"POW", 3, 5, OpPower, 1},
    {"NOT", 3, 6, OpNot, 0},
    {"", 0, 0, OpNone, 0},
};

const int kFormatLimit = 512;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

void SetTruth(String* out, bool b) {
    out->assign(b ? '1' : '0');
}

long ClampToLong(double v) {
    if (isnan(v)) return 0;
    if (v >= 9.2e18) return LONG_MAX;
    if (v <= -9.2e18) return LONG_MIN;
    return static_cast<long>(v);
}

// "-0", "-0.00" and the like carry no sign.
void DropNegativeZero(String* s) {
    if (!s->matches('-', 0)) return;
    for (int i = 1; i < s->length(); i++) {
        char c = (*s)[i];
        if (c != '0' && c != '.') return;
    }
    *s = s->after(0);
}

int Compare(Operand* l, Operand* r) {
    bool lw, rw;
    double a = l->Number(&lw), b = r->Number(&rw);
    if (lw && rw) return a < b ? -1 : (a > b ? 1 : 0);
    int c = strcmp(l->Text().chars(), r->Text().chars());
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

bool Comparison(OperatorCode code, Operand* l, Operand* r) {
    return ComparisonHolds(code, Compare(l, r));
}

namespace {

int Position(const String& needle, const String& haystack, bool caseless, bool end) {
    if (needle.empty()) return end ? 0 : 1;
    int p = caseless ? haystack.upper().search(needle.upper().chars(), 0)
                     : haystack.search(needle.chars(), 0);
    if (p < 0) return 0;
    return end ? p + needle.length() : p + 1;
}

// Checks a FMT format: exactly one conversion of "diuxXoceEfFgGs" with flags, width
// and precision of at most kFormatLimit. Sets *conversion and *at (its index).
bool ValidFormat(const String& f, char* conversion, int* at) {
    if (static_cast<int>(strlen(f.chars())) != f.length()) return false;
    int conversions = 0;
    for (int i = 0; i < f.length(); i++) {
        if (f[i] != '%') continue;
        if (f[i + 1] == '%') {
            i++;
            continue;
        }
        int j = i + 1;
        while (f[j] && strchr("-+ #0", f[j])) j++;
        for (int part = 0; part < 2; part++) {
            if (part == 1) {
                if (f[j] != '.') break;
                j++;
            }
            int value = 0, digits = 0;
            while (IsDigit(f[j])) {
                if (++digits > 3) return false;  // also keeps value from overflowing
                value = value * 10 + (f[j++] - '0');
            }
            if (value > kFormatLimit) return false;
        }
        if (f[j] == '\0' || strchr("diuxXoceEfFgGs", f[j]) == nullptr) return false;
        *conversion = f[j];
        *at = j;
        conversions++;
        i = j;
    }
    return conversions == 1;
}

int Format(ExpressionContext* context, const String& l, const String& r, String* out) {
    if (l.length() > kFormatLimit) {
        context->ExpressionError(
            "The left operand to the FMT operator is limited to 512 characters");
        return 0;
    }
    char conversion;
    int at;
    if (!ValidFormat(r, &conversion, &at)) {
        context->ExpressionError("Invalid FMT format '" + Entities(r) + "'");
        return 0;
    }
    char buffer[kFormatLimit + 1];
    buffer[0] = '\0';
    if (strchr("diuxXo", conversion)) {
        // Integer conversions print a long: insert the length modifier.
        String f = r.before(at) + "l" + r.from(at);
        long v = ClampToLong(ToNumber(l));
        snprintf(buffer, sizeof buffer, f.chars(), v);
    } else if (conversion == 'c') {
        snprintf(buffer, sizeof buffer, r.chars(), static_cast<int>(ClampToLong(ToNumber(l))));
    } else if (conversion == 's') {
        snprintf(buffer, sizeof buffer, r.chars(), l.chars());
    } else {
        snprintf(buffer, sizeof buffer, r.chars(), ToNumber(l));
    }
    *out = buffer;
    return 1;
}

String Round(const String& l, const String& r) {
    long places = ToInteger(r);
    if (places > 400) places = 400;  // beyond any digit a double holds
    if (places < 0) places = 6;      // as printf treats a negative precision
    char buffer[1024];
    snprintf(buffer, sizeof buffer, "%.*f", static_cast<int>(places), ToNumber(l));
    String s(buffer);
    DropNegativeZero(&s);
    return s;
}

// Reads an unsigned decimal number after optional blanks; false without digits.
bool ReadUnsigned(const char** p, long* v) {
    while (IsSpace(**p)) (*p)++;
    if (!IsDigit(**p)) return false;
    *v = 0;
    while (IsDigit(**p)) {
        if (*v < INT_MAX) *v = *v * 10 + (**p - '0');
        (*p)++;
    }
    return true;
}

String Substring(const String& l, const String& r) {
    const char* p = r.chars();
    long start, length;
    if (!ReadUnsigned(&p, &start) || *p++ != ',' || !ReadUnsigned(&p, &length)) return String();
    if (start == 0) start = 1;
    long end = start - 1 + length;
    if (end > INT_MAX) end = INT_MAX;
    if (start - 1 >= l.length()) return String();
    return l.at(static_cast<int>(start - 1), static_cast<int>(end));
}

}  // namespace

int ArithmeticValue(ExpressionContext* context, OperatorCode code, double a, double b,
                    double* out) {
    switch (code) {
        case OpAdd:
            *out = a + b;
            return 1;
        case OpSubtract:
            *out = a - b;
            return 1;
        case OpMultiply:
            *out = a * b;
            return 1;
        case OpPower:
            *out = lazymath::Pow(a, b);
            return 1;
        default:
            break;
    }
    if (b == 0) {
        context->ExpressionError("Divide by 0");
        return 0;
    }
    *out = a / b;
    return 1;
}

namespace {

int Bitwise(ExpressionContext* context, OperatorCode code, const String& l, const String& r,
            String* out) {
    long a = ToInteger(l), b = ToInteger(r);
    unsigned shift = static_cast<unsigned>(((b % 32) + 32) % 32);
    long v = 0;
    switch (code) {
        case OpBitAnd:
            v = a & b;
            break;
        case OpBitOr:
            v = a | b;
            break;
        case OpBitXor:
            v = a ^ b;
            break;
        case OpBitComplement:
            v = ~b;
            break;
        case OpShiftLeft:
            v = static_cast<long>(static_cast<unsigned long>(a) << shift);
            break;
        case OpShiftRight:
            v = a >> shift;
            break;
        default:  // OpModulo
            if (b == 0) {
                context->ExpressionError("Divide by 0");
                return 0;
            }
            v = b == -1 ? 0 : a % b;  // LONG_MIN % -1 would trap
            break;
    }
    *out = String::FromInt(v);
    return 1;
}

}  // namespace

const OperatorRecord* FindOperator(const char* s, int n) {
    for (const OperatorRecord* op = kOperators; op->length > 0; op++) {
        if (op->length == n && SameKeyPrefix(op->spelling, s, n)) return op;
    }
    return nullptr;
}

double ToNumber(const String& s, bool* whole) {
    const char* begin = s.chars();
    const char* p = begin;
    while (IsSpace(*p)) p++;
    const char* q = p;
    bool negative = *q == '-';
    if (*q == '+' || *q == '-') q++;
    const char* first = q;
    long integer = 0;
    while (IsDigit(*q) && q - first < 15) integer = integer * 10 + (*q++ - '0');
    while (IsDigit(*q)) q++;
    int digits = static_cast<int>(q - first);
    if (digits > 0 && digits <= 15 && *q != '.' && *q != 'e' && *q != 'E') {
        // A plain integer: exact as a double, no need for strtod.
        if (whole) *whole = q == begin + s.length();
        return negative ? -static_cast<double>(integer) : static_cast<double>(integer);
    }
    if (*q == '.') {
        q++;
        while (IsDigit(*q)) q++, digits++;
    }
    if (digits == 0) {
        if (whole) *whole = s.empty();
        return 0;
    }
    if (*q == 'e' || *q == 'E') {
        const char* e = q + 1;
        if (*e == '+' || *e == '-') e++;
        if (IsDigit(*e)) {
            while (IsDigit(*e)) e++;
            q = e;
        }
    }
    // Convert exactly the decimal prefix: strtod alone would also read hex and "inf".
    int n = static_cast<int>(q - p);
    char small[64];
    errno = 0;
    double v;
    if (n < static_cast<int>(sizeof small)) {
        memcpy(small, p, n);
        small[n] = '\0';
        v = strtod(small, nullptr);
    } else {
        v = strtod(String(p, n).chars(), nullptr);
    }
    bool overflow = errno == ERANGE && isinf(v);
    if (whole) *whole = q == begin + s.length() && !overflow;
    return v;
}

long ToInteger(const String& s) {
    return strtol(s.chars(), nullptr, 10);
}

void FormatNumber(double v, String* out) {
    // Whole numbers print exactly as "%f" trimmed would print them.
    if (v > -1e15 && v < 1e15 && v == static_cast<double>(static_cast<long>(v))) {
        out->clear();
        out->catint(static_cast<long>(v));
        return;
    }
    char buffer[512];
    snprintf(buffer, sizeof buffer, "%f", v);
    String& s = *out;
    s = buffer;
    if (s.contains('.', 0)) {
        int end = s.length();
        while (end > 0 && s[end - 1] == '0') end--;
        if (end > 0 && s[end - 1] == '.') end--;
        s = s.before(end);
    }
    DropNegativeZero(&s);
}

String FormatNumber(double v) {
    String s;
    FormatNumber(v, &s);
    return s;
}

namespace {

typedef char* (*CryptFunction)(const char*, const char*);

// crypt() of the system's library, loaded when a page first hashes: the program
// starts with libc alone.
CryptFunction SystemCrypt() {
    static CryptFunction function = [] {
        void* library = dlopen("libcrypt.so.1", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return static_cast<CryptFunction>(nullptr);
        return reinterpret_cast<CryptFunction>(dlsym(library, "crypt"));
    }();
    return function;
}

}  // namespace

String CryptText(const String& key, const String& salt) {
    CryptFunction crypt = SystemCrypt();
    if (crypt == nullptr) return String();
    const char* hashed = crypt(key.chars(), salt.chars());
    // A salt the library refuses gives no hash (or its failure token) but never a crash.
    return hashed != nullptr ? String(hashed) : String();
}

bool Expression::IsTrue(const String& value) {
    int points = 0;
    for (int i = 0; i < value.length(); i++) {
        char c = value[i];
        if (c == '.') {
            if (++points > 1) return true;
        } else if (c != '0') {
            return true;
        }
    }
    return false;
}

int ApplyOperator(ExpressionContext* context, const OperatorRecord* op, Operand* lo, Operand* ro,
                  String* out) {
    bool whole;
    switch (op->code) {
        case OpAdd:
        case OpSubtract:
        case OpMultiply:
        case OpDivide:
        case OpPower: {
            double v;
            if (!ArithmeticValue(context, op->code, lo->Number(&whole), ro->Number(&whole), &v))
                return 0;
            FormatNumber(v, out);
            return 1;
        }
        case OpEqual:
        case OpNotEqual:
        case OpGreaterEqual:
        case OpLessEqual:
        case OpLess:
        case OpGreater:
            SetTruth(out, Comparison(op->code, lo, ro));
            return 1;
        default:
            break;
    }
    const String& l = lo->Text();
    const String& r = ro->Text();
    switch (op->code) {
        case OpConcat:
            *out = l;
            out->cat(r.chars(), r.length());
            return 1;
        case OpBitAnd:
        case OpBitOr:
        case OpBitXor:
        case OpBitComplement:
        case OpShiftLeft:
        case OpShiftRight:
        case OpModulo:
            return Bitwise(context, op->code, l, r, out);
        case OpAnd:
            SetTruth(out, Expression::IsTrue(l) && Expression::IsTrue(r));
            return 1;
        case OpOr:
            SetTruth(out, Expression::IsTrue(l) || Expression::IsTrue(r));
            return 1;
        case OpNot:
            SetTruth(out, !Expression::IsTrue(r));
            return 1;
        case OpIn:
            *out = String::FromInt(Position(l, r, false, false));
            return 1;
        case OpCaseIn:
            *out = String::FromInt(Position(l, r, true, false));
            return 1;
        case OpEndIn:
            *out = String::FromInt(Position(l, r, false, true));
            return 1;
        case OpEndCaseIn:
            *out = String::FromInt(Position(l, r, true, true));
            return 1;
        case OpFormat:
            return Format(context, l, r, out);
        case OpRound:
            *out = Round(l, r);
            return 1;
        case OpCrypt:
            if (r.empty()) {
                context->ExpressionError("The CRYPT operator expects a non-empty alphabet");
                return 0;
            }
            if (SystemCrypt() == nullptr) {
                context->ExpressionError(
                    "The CRYPT operator needs the system's crypt library (libcrypt.so.1)");
                return 0;
            }
            *out = CryptText(l, r.length() == 1 ? r + r : r.before(2));
            return 1;
        case OpSubstring:
            *out = Substring(l, r);
            return 1;
        default:  // none, or answered above
            break;
    }
    return 0;
}

Expression::Expression(ExpressionNode* root, const String& source) : root_(root), source_(source) {}

bool Expression::Bind(ExpressionContext* context) {
    for (CallNode* call : calls_) {
        if (!call->Bind(context)) return false;
    }
    return true;
}

Expression::~Expression() {
    delete program_;
    delete concat_;
    delete root_;
}

bool Expression::flat_ = true;

const NumberProgram* Expression::Program() const {
    if (evaluations_ < 2 && ++evaluations_ == 2) {
        program_ = NumberProgram::Make(root_);
        if (program_ == nullptr) concat_ = ConcatProgram::Make(root_);
    }
    return flat_ ? program_ : nullptr;
}

const NumberProgram* Expression::Numbers() const {
    if (evaluations_ < 2) evaluations_ = 1;
    return Program();
}

const ConcatProgram* Expression::Joins() const {
    Numbers();
    return flat_ ? concat_ : nullptr;
}

bool Expression::RunFlat(ExpressionContext* context, String* result, NumberHint* hint,
                         bool* outside) const {
    Program();  // made at the second evaluation
    return RunMade(context, result, hint, outside);
}

bool Expression::pure() const {
    return root_ == nullptr || root_->pure();
}

namespace {

// Each evaluation keeps its own record of outside text: an expression evaluated
// while another one is (a function body's, during a call) neither sees nor adds to
// the outer record; what a call returns is noted by the call itself.
class OutsideRecord {
  public:
    explicit OutsideRecord(ExpressionContext* context)
        : context_(context), outer_(context->outsideread()) {
        context->SetOutsideRead(false);
    }
    ~OutsideRecord() { context_->SetOutsideRead(outer_); }
    void Report(bool* outside) const {
        if (outside) *outside = context_->outsideread();
    }

  private:
    ExpressionContext* context_;
    bool outer_;
};

}  // namespace

int Expression::Evaluate(ExpressionContext* context, String* result, bool* outside) const {
    if (Flat(context, result, nullptr, outside)) return 1;
    OutsideRecord record(context);
    int ok = root_->Evaluate(context, result);
    record.Report(outside);
    return ok;
}

int Expression::Evaluate(ExpressionContext* context, String* result, NumberHint* hint,
                         bool* outside) const {
    if (Flat(context, result, hint, outside)) return 1;
    OutsideRecord record(context);
    int ok = root_->EvaluateHinted(context, result, hint);
    record.Report(outside);
    return ok;
}

int EvaluateExpressionText(ExpressionContext* context, const String& text, String* result,
                           bool* outside) {
    StringSource source(text);
    ExpressionSyntax syntax = {nullptr, false, false, false, false};
    ExpressionEnd end;
    Expression* e = ReadExpression(context, &source, syntax, &end);
    if (e == nullptr) return 0;
    int ok = e->Evaluate(context, result, outside);
    delete e;
    return ok;
}

int StringSource::GetNextChar() {
    if (position_ >= text_.length()) return -1;
    return static_cast<unsigned char>(text_[position_++]);
}

void StringSource::UnGetChar(int c) {
    if (c >= 0 && position_ > 0) position_--;
}

int VariableNode::Evaluate(ExpressionContext* context, String* out) const {
    Variable* v = context->store()->Find(name_);
    if (v != nullptr) {
        if (v->outside()) context->NoteOutsideRead();
        *out = v->value();
    } else {
        out->clear();
        context->UndefinedVariable(written_);
    }
    return 1;
}

CallNode::~CallNode() {
    for (ExpressionNode* a : arguments_) delete a;
}

int CallNode::Evaluate(ExpressionContext* context, String* out) const {
    return Call(context, out, nullptr);
}

int CallNode::EvaluateHinted(ExpressionContext* context, String* out, NumberHint* hint) const {
    NumberHint number;
    bool maydefer = hint->maydefer && function_ != nullptr && !function_->builtin();
    if (!Call(context, out, maydefer ? &number : nullptr)) return 0;
    if (!number.deferred) {
        hint->known = false;
        return 1;
    }
    hint->known = true;
    hint->number = number.number;
    hint->whole = true;
    hint->deferred = true;
    return 1;
}

int CallNode::EvaluateNumber(ExpressionContext* context, double* out) const {
    String text;
    NumberHint hint;
    hint.maydefer = true;
    if (!EvaluateHinted(context, &text, &hint)) return 0;
    // The text of a deferred number reads back as the number.
    *out = hint.deferred ? hint.number : ToNumber(text);
    return 1;
}

namespace {

// An argument's value, evaluated before any is bound to its parameter.
struct CallArgument {
    String value;
    bool outside = false;
    NumberHint hint;
};

// The argument of a pure built-in that is a variable's long text: the built-in reads
// the variable's own text instead of a copy. Nothing runs while it lives (every
// argument is pure and so is the built-in), so the text cannot change under it; an
// assignment to it makes it a variable of its own.
class BorrowedArgument final : public Variable {
  public:
    BorrowedArgument(const String& name, Variable* source, bool outside)
        : Variable(name, String(), outside), source_(source) {}
    const String& value() override { return source_ ? source_->value() : Variable::value(); }
    int SetValue(const String& value) override {
        source_ = nullptr;
        return Variable::SetValue(value);
    }
    int SetNumber(double number) override {
        source_ = nullptr;
        return Variable::SetNumber(number);
    }

  private:
    Variable* source_;  // not owned
};

// As many arguments as a call has, on the stack for the usual few.
class CallArguments {
  public:
    explicit CallArguments(size_t count) : count_(count) {
        if (count > kFew) {
            many_.resize(count);
            values = many_.data();
            return;
        }
        values = reinterpret_cast<CallArgument*>(few_);
        for (size_t i = 0; i < count; i++) new (&values[i]) CallArgument;
    }
    ~CallArguments() {
        for (size_t i = 0; count_ <= kFew && i < count_; i++) values[i].~CallArgument();
    }
    CallArguments(const CallArguments&) = delete;
    CallArguments& operator=(const CallArguments&) = delete;

    CallArgument* values;

  private:
    static const size_t kFew = 4;
    size_t count_;
    alignas(CallArgument) unsigned char few_[kFew * sizeof(CallArgument)];
    std::vector<CallArgument> many_;
};

}  // namespace

Variable* CallNode::Borrowable(const ExpressionNode* node, ExpressionContext* context) {
    // Only text long enough that a copy would cost an allocation.
    if (node->kind() != ExpressionNode::KindVariable) return nullptr;
    Variable* v = context->store()->Find(static_cast<const VariableNode*>(node)->name_);
    if (v == nullptr || !v->stable() || v->pending()) return nullptr;
    return v->value().length() >= String::kStep ? v : nullptr;
}

int CallNode::Call(ExpressionContext* context, String* out, NumberHint* number) const {
    if (function_ == nullptr) {
        context->ExpressionError("Call to undefined function '" + Entities(name_) + "'");
        return 0;
    }
    // All arguments are evaluated before they are bound to the parameters: an
    // argument may call this same function, which walks the parameter list too.
    const size_t count = arguments_.size();
    CallArguments held(count);
    CallArgument* values = held.values;
    // Each parameter knows whether its argument is outside text; the call's result is
    // outside text when any argument is. A whole number goes to its parameter as a
    // number, its text written only if the body reads it.
    bool read = context->outsideread();
    // A pure built-in's arguments that are variables' long texts are read where they
    // stand (see BorrowedArgument): the usual few.
    Variable* borrowed[4];
    bool borrows = allpure_ && function_->pure() && count <= 4;
    for (size_t i = 0; i < count; i++) {
        CallArgument& a = values[i];
        if (borrows && (borrowed[i] = Borrowable(arguments_[i], context)) != nullptr) {
            a.outside = borrowed[i]->outside();
            read = read || a.outside;
            continue;
        }
        context->SetOutsideRead(false);
        a.hint.maydefer = true;
        if (!arguments_[i]->EvaluateHinted(context, &a.value, &a.hint)) return 0;
        a.outside = context->outsideread();
        read = read || a.outside;
    }
    context->SetOutsideRead(read);
    VariableTree arguments(1);
    VariableList& parameters = function_->Parameters();
    Variable* parameter = parameters.First();
    static const String kNoName;
    if (static_cast<int>(count) == parameters.Entries()) arguments.layout = function_->layout();
    if (arguments.layout != 0) arguments.slotcount = static_cast<int>(count);
    // A built-in finds its arguments in the slots alone (VariableTree::Argument); a
    // user function's scope is searched by name as well.
    bool slotsonly = arguments.layout != 0 && function_->builtin();
    for (size_t i = 0; i < count; i++) {
        const String& name = parameter ? parameter->name() : kNoName;
        Variable* v;
        if (borrows && borrowed[i] != nullptr) {
            v = new BorrowedArgument(name, borrowed[i], values[i].outside);
        } else {
            v = Variable::Plain(name, kNoName, values[i].outside);
            v->Adopt(&values[i].value, &values[i].hint);
        }
        if (arguments.layout != 0) arguments.slots[i] = v;
        if (!slotsonly) arguments.Insert(v);
        if (parameter) parameter = parameters.Next();
    }
    context->SetNumberResult(number);
    int r = context->CallFunction(function_, &arguments, out);
    context->SetNumberResult(nullptr);
    if (slotsonly) {
        for (int k = 0; k < arguments.slotcount; k++) delete arguments.slots[k];
    }
    return r;
}

int ExpressionNode::EvaluateNumber(ExpressionContext* context, double* out) const {
    String text;
    if (!Evaluate(context, &text)) return 0;
    *out = ToNumber(text);
    return 1;
}

int VariableNode::EvaluateNumber(ExpressionContext* context, double* out) const {
    Variable* v = context->store()->Find(name_);
    if (v == nullptr) {
        context->UndefinedVariable(written_);
        *out = 0;
        return 1;
    }
    if (v->outside()) context->NoteOutsideRead();
    *out = v->Number();
    return 1;
}

int VariableNode::EvaluateHinted(ExpressionContext* context, String* out, NumberHint* hint) const {
    Variable* v = context->store()->Find(name_);
    if (v == nullptr) {
        out->clear();
        hint->known = false;
        context->UndefinedVariable(written_);
        return 1;
    }
    if (v->outside()) context->NoteOutsideRead();
    if (v->pending() && hint->maydefer) {
        // A whole number goes on as a number: its text is written where it is read.
        hint->known = true;
        hint->number = v->number();
        hint->whole = true;
        hint->deferred = true;
        return 1;
    }
    *out = v->value();
    hint->known = v->stable();
    if (hint->known) hint->number = v->Number(&hint->whole);
    return 1;
}

int ExpressionNode::EvaluateOperand(ExpressionContext* context, Operand* out) const {
    out->text = &out->scratch;
    return Evaluate(context, &out->scratch);
}

int VariableNode::EvaluateOperand(ExpressionContext* context, Operand* out) const {
    static const String kEmpty;
    Variable* v = context->store()->Find(name_);
    if (v == nullptr) {
        out->text = &kEmpty;
        context->UndefinedVariable(written_);
        return 1;
    }
    if (v->outside()) context->NoteOutsideRead();
    if (v->stable()) {
        out->variable = v;  // its text is fetched when needed
    } else {
        out->scratch = v->value();
        out->text = &out->scratch;
    }
    return 1;
}

namespace {

// EvaluateNumber() and EvaluateOperand() of a node: the common kinds are called
// directly, so that an operator over variables and constants makes no virtual call.
inline int NumberOf(const ExpressionNode* node, ExpressionContext* context, double* out) {
    switch (node->kind()) {
        case ExpressionNode::KindConstant:
            return static_cast<const ConstantNode*>(node)->ConstantNode::EvaluateNumber(context,
                                                                                        out);
        case ExpressionNode::KindVariable:
            return static_cast<const VariableNode*>(node)->VariableNode::EvaluateNumber(context,
                                                                                        out);
        case ExpressionNode::KindOperator:
            return static_cast<const OperatorNode*>(node)->OperatorNode::EvaluateNumber(context,
                                                                                        out);
        default:
            return node->EvaluateNumber(context, out);
    }
}

inline int OperandOf(const ExpressionNode* node, ExpressionContext* context, Operand* out) {
    switch (node->kind()) {
        case ExpressionNode::KindConstant:
            return static_cast<const ConstantNode*>(node)->ConstantNode::EvaluateOperand(context,
                                                                                         out);
        case ExpressionNode::KindVariable:
            return static_cast<const VariableNode*>(node)->VariableNode::EvaluateOperand(context,
                                                                                         out);
        default:
            return node->EvaluateOperand(context, out);
    }
}

}  // namespace

inline int OperatorNode::Operands(ExpressionContext* context, Operand* l, Operand* r) const {
    // Both operands are always evaluated: AND and OR do not short-circuit. The left
    // value may be held by reference only when the right one cannot change it.
    static const String kEmpty;
    if (left_ == nullptr) {
        l->text = &kEmpty;
    } else if (rightpure_) {
        if (!OperandOf(left_, context, l)) return 0;
    } else {
        l->text = &l->scratch;
        if (!left_->Evaluate(context, &l->scratch)) return 0;
    }
    return OperandOf(right_, context, r);
}

int OperatorNode::Truth(ExpressionContext* context, bool* out) const {
    Operand l, r;
    if (!Operands(context, &l, &r)) return 0;
    *out = Comparison(op_->code, &l, &r);
    return 1;
}

int OperatorNode::Compute(ExpressionContext* context, double* out) const {
    double a = 0, b;
    if (left_ != nullptr && !NumberOf(left_, context, &a)) return 0;
    if (!NumberOf(right_, context, &b)) return 0;
    return ArithmeticValue(context, op_->code, a, b, out);
}

int OperatorNode::EvaluateNumber(ExpressionContext* context, double* out) const {
    if (Compares()) {
        bool truth;
        if (!Truth(context, &truth)) return 0;
        *out = truth ? 1 : 0;
        return 1;
    }
    if (!Arithmetic()) return ExpressionNode::EvaluateNumber(context, out);
    double v;
    if (!Compute(context, &v)) return 0;
    // A whole number prints and reads back exactly; anything else goes through its
    // six-decimal text, as the next operator would read it.
    bool exact = v > -1e15 && v < 1e15 && v == static_cast<double>(static_cast<long>(v));
    *out = exact ? v : ToNumber(FormatNumber(v));
    return 1;
}

int OperatorNode::EvaluateHinted(ExpressionContext* context, String* out, NumberHint* hint) const {
    if (Compares()) {
        // "1" or "0": a loop's condition or an IF's value is often only tested.
        bool truth;
        if (!Truth(context, &truth)) return 0;
        hint->known = true;
        hint->number = truth ? 1 : 0;
        hint->whole = true;
        hint->deferred = hint->maydefer;
        if (!hint->deferred) SetTruth(out, truth);
        return 1;
    }
    if (!Arithmetic()) {
        hint->known = false;
        return Evaluate(context, out);
    }
    double v;
    if (!Compute(context, &v)) return 0;
    // A whole number's text is all digits and reads back exactly.
    hint->known = v > -1e15 && v < 1e15 && v == static_cast<double>(static_cast<long>(v));
    hint->number = v == 0 ? 0 : v;
    hint->whole = true;
    hint->deferred = hint->known && hint->maydefer;
    if (!hint->deferred) FormatNumber(v, out);
    return 1;
}

int OperatorNode::Evaluate(ExpressionContext* context, String* out) const {
    if (Arithmetic()) {
        double v;
        if (!Compute(context, &v)) return 0;
        FormatNumber(v, out);
        return 1;
    }
    Operand l, r;
    if (!Operands(context, &l, &r)) return 0;
    if (l.text == out || r.text == out) {
        // The result replaces a value an operand still reads.
        String result;
        int ok = ApplyOperator(context, op_, &l, &r, &result);
        *out = result;
        return ok;
    }
    return ApplyOperator(context, op_, &l, &r, out);
}
