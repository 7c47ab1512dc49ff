// Function: a function that expressions can call, either declared by a script (its
// body is re-read from the script file on each call) or built into the engine.

#ifndef SCRIPT_FUNCTION_H_
#define SCRIPT_FUNCTION_H_

#include "foundation/string.h"
#include "script/variables.h"

// Output levels of a function body that mean "not set": the caller's levels apply.
const int kStandardOutputLevelNotSet = 255;
const unsigned kErrorOutputLevelNotSet = 0x7F000000;

// Name, where the body starts in the script (byte offset just after the declaring
// tag, and the declaration's line; line 0 for built-in functions), the body's own
// output levels and the parameter names in declaration order. The interpreter keeps
// its functions in a table keyed by name and runs them; expressions only check the
// parameter count and hand over the arguments.
class CompiledBody;
class ScriptParser;

class Function {
  public:
    Function(const String& name, long offset, int linenumber)
        : name_(name),
          offset_(offset),
          linenumber_(linenumber),
          standardoutputlevel_(kStandardOutputLevelNotSet),
          erroroutputlevel_(kErrorOutputLevelNotSet),
          parameters_(1) {}
    virtual ~Function() {}
    Function(const Function&) = delete;
    Function& operator=(const Function&) = delete;

    // Sets the parameters from a comma-separated list of names; blanks around each
    // name are removed and an empty list gives none. The list is split on first use:
    // most built-in functions are never called in a request.
    void SetParameters(const String& list) {
        parameterlist_ = list;
        split_ = false;
    }
    VariableList& Parameters() {
        Split();
        return parameters_;
    }
    int parametercount() const {
        Split();
        return parameters_.Entries();
    }
    // The layout of the argument scopes of calls that pass every parameter (see
    // VariableTree::layout); 0 when the parameters cannot have one (too many, or two
    // of the same name).
    unsigned long layout() const {
        Split();
        return layout_;
    }

    const String& name() const { return name_; }
    long offset() const { return offset_; }
    int linenumber() const { return linenumber_; }
    int standardoutputlevel() const { return standardoutputlevel_; }
    unsigned erroroutputlevel() const { return erroroutputlevel_; }
    void SetStandardOutputLevel(int level) { standardoutputlevel_ = level; }
    void SetErrorOutputLevel(unsigned level) { erroroutputlevel_ = level; }
    virtual bool builtin() const { return false; }
    // A built-in that computes its result from its arguments alone and changes nothing
    // (see Builtin::pure).
    bool pure() const { return pure_; }
    // Runs the function in parser with its arguments (named after the parameters).
    // Returns 1 with *result, or 0 (reported).
    virtual int CallFunction(ScriptParser* parser, VariableTree* arguments, String* result);
    const char* key() const { return name_.chars(); }
    // The compiled form of the body last used by a call (not owned: the
    // interpreter's), and the interpreter it belongs to.
    CompiledBody* compiled = nullptr;
    const void* compiledby = nullptr;

  protected:
    bool pure_ = false;

  private:
    String name_;
    long offset_;
    int linenumber_;
    int standardoutputlevel_;
    unsigned erroroutputlevel_;
    void Split() const;

    mutable VariableList parameters_;  // owns elements
    String parameterlist_;
    mutable bool split_ = true;
    mutable unsigned long layout_ = 0;
};

typedef SplayTree<Function, const char*> FunctionTable;

#endif  // SCRIPT_FUNCTION_H_
