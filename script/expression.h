// Expressions: the operator table, the reader that turns expression text (from a
// string or straight from the script) into a tree, and its evaluation. Every value
// is a String; operators convert operands as they need.

#ifndef SCRIPT_EXPRESSION_H_
#define SCRIPT_EXPRESSION_H_

#include <utility>
#include <vector>

#include "foundation/string.h"
#include "script/character_source.h"
#include "script/number_hint.h"
#include "script/variables.h"

class Function;

// Operator codes.
enum OperatorCode {
    OpAdd = 0,
    OpSubtract = 1,
    OpConcat = 2,
    OpBitAnd = 3,
    OpBitOr = 4,
    OpBitXor = 5,
    OpBitComplement = 6,
    OpShiftLeft = 7,
    OpShiftRight = 8,
    OpDivide = 9,
    OpMultiply = 10,
    OpAnd = 11,
    OpOr = 12,
    OpIn = 13,
    OpCaseIn = 14,
    OpEndIn = 15,
    OpEndCaseIn = 16,
    OpEqual = 17,
    OpNotEqual = 18,
    OpGreaterEqual = 19,
    OpLessEqual = 20,
    OpLess = 21,
    OpGreater = 22,
    OpNot = 23,
    OpFormat = 24,
    OpRound = 25,
    OpCrypt = 26,
    OpModulo = 27,
    OpSubstring = 28,
    OpPower = 29,
    OpNone = 30,
};

// Whether a comparison operator holds for c, the comparison of its operands (negative,
// zero or positive as the left one sorts before, with or after the right one).
inline bool ComparisonHolds(OperatorCode code, int c) {
    switch (code) {
        case OpEqual:
            return c == 0;
        case OpNotEqual:
            return c != 0;
        case OpGreaterEqual:
            return c >= 0;
        case OpLessEqual:
            return c <= 0;
        case OpLess:
            return c < 0;
        default:
            return c > 0;  // OpGreater
    }
}

// One row of the operator table. A larger precedence binds tighter.
struct OperatorRecord {
    const char* spelling;
    int length;
    int precedence;
    OperatorCode code;
    int binary;  // 1 binary, 0 unary prefix
};

// The operator spelled by the first n bytes of s (case ignored, exact length), or null.
const OperatorRecord* FindOperator(const char* s, int n);

// What expressions need from the interpreter that runs them.
class ExpressionContext {
  public:
    virtual ~ExpressionContext() {}
    virtual Variables* variables() = 0;
    // variables(), read without a call where the context keeps one store for good.
    Variables* store() { return store_ != nullptr ? store_ : variables(); }
    // The function of that name, or null. The interpreter may look ahead in the
    // script for a declaration.
    virtual Function* FindFunction(const String& name) = 0;
    // The function of that name when it is known already (no look ahead), or null.
    virtual Function* FindDeclaredFunction(const String& name) { return FindFunction(name); }
    // Runs f with its arguments (variables named after its parameters). Returns 1
    // with *result set, or 0 when the call failed (already reported).
    virtual int CallFunction(Function* f, VariableTree* arguments, String* result) = 0;
    // Reports an expression error with this message.
    [[gnu::cold]] virtual void ExpressionError(const String& message) = 0;
    // Told of every function call the reader reads, with its argument count (a
    // checker collects them; the interpreter has no use for it).
    virtual void NoteCall(const String&, int) {}
    // Told when a variable or field read in an expression does not exist (it reads
    // empty); an interpreter may warn of it.
    [[gnu::cold]] virtual void UndefinedVariable(const String&) {}

    // Whether outside text (see Variable) has gone into the evaluation under way:
    // noted by variables holding it, constants read from it, arguments, and
    // functions that bring it in (files, the request, tables, the network).
    bool outsideread() const { return outsideread_; }
    // A call of a user function whose caller can take a whole number with its text
    // unwritten: the caller sets where the number goes just before CallFunction(); the
    // interpreter takes it at once and, when the function returns such a number, fills
    // it in (deferred) and leaves the result's text empty.
    void SetNumberResult(NumberHint* hint) { numberresult_ = hint; }
    NumberHint* TakeNumberResult() {
        NumberHint* hint = numberresult_;
        numberresult_ = nullptr;
        return hint;
    }
    void NoteOutsideRead() { outsideread_ = true; }
    void SetOutsideRead(bool read) { outsideread_ = read; }

  protected:
    // Set by a context whose variables() never changes.
    Variables* store_ = nullptr;

  private:
    bool outsideread_ = false;
    NumberHint* numberresult_ = nullptr;
};

// Reads a String.
class StringSource : public CharacterSource {
  public:
    explicit StringSource(const String& text) : text_(text), position_(0) {}
    int GetNextChar() override;
    void UnGetChar(int c) override;

  private:
    const String& text_;  // not owned
    int position_;
};

// How an expression is delimited where it is read.
struct ExpressionSyntax {
    // Characters that end the expression outside quotes (consumed), such as ">"
    // for a tag; null or empty for none.
    const char* terminators;
    // In a tag: a complete operand followed by something that is not an operator
    // ends the expression, and that text is left for the next attribute. Otherwise
    // the expression must use up everything up to a terminator or the end.
    bool stopatoperand;
    // A value beginning with a double quote is expression text up to the closing
    // double quote (string constants inside use single quotes).
    bool quotedexpression;
    // Read from the script: the end of the input is an error, not the end of the
    // expression.
    bool fromscript;
    // Only the syntax is checked and the source kept, for text evaluated later in
    // another context: function calls are not looked up.
    bool checkonly;
};

