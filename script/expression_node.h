// The nodes of a parsed expression tree. Internal to the expression reader and
// evaluator.

#ifndef SCRIPT_EXPRESSION_NODE_H_
#define SCRIPT_EXPRESSION_NODE_H_

#include <vector>

#include "foundation/string.h"
#include "script/expression.h"
#include "script/function.h"
#include "script/variables.h"

// An operand's value as an operator sees it: its text (held by a constant or a
// variable where that is safe, else in scratch) and its number, read once. The
// text of a variable is fetched only when an operator needs it.
struct Operand {
    const String* text = nullptr;  // null until fetched from variable
    String scratch;
    Variable* variable = nullptr;  // not owned; remembers the number of its value
    double number = 0;
    int whole = -1;  // whether all of the text is the number; -1 until read

    const String& Text() {
        if (text == nullptr) text = &variable->value();
        return *text;
    }

    double Number(bool* all) {
        if (whole < 0) {
            bool w;
            number = variable ? variable->Number(&w) : ToNumber(*text, &w);
            whole = w;
        }
        *all = whole != 0;
        return number;
    }
};

class ExpressionNode {
  public:
    // The kinds an operator calls without a virtual call (see NumberOf()).
    enum Kind : unsigned char { KindOther, KindConstant, KindVariable, KindOperator };
    virtual ~ExpressionNode() {}
    Kind kind() const { return kind_; }
    // Returns 1 with *out set, or 0 after an error was reported through context.
    virtual int Evaluate(ExpressionContext* context, String* out) const = 0;
    // The value read as a number, exactly as ToNumber() of Evaluate()'s text would
    // read it; nodes override it to skip the text where that is exact.
    virtual int EvaluateNumber(ExpressionContext* context, double* out) const;
    // The value for an operator: 1 with *out filled, or 0 (reported). Nodes whose
    // value already exists as a String hand out a reference to it.
    virtual int EvaluateOperand(ExpressionContext* context, Operand* out) const;
    // Whether evaluating the node can change nothing a script sees (no calls).
    virtual bool pure() const { return false; }
    // Evaluate(), telling in *hint what the value reads as a number when known.
    virtual int EvaluateHinted(ExpressionContext* context, String* out, NumberHint* hint) const {
        hint->known = false;
        return Evaluate(context, out);
    }

  protected:
    Kind kind_ = KindOther;
};

// A string or numeric constant; quotes are already removed. A constant read from
// outside text (a macro's value inside a tag) stays outside text.
class ConstantNode final : public ExpressionNode {
  public:
    explicit ConstantNode(const String& value, bool outside = false)
        : value_(value), number_(ToNumber(value, &whole_)), outside_(outside) {
        kind_ = KindConstant;
    }
    int Evaluate(ExpressionContext* context, String* out) const override {
        if (outside_) context->NoteOutsideRead();
        *out = value_;
        return 1;
    }
    int EvaluateNumber(ExpressionContext* context, double* out) const override {
        if (outside_) context->NoteOutsideRead();
        *out = number_;
        return 1;
    }
    int EvaluateOperand(ExpressionContext* context, Operand* out) const override {
        if (outside_) context->NoteOutsideRead();
        out->text = &value_;
        out->number = number_;
        out->whole = whole_;
        return 1;
    }
    bool pure() const override { return true; }
    int EvaluateHinted(ExpressionContext* context, String* out, NumberHint* hint) const override {
        if (outside_) context->NoteOutsideRead();
        *out = value_;
        hint->known = true;
        hint->number = number_;
        hint->whole = whole_;
        return 1;
    }

  private:
    friend class NumberProgram;
    friend class ConcatProgram;
    String value_;
    double number_;
    bool whole_;
    bool outside_;
};

// A variable reference, its scope resolved once when read.
class VariableNode final : public ExpressionNode {
  public:
    explicit VariableNode(const String& name) : name_(Variables::Resolve(name)), written_(name) {
        kind_ = KindVariable;
    }
    int Evaluate(ExpressionContext* context, String* out) const override;
    int EvaluateNumber(ExpressionContext* context, double* out) const override;
    int EvaluateOperand(ExpressionContext* context, Operand* out) const override;
    bool pure() const override { return true; }
    int EvaluateHinted(ExpressionContext* context, String* out, NumberHint* hint) const override;

