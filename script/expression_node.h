// The nodes of a parsed expression tree. Internal to the expression reader and
// evaluator.

#ifndef SCRIPT_EXPRESSION_NODE_H_
#define SCRIPT_EXPRESSION_NODE_H_

#include <vector>

#include "foundation/string.h"
#include "script/expression.h"
#include "script/variables.h"

class ExpressionNode {
public:
    virtual ~ExpressionNode() {}
    // Returns 1 with *out set, or 0 after an error was reported through context.
    virtual int Evaluate(ExpressionContext* context, String* out) const = 0;
    // The value read as a number, exactly as ToNumber() of Evaluate()'s text would
    // read it; nodes override it to skip the text where that is exact.
    virtual int EvaluateNumber(ExpressionContext* context, double* out) const;
};

// A string or numeric constant; quotes are already removed.
class ConstantNode : public ExpressionNode {
public:
    explicit ConstantNode(const String& value) : value_(value), number_(ToNumber(value)) {}
    int Evaluate(ExpressionContext*, String* out) const override {
        *out = value_;
        return 1;
    }
    int EvaluateNumber(ExpressionContext*, double* out) const override {
        *out = number_;
        return 1;
    }

private:
    String value_;
    double number_;
};

// A variable reference, its scope resolved once when read.
class VariableNode : public ExpressionNode {
public:
    explicit VariableNode(const String& name) : name_(Variables::Resolve(name)) {}
    int Evaluate(ExpressionContext* context, String* out) const override;
    int EvaluateNumber(ExpressionContext* context, double* out) const override;

private:
    ScopedName name_;
};

// A call of a user or built-in function with one expression per parameter.
class CallNode : public ExpressionNode {
public:
    // function: not owned (the interpreter's function table outlives expressions);
    // null in an expression read only to check its syntax.
    CallNode(Function* function, const String& name) : function_(function), name_(name) {}
    ~CallNode() override;
    // Takes ownership of argument.
    void AddArgument(ExpressionNode* argument) { arguments_.push_back(argument); }
    int argumentcount() const { return static_cast<int>(arguments_.size()); }
    int Evaluate(ExpressionContext* context, String* out) const override;

private:
    Function* function_;                      // not owned
    String name_;
    std::vector<ExpressionNode*> arguments_;  // owned
};

// A binary operator, or a prefix operator (no left operand).
class OperatorNode : public ExpressionNode {
public:
    // Takes ownership of left (may be null) and right.
    OperatorNode(const OperatorRecord* op, ExpressionNode* left, ExpressionNode* right)
        : op_(op), left_(left), right_(right) {}
    ~OperatorNode() override {
        delete left_;
        delete right_;
    }
    int Evaluate(ExpressionContext* context, String* out) const override;
    int EvaluateNumber(ExpressionContext* context, double* out) const override;

private:
    // +, -, *, / and POW: computed on the operands' numbers.
    bool Arithmetic() const;
    // The unformatted result of an arithmetic operator.
    int Compute(ExpressionContext* context, double* out) const;

    const OperatorRecord* op_;  // an entry of the static table
    ExpressionNode* left_;      // owned; null for a prefix operator
    ExpressionNode* right_;     // owned
};

// +, -, *, / (0 is the error "Divide by 0") and POW on numbers.
int ArithmeticValue(ExpressionContext* context, OperatorCode code, double a, double b,
                    double* out);

// Applies op to the operand values (l is empty for a prefix operator).
int ApplyOperator(ExpressionContext* context, const OperatorRecord* op, const String& l,
                  const String& r, String* out);

#endif  // SCRIPT_EXPRESSION_NODE_H_
