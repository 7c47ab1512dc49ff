// PageChecker: reads a page with the interpreter's own scanner and expression reader
// without running anything, and lists every problem it can tell from the text:
// blocks left open or closed twice, middle tags (KpELSE, KpWHILESTOP, ...) outside
// their block, attribute counts the tags refuse, expression syntax, calls of
// functions neither built in nor declared (in the page or in the pages it includes
// with KpDO), argument counts, functions declared twice, and Kp tags the interpreter
// does not know (a warning: they pass through as text).

#ifndef TOOLS_PAGE_CHECKER_H_
#define TOOLS_PAGE_CHECKER_H_

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "script/script_parser.h"

struct CheckProblem {
    String file;
    int line;
    bool warning;
    String message;  // as a browser would show it (entities decoded)
};

// A function declaration found by a checker.
struct DeclaredFunction {
    String file;
    int line;
    int parameters;
};

class PageChecker : public ScriptParser, public TagPlace {
  public:
    // file: the name problems are reported under.
    PageChecker(Kelp* engine, MacroExpander* source, Output* output, const String& file);

    // Scans the whole page. Problems go to *problems; the functions the page
    // declares are kept in declared() and its calls in calls() for Resolve().
    void Check(std::vector<CheckProblem>* problems);
    // The functions a call may reach: those of the page itself for its own
    // expressions (a page never sees the functions of a page it runs with KpDO), and
    // those of the named file for a KpDO VALUE expression, which is evaluated with
    // that file's functions. Null: the file's functions cannot be known.
    using FunctionsOf =
        std::function<const std::map<std::string, DeclaredFunction>*(const String& file)>;
    // Reports the calls of this page against those functions and the built-ins;
    // functionsof is asked only for the files of KpDO VALUE expressions.
    void Resolve(const FunctionsOf& functionsof, std::vector<CheckProblem>* problems);

    const std::map<std::string, DeclaredFunction>& declared() const { return declared_; }

    int SyntaxError(const String& message) override;
    int ValidateTag(Tag* templ, Tag* tag) override;
    void ExpressionError(const String& message) override;
    void NoteCall(const String& name, int count) override;
    Function* FindFunction(const String&) override { return nullptr; }

  protected:
    int GetNameValuePairs(Tag* tag) override;
    int GetValue(Tag* tag, const String& name, String* value, bool* outside) override;
    int ProcessEmptyValue(Tag* tag, const String& name, String* value) override;
    int ProcessKnownTag(Tag* tag) override;
    int ProcessUnknownTag(const String& text) override;
    int ProcessText(const String&) override { return 1; }
    int ProcessNewLine(const String&) override { return 1; }
    int ProcessCachedTag() override { return -1; }
    int TextPhase(int* result) override { return Parser::TextPhase(result); }

  private:
    struct Open {
        int id;
        int endid;
        String name;
        int line;
    };
    struct Call {
        String name;
        int count;
        int line;
        String file;  // the KpDO FILE whose functions a VALUE expression sees; empty: the page's
    };
    void Report(int line, bool warning, const String& kind, const String& message);
    // Reads one expression of the tag at the current position; its value when it
    // computes nothing that could differ at run time, else its source. *quoted (when
    // given) tells whether the expression is a quoted text and nothing else.
    int ReadValue(const ExpressionSyntax& syntax, String* value, ExpressionEnd* end,
                  bool* quoted = nullptr);
    int ReadTag(Tag* tag);
    bool Inside(int id) const override;
    // The attribute counts and required attributes the tag insists on, and where it
    // may stand; false for a tag that opens no block after all (a WHILE STOP, a nested
    // function, ...). counted: an attribute without a value was reported already.
    bool CheckRules(Tag* tag, bool counted);
    void Declare(Tag* tag);

    String file_;
    std::vector<CheckProblem>* problems_ = nullptr;
    std::vector<Open> open_;
    std::vector<Call> calls_;
    std::map<std::string, DeclaredFunction> declared_;
    std::vector<Call> valuecalls_;  // the calls of the KpDO VALUE being read
    bool invalue_ = false;          // a KpDO VALUE is being read
    bool macrotag_ = false;         // the tag just read held a macro
    bool emptyvalue_ = false;       // and one of its attributes had no value (reported)
};

// Upper-case form of a function name, the key of declared().
std::string FunctionKey(const String& name);

#endif  // TOOLS_PAGE_CHECKER_H_