  private:
    friend class NumberProgram;
    friend class ConcatProgram;
    friend class CallNode;
    ScopedName name_;
    String written_;  // as the page wrote it, for messages
};

// A call of a user or built-in function with one expression per parameter.
class CallNode : public ExpressionNode {
  public:
    // function: not owned (the interpreter's function table outlives expressions);
    // null in an expression read only to check its syntax.
    CallNode(Function* function, const String& name) : function_(function), name_(name) {}
    ~CallNode() override;
    // Takes ownership of argument.
    void AddArgument(ExpressionNode* argument) {
        arguments_.push_back(argument);
        allpure_ = allpure_ && argument->pure();
    }
    int argumentcount() const { return static_cast<int>(arguments_.size()); }
    // Takes the function of its name as context knows it now; false when context
    // knows none of that name, or one with another number of parameters.
    bool Bind(ExpressionContext* context) {
        Function* f = context->FindDeclaredFunction(name_);
        if (f == nullptr || f->parametercount() != argumentcount()) return false;
        function_ = f;
        return true;
    }
    int Evaluate(ExpressionContext* context, String* out) const override;
    // A user function's whole-number result comes back as a number.
    int EvaluateHinted(ExpressionContext* context, String* out, NumberHint* hint) const override;
    int EvaluateNumber(ExpressionContext* context, double* out) const override;

  private:
    // Evaluate(); number: where a whole-number result may go unwritten, or null.
    int Call(ExpressionContext* context, String* out, NumberHint* number) const;
    // The variable an argument node names, when a pure built-in may read its text
    // where it stands; null when the argument is evaluated into a copy.
    static Variable* Borrowable(const ExpressionNode* node, ExpressionContext* context);

    Function* function_;  // not owned
    String name_;
    std::vector<ExpressionNode*> arguments_;  // owned
    bool allpure_ = true;                     // no argument calls a function
};

// A binary operator, or a prefix operator (no left operand).
class OperatorNode final : public ExpressionNode {
  public:
    // Takes ownership of left (may be null) and right.
    OperatorNode(const OperatorRecord* op, ExpressionNode* left, ExpressionNode* right)
        : op_(op),
          left_(left),
          right_(right),
          rightpure_(right->pure()),
          pure_((left == nullptr || left->pure()) && rightpure_) {
        kind_ = KindOperator;
    }
    ~OperatorNode() override {
        delete left_;
        delete right_;
    }
    int Evaluate(ExpressionContext* context, String* out) const override;
    int EvaluateNumber(ExpressionContext* context, double* out) const override;
    bool pure() const override { return pure_; }
    int EvaluateHinted(ExpressionContext* context, String* out, NumberHint* hint) const override;

  private:
    friend class NumberProgram;
    friend class ConcatProgram;
    // +, -, *, / and POW: computed on the operands' numbers.
    [[gnu::always_inline]] bool Arithmetic() const {
        OperatorCode c = op_->code;
        return c == OpAdd || c == OpSubtract || c == OpMultiply || c == OpDivide || c == OpPower;
    }
    // The unformatted result of an arithmetic operator.
    int Compute(ExpressionContext* context, double* out) const;
    // =, <>, >=, <=, < and > (in any of their spellings).
    [[gnu::always_inline]] bool Compares() const {
        OperatorCode c = op_->code;
        return c >= OpEqual && c <= OpGreater;
    }
    // Evaluates both operands for the operator.
    [[gnu::always_inline]] int Operands(ExpressionContext* context, Operand* l, Operand* r) const;
    // The result of a comparison.
    int Truth(ExpressionContext* context, bool* out) const;

    const OperatorRecord* op_;  // an entry of the static table
    ExpressionNode* left_;      // owned; null for a prefix operator
    ExpressionNode* right_;     // owned
    bool rightpure_;
    bool pure_;
};

// +, -, *, / (0 is the error "Divide by 0") and POW on numbers.
int ArithmeticValue(ExpressionContext* context, OperatorCode code, double a, double b, double* out);

// A comparison operator applied to the operand values.
bool Comparison(OperatorCode code, Operand* l, Operand* r);

// Applies op to the operand values (l is empty for a prefix operator).
int ApplyOperator(ExpressionContext* context, const OperatorRecord* op, Operand* l, Operand* r,
                  String* out);

#endif  // SCRIPT_EXPRESSION_NODE_H_
