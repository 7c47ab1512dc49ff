// NumberProgram: each step computes exactly what its node computes in the tree (see
// OperatorNode::Compute, EvaluateNumber and Truth): an arithmetic result that is not
// a whole number goes on as its six-decimal text reads back, and a comparison is
// numeric only when both of its operands are wholly numbers, which is the only case
// the program runs.

#include "script/number_program.h"

#include "foundation/lazy_math.h"
#include "script/expression_node.h"

namespace {

// Numbers on the stack at most: deeper expressions are left to the tree.
const int kDepth = 16;

// An arithmetic result as the next operator reads it: a whole number as it is, any
// other as its text reads back; *whole: whether all of that text is the number.
[[gnu::always_inline]] inline double Result(double r, bool* whole) {
    if (NumberProgram::Exact(r)) {
        *whole = true;
        return r;
    }
    return ToNumber(FormatNumber(r), whole);
}

}  // namespace

NumberProgram::Step NumberProgram::ConstantStep(const ConstantNode* c, double number, bool whole) {
    Step s{};
    s.kind = Step::Constant;
    s.constant = true;
    s.number = number;
    s.whole = whole;
    s.outside = c->outside_;
    return s;
}

bool NumberProgram::AddLogic(const ExpressionNode* node) {
    const OperatorNode* o = static_cast<const OperatorNode*>(node);
    Step s{};
    s.kind = Step::Logic;
    s.code = o->op_->code;
    // NOT has no left operand; AND and OR evaluate both (they do not short-circuit).
    bool unary = s.code == OpNot;
    if (unary != (o->left_ == nullptr)) return false;
    if (!unary && !AddTruth(o->left_)) return false;
    if (!AddTruth(o->right_)) return false;
    depth_ -= unary ? 1 : 2;
    if (++depth_ > kDepth) return false;
    steps_.push_back(s);
    return true;
}

bool NumberProgram::AddTruth(const ExpressionNode* node) {
    Step s{};
    switch (node->kind()) {
        case ExpressionNode::KindConstant: {
            const ConstantNode* c = static_cast<const ConstantNode*>(node);
            s = ConstantStep(c, Expression::IsTrue(c->value_) ? 1 : 0, true);
            break;
        }
        case ExpressionNode::KindVariable:
            s.kind = Step::Truth;
            s.name = &static_cast<const VariableNode*>(node)->name_;
            break;
        case ExpressionNode::KindOperator: {
            // A comparison or a logic operator leaves 1 or 0 already; an arithmetic
            // result is true when its text is.
            const OperatorNode* o = static_cast<const OperatorNode*>(node);
            if (!Add(node)) return false;
            if (!o->Arithmetic()) return true;
            s.kind = Step::ToTruth;
            steps_.push_back(s);
            return true;
        }
        default:
            return false;
    }
    if (++depth_ > kDepth) return false;
    steps_.push_back(s);
    return true;
}

NumberProgram* NumberProgram::Make(const ExpressionNode* root) {
    if (root == nullptr || root->kind() != ExpressionNode::KindOperator) return nullptr;
    NumberProgram* program = new NumberProgram;
    program->root_ = root;
    if (!program->Add(root)) {
        delete program;
        return nullptr;
    }
    Step::Kind last = program->steps_.back().kind;
    program->compares_ = last == Step::Comparison || last == Step::VariableComparison;
    program->logic_ = last == Step::Logic;
    return program;
}

bool NumberProgram::Fold(const ExpressionNode* node, double* number, bool* whole, bool* outside) {
    if (node->kind() == ExpressionNode::KindConstant) {
        const ConstantNode* c = static_cast<const ConstantNode*>(node);
        *number = c->number_;
        *whole = c->whole_;
        *outside = c->outside_;
        return true;
    }
    if (node->kind() != ExpressionNode::KindOperator) return false;
    const OperatorNode* o = static_cast<const OperatorNode*>(node);
    if (o->left_ == nullptr || !(o->Arithmetic() || o->Compares())) return false;
    double a, b;
    bool wa, wb, oa, ob;
    if (!Fold(o->left_, &a, &wa, &oa) || !Fold(o->right_, &b, &wb, &ob)) return false;
    if (o->Arithmetic()) {
        double r;
        if (!Arithmetic(o->op_->code, a, b, &r)) return false;
        *number = Result(r, whole);
    } else {
        if (!wa || !wb) return false;
        *number = Compare(o->op_->code, a, b) ? 1 : 0;
        *whole = true;
    }
    *outside = oa || ob;
    return true;
}

