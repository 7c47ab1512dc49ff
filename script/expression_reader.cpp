// The expression reader: tokenizer and tree builder.
//
// Tokens are separated by whitespace. Outside quotes a word ends at whitespace, a
// terminator, one of ( ) , = or a quote, or before a single-character operator
// (+ - / * $ | ^) that follows other characters. "name(" begins a function call.
// A constant begins with a digit, "-", "." or a quote; a "-" where an operand is
// expected begins a negative constant. Other words are operators when the table
// has them, else variable names.
//
// Outside text (a macro's value that did not come from the page) is never syntax:
// inside quotes its characters are taken literally (a quote or backslash in it
// neither ends nor escapes anything), and elsewhere a run of it is one string
// constant. It can neither begin an operator, a name or a call, nor end the
// expression, nor stand where the next attribute's name should.
//
// Grouping: larger precedence binds tighter, equal precedence groups from left to
// right, and a prefix operator (NOT, BITOC) takes as its operand everything that
// binds tighter than itself.

#include <string.h>

#include "script/encoding.h"
#include "script/expression.h"
#include "script/expression_node.h"
#include "script/function.h"

namespace {

enum TokenKind {
    TokenEnd,         // end of the input
    TokenTerminator,  // one of the caller's terminators (consumed)
    TokenOpen,
    TokenClose,
    TokenComma,
    TokenOperator,
    TokenConstant,
    TokenVariable,
    TokenCall,
    TokenOther,  // a single-character operator the table does not have
    TokenError,  // already reported
};

struct Token {
    TokenKind kind = TokenEnd;
    String raw;    // the characters read, for messages and for pushing back
    String value;  // constant value, variable or function name
    const OperatorRecord* op = nullptr;
    int quote = 0;         // the quote character of a quoted constant
    bool outside = false;  // a constant holding outside text
};

// The token's text as an error message shows it (messages are HTML).
String Shown(const Token& t) {
    return Entities(t.raw);
}

const char kSingleOperators[] = "+-/*$|^";
// Bounds of one expression (see Reader::depth_).
const int kMaxExpressionDepth = 200;
const int kMaxExpressionOperators = 2000;

bool IsWhitespace(int c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

class Reader {
  public:
    Reader(ExpressionContext* context, CharacterSource* source, const ExpressionSyntax& syntax)
        : context_(context), source_(source), syntax_(syntax), peeked_(false) {}

    Expression* Read(ExpressionEnd* end, int* terminator);

  private:
    // The next token; operand tells whether an operand is expected (for "-").
    Token* Peek(bool operand);
    void Consume();
    Token Next(bool operand) {
        Peek(operand);
        Token t = peek_;
        Consume();
        return t;
    }
    void ReadToken(Token* t, bool operand);
    void ReadQuoted(Token* t, int quote);
    void ReadWord(Token* t, int c);
    // A run of outside text beginning with c: one string constant.
    void ReadOutside(Token* t, int c);
    // The next character that is not whitespace of the page, or -1.
    int SkipWhitespace();
    bool IsTerminator(int c) const {
        return c > 0 && terminators_ != nullptr && strchr(terminators_, c) != nullptr;
    }

    ExpressionNode* ParseBinary(int precedence);
    ExpressionNode* ParseOperand();
    ExpressionNode* ParseCall(const Token& t);
    // Expects the token that closes a parenthesis or argument list; reports what was
    // found instead.
    bool ExpectClose(Token* t);

    // After the closing quote of a quoted expression: how the value ends.
    ExpressionEnd AfterQuote(int* terminator);
    // Reports message and returns null.
    ExpressionNode* Fail(const String& message);
    void Append(const Token& t);
    void PushBack(const Token& t);

    ExpressionContext* context_;
    CharacterSource* source_;
    ExpressionSyntax syntax_;
    std::vector<CallNode*> calls_;  // the calls read, in order (see Expression::Bind)
    // Nesting depth and operator count so far: reading and evaluating recurse, so an
    // expression is bounded in both (no page needs more).
    int depth_ = 0;
    int operators_ = 0;
    const char* terminators_ = nullptr;
    bool quoted_ = false;  // inside a quoted expression ending at a double quote
    Token peek_;
    bool peeked_;
    bool failed_ = false;
    String text_;  // the source text of the tokens consumed
};

ExpressionNode* Reader::Fail(const String& message) {
    if (!failed_) context_->ExpressionError(message);
    failed_ = true;
    return nullptr;
}

Token* Reader::Peek(bool operand) {
    if (!peeked_) {
        peek_ = Token();
        ReadToken(&peek_, operand);
        peeked_ = true;
    }
    return peek_.kind == TokenError ? nullptr : &peek_;
}

void Reader::Consume() {
    if (peek_.kind != TokenEnd && peek_.kind != TokenTerminator) Append(peek_);
    peeked_ = false;
}

void Reader::Append(const Token& t) {
    if (!text_.empty()) text_.cat(' ');
    if (t.quote) {
        // Re-escape so that the source text reads back as the same constant.
        text_.cat(static_cast<char>(t.quote));
        for (int i = 0; i < t.value.length(); i++) {
            char c = t.value[i];
            if (c == t.quote || c == '\\') text_.cat('\\');
            text_.cat(c);
        }
        text_.cat(static_cast<char>(t.quote));
    } else {
        text_ += t.raw;
    }
}

void Reader::PushBack(const Token& t) {
    for (int i = t.raw.length() - 1; i >= 0; i--) {
        source_->UnGetChar(static_cast<unsigned char>(t.raw[i]));
    }
}

int Reader::SkipWhitespace() {
    int c;
    do {
        c = source_->GetNextChar();
    } while (IsWhitespace(c) && !source_->fromoutside());
    return c;
}

void Reader::ReadToken(Token* t, bool operand) {
    int c = SkipWhitespace();
    if (c < 0) {
        t->kind = TokenEnd;
        return;
    }
    t->raw.assign(static_cast<char>(c));
    if (source_->fromoutside()) {
        ReadOutside(t, c);
    } else if (IsTerminator(c)) {
        t->kind = TokenTerminator;
    } else if (c == '(') {
        t->kind = TokenOpen;
    } else if (c == ')') {
        t->kind = TokenClose;
    } else if (c == ',') {
        t->kind = TokenComma;
    } else if (c == '"' || c == '\'') {
        ReadQuoted(t, c);
    } else if (strchr(kSingleOperators, c) && !(c == '-' && operand)) {
        char ch = static_cast<char>(c);
        t->op = FindOperator(&ch, 1);
        t->kind = t->op ? TokenOperator : TokenOther;
    } else {
        ReadWord(t, c);
    }
}

void Reader::ReadOutside(Token* t, int c) {
    t->kind = TokenConstant;
    t->quote = '"';  // the kept source text shows it as a quoted constant
    t->outside = true;
    t->value.assign(static_cast<char>(c));
    for (;;) {
        c = source_->GetNextChar();
        if (c < 0) return;
        if (!source_->fromoutside()) {
            source_->UnGetChar(c);
            return;
        }
        t->value.cat(static_cast<char>(c));
        t->raw.cat(static_cast<char>(c));
    }
}

void Reader::ReadQuoted(Token* t, int quote) {
    t->kind = TokenConstant;
    t->quote = quote;
    for (;;) {
        int c = source_->GetNextChar();
        if (c < 0) break;
        t->raw.cat(static_cast<char>(c));
        if (source_->fromoutside()) {
            t->outside = true;
            t->value.cat(static_cast<char>(c));
            continue;
        }
        if (c == quote) return;
        if (c == '\\') {
            c = source_->GetNextChar();  // taken literally
            if (c < 0) break;
            t->raw.cat(static_cast<char>(c));
        }
        t->value.cat(static_cast<char>(c));
    }
    t->kind = TokenError;
    Fail("Found end of file in quoted string");
}

void Reader::ReadWord(Token* t, int c) {
    bool numeric = (c >= '0' && c <= '9') || c == '-' || c == '.';
    t->value.assign(static_cast<char>(c));
    for (;;) {
        c = source_->GetNextChar();
        if (c < 0) break;
        if (source_->fromoutside()) {
            // Outside text cannot become part of a name or a number.
            source_->UnGetChar(c);
            break;
        }
        bool exponent_sign = numeric && (c == '+' || c == '-') &&
                             (t->value.matches('e', t->value.length() - 1) ||
                              t->value.matches('E', t->value.length() - 1));
        if (c == '(' && !numeric && FindOperator(t->value.chars(), t->value.length()) == nullptr) {
            t->raw.cat('(');
            t->kind = TokenCall;
            return;
        }
        if ((c == '"' || c == '\'') && !IsTerminator(c)) {
            t->kind = TokenError;
            Fail(c == '"' ? "Unexpected &quot;" : "Unexpected '");
            return;
        }
        if (IsWhitespace(c) || IsTerminator(c) || strchr("(),=", c) ||
            (strchr(kSingleOperators, c) && !exponent_sign)) {
            source_->UnGetChar(c);
            break;
        }
        t->value.cat(static_cast<char>(c));
        t->raw.cat(static_cast<char>(c));
    }
    if (numeric) {
        t->kind = TokenConstant;
    } else {
        t->op = FindOperator(t->value.chars(), t->value.length());
        t->kind = t->op ? TokenOperator : TokenVariable;
    }
}

ExpressionNode* Reader::ParseBinary(int precedence) {
    if (depth_ >= kMaxExpressionDepth) return Fail("Expression nested too deeply");
    depth_++;
    ExpressionNode* left = ParseOperand();
    depth_--;
    if (left == nullptr) return nullptr;
    for (;;) {
        Token* t = Peek(false);
        if (t == nullptr) break;
        if (t->kind != TokenOperator || !t->op->binary || t->op->precedence < precedence) {
            return left;
        }
        const OperatorRecord* op = t->op;
        Consume();
        if (++operators_ > kMaxExpressionOperators) break;
        depth_++;
        ExpressionNode* right = ParseBinary(op->precedence + 1);
        depth_--;
        if (right == nullptr) break;
        left = new OperatorNode(op, left, right);
    }
    delete left;
    if (operators_ > kMaxExpressionOperators) return Fail("Expression has too many operators");
    return nullptr;
}

bool Reader::ExpectClose(Token* t) {
    if (t == nullptr) return false;
    switch (t->kind) {
        case TokenClose:
            Consume();
            return true;
        case TokenEnd:
            if (syntax_.fromscript) {
                Fail("Unexpected end of file");
                return false;
            }
            Fail("Mismatched parenthesis");
            return false;
        case TokenTerminator:
            Fail("Mismatched parenthesis");
            return false;
        default:
            Fail("Expected operator, found '" + Shown(*t) + "'");
            return false;
    }
}

ExpressionNode* Reader::ParseOperand() {
    bool first = text_.empty();
    Token t = Next(true);
    switch (t.kind) {
        case TokenError:
            return nullptr;
        case TokenConstant:
            return new ConstantNode(t.value, t.outside);
        case TokenVariable:
            return new VariableNode(t.value);
        case TokenCall:
            return ParseCall(t);
        case TokenOperator: {
            if (t.op->binary) return Fail("Expected non-operator, found '" + Entities(t.raw) + "'");
            ExpressionNode* operand = ParseBinary(t.op->precedence + 1);
            return operand ? new OperatorNode(t.op, nullptr, operand) : nullptr;
        }
        case TokenOpen: {
            ExpressionNode* inner = ParseBinary(0);
            if (inner == nullptr) return nullptr;
            if (ExpectClose(Peek(false))) return inner;
            delete inner;
            return nullptr;
        }
        case TokenClose:
            return Fail("Mismatched parenthesis");
        case TokenComma:
        case TokenOther:
            return Fail("Expected non-operator, found '" + Entities(t.raw) + "'");
        case TokenTerminator:
            return Fail("Unexpected end of expression");
        case TokenEnd:
            if (!syntax_.fromscript) return Fail("Unexpected end of expression");
            return Fail(first ? "Unexpected end of file in expression" : "Unexpected end of file");
    }
    return nullptr;
}

ExpressionNode* Reader::ParseCall(const Token& t) {
    Function* f = nullptr;
    if (!syntax_.checkonly) {
        f = context_->FindFunction(t.value);
        if (f == nullptr) return Fail("Call to undefined function '" + Entities(t.value) + "'");
    }
    CallNode* call = new CallNode(f, t.value);
    if (f != nullptr) calls_.push_back(call);
    Token* next = Peek(true);
    if (next != nullptr && next->kind == TokenClose) {
        Consume();
    } else {
        for (;;) {
            ExpressionNode* argument = ParseBinary(0);
            if (argument == nullptr) {
                delete call;
                return nullptr;
            }
            call->AddArgument(argument);
            next = Peek(false);
            if (next != nullptr && next->kind == TokenComma) {
                Consume();
                continue;
            }
            if (ExpectClose(next)) break;
            delete call;
            return nullptr;
        }
    }
    context_->NoteCall(t.value, call->argumentcount());
    if (f == nullptr) return call;
    int expected = f->parametercount(), found = call->argumentcount();
    if (expected != found) {
        delete call;
        String message = "Call to function '" + Entities(t.value) + "' expects ";
        message.catint(expected);
        message += expected == 1 ? " parameter, found " : " parameters, found ";
        message.catint(found);
        return Fail(message);
    }
    return call;
}

ExpressionEnd Reader::AfterQuote(int* terminator) {
    int c = SkipWhitespace();
    if (c < 0) {
        if (!syntax_.fromscript) return ExpressionEndOfText;
        Fail("Unexpected end of file");
        return ExpressionFailed;
    }
    if (source_->fromoutside()) {
        Fail("Expected operator, found '" + Entities(String() + static_cast<char>(c)) + "'");
        return ExpressionFailed;
    }
    if (syntax_.terminators != nullptr && strchr(syntax_.terminators, c) != nullptr) {
        if (terminator) *terminator = c;
        return ExpressionTerminated;
    }
    source_->UnGetChar(c);
    if (syntax_.stopatoperand) return ExpressionMore;
    Fail(String("Expected operator, found '") + static_cast<char>(c) + "'");
    return ExpressionFailed;
}

Expression* Reader::Read(ExpressionEnd* end, int* terminator) {
    terminators_ = syntax_.terminators;
    if (syntax_.quotedexpression) {
        int c = SkipWhitespace();
        if (c == '"' && !source_->fromoutside()) {
            quoted_ = true;
            terminators_ = "\"";
        } else if (c >= 0) {
            source_->UnGetChar(c);
        }
    }
    ExpressionNode* root = ParseBinary(0);
    if (root == nullptr) return nullptr;
    Token* t = Peek(false);
    if (t == nullptr) {
        delete root;
        return nullptr;
    }
    *end = ExpressionFailed;
    if (t->kind == TokenTerminator) {
        if (terminator) *terminator = static_cast<unsigned char>(t->raw[0]);
        *end = ExpressionTerminated;
    } else if (quoted_) {
        Fail(t->kind == TokenEnd ? String("Unexpected end of file")
                                 : "Expected &quot;, found '" + Shown(*t) + "'");
    } else if (t->kind == TokenEnd) {
        if (syntax_.fromscript) {
            Fail("Unexpected end of file");
        } else {
            *end = ExpressionEndOfText;
        }
    } else if (t->kind == TokenClose) {
        Fail("Mismatched parenthesis");
    } else if (syntax_.stopatoperand && !t->outside) {
        PushBack(*t);  // the next attribute's name: leave it for the attribute reader
        *end = ExpressionMore;
    } else {
        Fail("Expected operator, found '" + Shown(*t) + "'");
    }
    peeked_ = false;
    if (*end != ExpressionFailed && quoted_) *end = AfterQuote(terminator);
    if (*end == ExpressionFailed) {
        delete root;
        return nullptr;
    }
    Expression* e = new Expression(root, text_);
    e->SetCalls(std::move(calls_));
    return e;
}

}  // namespace

Expression* ReadExpression(ExpressionContext* context, CharacterSource* source,
                           const ExpressionSyntax& syntax, ExpressionEnd* end, int* terminator) {
    Reader reader(context, source, syntax);
    return reader.Read(end, terminator);
}
