// NumberProgram: an expression of numbers only (constants, variables, arithmetic,
// comparisons, and AND, OR and NOT over them) as a flat list of steps over a stack of
// numbers. It computes what
// the expression's tree computes, without the tree's calls from node to node. Where
// the tree would do more than compute (report an undefined variable or a division by
// 0, compare text), the program gives up before any of it and the tree evaluates
// the expression instead.

#ifndef SCRIPT_NUMBER_PROGRAM_H_
#define SCRIPT_NUMBER_PROGRAM_H_

#include <vector>

#include "foundation/string.h"
#include "script/expression.h"
#include "script/number_hint.h"
#include "script/variables.h"

class ConstantNode;
class ExpressionNode;

class NumberProgram {
  public:
    // The program of the tree at root, or null when it holds anything else.
    static NumberProgram* Make(const ExpressionNode* root);

    // The root's value, unformatted: an arithmetic result, or a comparison's 1 or 0.
    // *outside tells whether outside text went into it. False when the tree must
    // evaluate the expression; nothing is reported or changed then.
    bool Compute(Variables* store, double* value, bool* outside) const;
    // What the root's EvaluateHinted() (hint given) or Evaluate() (hint null) gives
    // for that value.
    void Finish(double value, String* out, NumberHint* hint) const;
    // Whether the root is a comparison: its value is 1 or 0, true exactly when it is
    // not 0, and what it gives with a hint that may defer is that number, unwritten.
    bool compares() const { return compares_; }
    // Whether the root is AND, OR or NOT: its value is 1 or 0 too, but what it gives is
    // always the text "1" or "0", with no number known.
    bool logic() const { return logic_; }
    // Whether Finish() with a hint that may defer leaves that value as a number,
    // unwritten: a comparison's 1 or 0, or an arithmetic result that is a whole number.
    bool Defers(double value) const { return compares_ || (!logic_ && Exact(value)); }
    // Whole numbers print and read back exactly.
    static bool Exact(double v) {
        return v > -1e15 && v < 1e15 && v == static_cast<double>(static_cast<long>(v));
    }

  private:
    struct Step {
        // Truth: a variable's value read as true or false (1 or 0). ToTruth: the number
        // on top, the same. Logic: AND, OR or NOT of truths. VariableArithmetic and
        // VariableComparison: an operator whose operands are a variable and a constant,
        // in that order, in one step.
        enum Kind : unsigned char {
            Constant,
            Variable,
            Arithmetic,
            Comparison,
            Truth,
            ToTruth,
            Logic,
            VariableArithmetic,
            VariableComparison
        } kind;
        OperatorCode code;
        // Constant, or an operator whose right operand is this constant (it is never
        // on the stack).
        bool constant;
        bool outside;  // the constant was read from outside text
        bool whole;
        double number;
        const ScopedName* name;  // Variable: the node's
    };
    // a (operator code) b for an arithmetic operator; false for a division by 0.
    [[gnu::always_inline]] static bool Arithmetic(OperatorCode code, double a, double b, double* r);
    // a (operator code) b for a comparison of whole numbers.
    [[gnu::always_inline]] static bool Compare(OperatorCode code, double a, double b);
    // Appends the steps of node; false when it holds what a program does not cover.
    // Below the root, arithmetic and comparisons over constants are one constant.
    bool Add(const ExpressionNode* node);
    // What the steps of node would leave on the stack, when node is a constant or
    // arithmetic or a comparison over constants whose steps would not give up (a
    // division by 0, a comparison of text): its number, whether all of its text is that
    // number, and whether outside text went into it. False otherwise.
    static bool Fold(const ExpressionNode* node, double* number, bool* whole, bool* outside);
    // The steps that leave 1 or 0 for whether node's text is true, as AND, OR and NOT
    // read their operands.
    bool AddTruth(const ExpressionNode* node);
    // A constant's step, pushing number.
    static Step ConstantStep(const ConstantNode* c, double number, bool whole);
    bool AddLogic(const ExpressionNode* node);

    std::vector<Step> steps_;
    const ExpressionNode* root_ = nullptr;  // never folded: its value is the program's
    int depth_ = 0;                         // numbers on the stack as the steps are made
    bool compares_ = false;                 // the root is a comparison
    bool logic_ = false;                    // the root is AND, OR or NOT
};

// ConcatProgram: an expression that only joins ($) constants and variables, as the
// list of its pieces, written one after the other into the result without the tree's
// operands and intermediate texts. It gives up, before writing anything, where the
// tree would do more: an undefined variable (warned of), a dynamic variable, or a
// variable whose text is the result's own string.
class ConcatProgram {
  public:
    // The program of the tree at root, or null when it holds anything else.
    static ConcatProgram* Make(const ExpressionNode* root);

    // Writes the joined text into *out; *outside tells whether outside text went
    // into it. False when the tree must evaluate the expression.
    bool Compute(Variables* store, String* out, bool* outside) const;

  private:
    struct Piece {
        const String* text;      // a constant's; null for a variable
        const ScopedName* name;  // a variable's
        bool outside;            // the constant was read from outside text
    };
    bool Add(const ExpressionNode* node);

    std::vector<Piece> pieces_;
};

inline bool Expression::RunMade(ExpressionContext* context, String* result, NumberHint* hint,
                                bool* outside) const {
    if (!flat_) return false;
    bool read;
    if (program_ != nullptr) {
        double value;
        if (!program_->Compute(context->store(), &value, &read)) return false;
        program_->Finish(value, result, hint);
    } else {
        // Joined text: its number is not known, as the tree's operator says.
        if (concat_ == nullptr || !concat_->Compute(context->store(), result, &read)) return false;
        if (hint != nullptr) hint->known = false;
    }
    if (outside) *outside = read;
    return true;
}

inline int Expression::EvaluateOften(ExpressionContext* context, String* result, NumberHint* hint,
                                     bool* outside) const {
    // What Evaluate() does through the flat program, without the calls on the way to
    // it; a program that gives up leaves the expression to Evaluate() (nothing was
    // changed or reported).
    return RunMade(context, result, hint, outside) ? 1 : Evaluate(context, result, hint, outside);
}

#endif  // SCRIPT_NUMBER_PROGRAM_H_