bool NumberProgram::Add(const ExpressionNode* node) {
    Step s{};
    if (node != root_ && node->kind() == ExpressionNode::KindOperator &&
        Fold(node, &s.number, &s.whole, &s.outside)) {
        s.kind = Step::Constant;
        s.constant = true;
        if (++depth_ > kDepth) return false;
        steps_.push_back(s);
        return true;
    }
    switch (node->kind()) {
        case ExpressionNode::KindConstant: {
            const ConstantNode* c = static_cast<const ConstantNode*>(node);
            s = ConstantStep(c, c->number_, c->whole_);
            break;
        }
        case ExpressionNode::KindVariable:
            s.kind = Step::Variable;
            s.name = &static_cast<const VariableNode*>(node)->name_;
            break;
        case ExpressionNode::KindOperator: {
            const OperatorNode* o = static_cast<const OperatorNode*>(node);
            OperatorCode code = o->op_->code;
            if (code == OpAnd || code == OpOr || code == OpNot) return AddLogic(node);
            if (o->left_ == nullptr) return false;
            if (o->Arithmetic()) {
                s.kind = Step::Arithmetic;
            } else if (o->Compares()) {
                s.kind = Step::Comparison;
            } else {
                return false;
            }
            s.code = o->op_->code;
            // A constant right operand (or one folded to a constant) rides on the
            // operator's step; a variable's value on the left goes straight into it.
            bool constant = Fold(o->right_, &s.number, &s.whole, &s.outside);
            if (constant && o->left_->kind() == ExpressionNode::KindVariable) {
                s.kind = s.kind == Step::Arithmetic ? Step::VariableArithmetic
                                                    : Step::VariableComparison;
                s.name = &static_cast<const VariableNode*>(o->left_)->name_;
                s.constant = true;
                break;
            }
            if (!Add(o->left_)) return false;
            if (constant) {
                s.constant = true;
                depth_--;
            } else {
                if (!Add(o->right_)) return false;
                depth_ -= 2;
            }
            break;
        }
        default:
            return false;
    }
    if (++depth_ > kDepth) return false;
    steps_.push_back(s);
    return true;
}

inline bool NumberProgram::Arithmetic(OperatorCode code, double a, double b, double* r) {
    switch (code) {
        case OpAdd:
            *r = a + b;
            return true;
        case OpSubtract:
            *r = a - b;
            return true;
        case OpMultiply:
            *r = a * b;
            return true;
        case OpPower:
            *r = lazymath::Pow(a, b);
            return true;
        default:                       // OpDivide
            if (b == 0) return false;  // the tree reports it
            *r = a / b;
            return true;
    }
}

inline bool NumberProgram::Compare(OperatorCode code, double a, double b) {
    return ComparisonHolds(code, a < b ? -1 : (a > b ? 1 : 0));
}

bool NumberProgram::Compute(Variables* store, double* value, bool* outside) const {
    double number[kDepth];
    bool whole[kDepth];
    int top = 0;
    bool read = false;
    const Step* last = &steps_.back();
    for (const Step& s : steps_) {
        // An operator's result: the program's value when it is the last step, else the
        // next operand on the stack.
        double r;
        switch (s.kind) {
            case Step::Constant:
                read |= s.outside;
                number[top] = s.number;
                whole[top++] = s.whole;
                continue;
            case Step::Variable: {
                Variable* v = store->Find(*s.name);
                if (v == nullptr) return false;  // the tree tells of it
                read |= v->outside();
                bool w;
                number[top] = v->Number(&w);
                whole[top++] = w;
                continue;
            }
            case Step::Truth: {
                Variable* v = store->Find(*s.name);
                if (v == nullptr) return false;  // the tree tells of it
                read |= v->outside();
                bool truth = v->pending() ? v->number() != 0 : Expression::IsTrue(v->value());
                number[top] = truth ? 1 : 0;
                whole[top++] = true;
                continue;
            }
            case Step::ToTruth:
                // Text that is not all number ("inf") is the tree's to judge.
                if (!whole[top - 1]) return false;
                number[top - 1] = number[top - 1] != 0 ? 1 : 0;
                continue;
            case Step::Logic: {
                bool b = number[--top] != 0;
                bool truth;
                if (s.code == OpNot) {
                    truth = !b;
                } else {
                    bool a = number[--top] != 0;
                    truth = s.code == OpAnd ? a && b : a || b;
                }
                r = truth ? 1 : 0;
                break;
            }
            case Step::Arithmetic: {
                double b;
                if (s.constant) {
                    read |= s.outside;
                    b = s.number;
                } else {
                    b = number[--top];
                }
                double a = number[--top];
                if (!Arithmetic(s.code, a, b, &r)) return false;
                break;
            }
            case Step::Comparison: {
                double b;
                bool wb;
                if (s.constant) {
                    read |= s.outside;
                    b = s.number;
                    wb = s.whole;
                } else {
                    top--;
                    b = number[top];
                    wb = whole[top];
                }
                top--;
                // Text that is not all number compares as text: the tree's part.
                if (!whole[top] || !wb) return false;
                r = Compare(s.code, number[top], b) ? 1 : 0;
                break;
            }
            case Step::VariableArithmetic: {
                Variable* v = store->Find(*s.name);
                if (v == nullptr) return false;  // the tree tells of it
                read |= v->outside() | s.outside;
                if (!Arithmetic(s.code, v->Number(), s.number, &r)) return false;
                break;
            }
            case Step::VariableComparison: {
                Variable* v = store->Find(*s.name);
                if (v == nullptr) return false;  // the tree tells of it
                read |= v->outside() | s.outside;
                bool w;
                double a = v->Number(&w);
                // Text that is not all number compares as text: the tree's part.
                if (!w || !s.whole) return false;
                r = Compare(s.code, a, s.number) ? 1 : 0;
                break;
            }
        }
        if (&s == last) {
            *value = r;
            *outside = read;
            return true;
        }
        number[top] = Result(r, &whole[top]);  // 1 and 0 are whole numbers
        top++;
    }
    return false;  // a root that is no operator never gets a program
}