// How reading ended.
enum ExpressionEnd {
    ExpressionFailed = 0,      // reported through the context
    ExpressionMore = 2,        // another attribute follows
    ExpressionTerminated = 3,  // a terminator was read (see terminator)
    ExpressionEndOfText = 4,   // the end of the input
};

class CallNode;
class ExpressionNode;
class ConcatProgram;
class NumberProgram;

// A parsed expression, kept to be evaluated any number of times.
class Expression {
  public:
    // Takes ownership of root.
    Expression(ExpressionNode* root, const String& source);
    ~Expression();
    Expression(const Expression&) = delete;
    Expression& operator=(const Expression&) = delete;

    // Returns 1 with *result set, or 0 after reporting an error through context.
    // *outside (when given) tells whether the result is outside text.
    int Evaluate(ExpressionContext* context, String* result, bool* outside = nullptr) const;
    // The same, and *hint tells what the result reads as a number when that is
    // known without reading it.
    int Evaluate(ExpressionContext* context, String* result, NumberHint* hint,
                 bool* outside = nullptr) const;
    // The same, for a caller that evaluates the expression over and over (a compiled
    // body's step, a loop's condition): an expression of numbers runs its flat
    // program straight away (see script/number_program.h).
    inline int EvaluateOften(ExpressionContext* context, String* result, NumberHint* hint,
                             bool* outside) const;
    // The tokens as read, separated by single blanks; reading it again gives the
    // same expression.
    const String& source() const { return source_; }
    // Whether evaluating it calls nothing (constants, variables and operators only).
    bool pure() const;
    // Whether it calls functions by name (user functions or built-ins).
    bool calls() const { return !calls_.empty(); }
    // Looks up again, in context, the functions it calls, in the order they were read,
    // as reading it there would (without a look ahead for a declaration): for an
    // expression kept from another run of the script. False, with some calls left as
    // they were, when a function is not known yet or takes another number of
    // parameters: the expression must then be read again in context.
    bool Bind(ExpressionContext* context);
    // The calls of the tree, in reading order (not owned: nodes of the tree).
    void SetCalls(std::vector<CallNode*> calls) { calls_ = std::move(calls); }

    // False for text made only of zero digits and at most one decimal point (the
    // empty string, 0, 0.0, 000, "."); true otherwise.
    static bool IsTrue(const String& value);
    // IsTrue() of a value computed with hint, whose text may still be unwritten
    // (hint.deferred: the text is the whole number's plain form).
    static bool IsTrue(const String& value, const NumberHint& hint) {
        return hint.deferred ? hint.number != 0 : IsTrue(value);
    }

    // Whether expressions of numbers run flat (on unless a test compares them with
    // their trees).
    static void SetFlat(bool on) { flat_ = on; }
    // Whether it has a flat form.
    bool flat() const { return program_ != nullptr || concat_ != nullptr; }
    // The flat program of an expression of numbers, made now if it is not made yet,
    // for a caller that runs it itself; null when it has none or expressions do not
    // run flat.
    const NumberProgram* Numbers() const;
    // The same for the flat program of joined text.
    const ConcatProgram* Joins() const;

  private:
    static bool flat_;
    // The flat form of an expression of numbers, made at its second evaluation (most
    // expressions are evaluated once); null when it has none.
    const NumberProgram* Program() const;
    // Evaluate() through the flat form; false when there is none or it gave up.
    bool Flat(ExpressionContext* context, String* result, NumberHint* hint, bool* outside) const {
        return (program_ != nullptr || concat_ != nullptr || evaluations_ < 2) &&
               RunFlat(context, result, hint, outside);
    }
    bool RunFlat(ExpressionContext* context, String* result, NumberHint* hint, bool* outside) const;
    // RunFlat() with the flat form as made so far (see script/number_program.h).
    inline bool RunMade(ExpressionContext* context, String* result, NumberHint* hint,
                        bool* outside) const;

    ExpressionNode* root_;  // owned
    String source_;
    std::vector<CallNode*> calls_;              // not owned
    mutable NumberProgram* program_ = nullptr;  // owned
    mutable ConcatProgram* concat_ = nullptr;   // owned; made when program_ is not
    mutable unsigned char evaluations_ = 0;     // up to the second
};

// Reads one expression. Returns the expression (caller deletes it) and sets *end
// (and *terminator when a terminator ended it), or returns null after reporting the
// error through context.
Expression* ReadExpression(ExpressionContext* context, CharacterSource* source,
                           const ExpressionSyntax& syntax, ExpressionEnd* end,
                           int* terminator = nullptr);

// Reads and evaluates the whole of text. Returns 1 with *result, or 0 (reported).
// *outside (when given) tells whether the result is outside text.
int EvaluateExpressionText(ExpressionContext* context, const String& text, String* result,
                           bool* outside = nullptr);

// Number conversions and formats shared with the built-in functions.
// The longest decimal prefix of s as a number (0 without one). *whole tells whether
// the prefix is all of s and within range.
double ToNumber(const String& s, bool* whole = nullptr);
long ToInteger(const String& s);
// "%f" with trailing zeros and a bare point removed; never "-0".
String FormatNumber(double v);
// The same into *out.
void FormatNumber(double v, String* out);

// The system's one-way password hash of key with a two-character salt.
String CryptText(const String& key, const String& salt);

#endif  // SCRIPT_EXPRESSION_H_