void NumberProgram::Finish(double value, String* out, NumberHint* hint) const {
    if (logic_) {
        // "1" or "0", written, as the tree writes it.
        if (hint != nullptr) hint->known = false;
        out->assign(value != 0 ? '1' : '0');
        return;
    }
    if (compares_) {
        // "1" or "0": a loop's condition or an IF's value is often only tested.
        if (hint != nullptr) {
            hint->known = true;
            hint->number = value;
            hint->whole = true;
            hint->deferred = hint->maydefer;
            if (hint->deferred) return;
        }
        out->assign(value != 0 ? '1' : '0');
        return;
    }
    if (hint == nullptr) {
        FormatNumber(value, out);
        return;
    }
    // A whole number's text is all digits and reads back exactly.
    bool exact = Exact(value);
    hint->known = exact;
    hint->number = value == 0 ? 0 : value;
    hint->whole = true;
    hint->deferred = exact && hint->maydefer;
    if (!hint->deferred) FormatNumber(value, out);
}

namespace {

// Pieces of one joined text at most: longer chains are left to the tree.
const size_t kPieces = 16;

}  // namespace

ConcatProgram* ConcatProgram::Make(const ExpressionNode* root) {
    if (root == nullptr || root->kind() != ExpressionNode::KindOperator ||
        static_cast<const OperatorNode*>(root)->op_->code != OpConcat) {
        return nullptr;
    }
    ConcatProgram* program = new ConcatProgram;
    if (!program->Add(root)) {
        delete program;
        return nullptr;
    }
    return program;
}

bool ConcatProgram::Add(const ExpressionNode* node) {
    if (pieces_.size() >= kPieces) return false;
    switch (node->kind()) {
        case ExpressionNode::KindConstant: {
            const ConstantNode* c = static_cast<const ConstantNode*>(node);
            pieces_.push_back(Piece{&c->value_, nullptr, c->outside_});
            return true;
        }
        case ExpressionNode::KindVariable:
            pieces_.push_back(
                Piece{nullptr, &static_cast<const VariableNode*>(node)->name_, false});
            return true;
        case ExpressionNode::KindOperator: {
            // Joins left, then right: the order the tree reads them in.
            const OperatorNode* o = static_cast<const OperatorNode*>(node);
            return o->op_->code == OpConcat && o->left_ != nullptr && Add(o->left_) &&
                   Add(o->right_);
        }
        default:
            return false;
    }
}

bool ConcatProgram::Compute(Variables* store, String* out, bool* outside) const {
    // Every text first: a variable's stays where it is while nothing else runs. A
    // variable holding a whole number whose text is not written yet gives its digits
    // straight into the result (they are the text it would write) and stays unwritten.
    const String* texts[kPieces];
    long numbers[kPieces];
    bool read = false;
    size_t n = pieces_.size();
    for (size_t k = 0; k < n; k++) {
        const Piece& p = pieces_[k];
        if (p.text != nullptr) {
            texts[k] = p.text;
            read |= p.outside;
            continue;
        }
        Variable* v = store->Find(*p.name);
        if (v == nullptr) return false;  // the tree's to do
        read |= v->outside();
        if (v->pending()) {
            texts[k] = nullptr;
            numbers[k] = static_cast<long>(v->number());
            continue;
        }
        if (!v->stable()) return false;  // the tree's to do
        texts[k] = &v->value();
        if (texts[k] == out) return false;
    }
    out->clear();
    for (size_t k = 0; k < n; k++) {
        if (texts[k] != nullptr) {
            out->cat(texts[k]->chars(), texts[k]->length());
        } else {
            out->catint(numbers[k]);
        }
    }
    *outside = read;
    return true;
}
