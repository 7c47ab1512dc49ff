// The built-in function library: native functions registered in the interpreter's
// function table beside the user functions, with fixed parameter names.

#ifndef SCRIPT_BUILTINS_H_
#define SCRIPT_BUILTINS_H_

#include <time.h>

#include "script/function.h"

class ScriptParser;

// A native routine: reads its parameters by name from arguments. Returns 1 with
// *result, or 0 after reporting an error through parser.
typedef int (*BuiltinRoutine)(ScriptParser* parser, VariableTree* arguments, String* result);

class BuiltinFunction : public Function {
  public:
    BuiltinFunction(const String& name, const char* parameters, BuiltinRoutine routine,
                    bool pure = false)
        : Function(name, 0, 0), routine_(routine) {
        pure_ = pure;
        SetParameters(parameters);
    }
    bool builtin() const override { return true; }
    int CallFunction(ScriptParser* parser, VariableTree* arguments, String* result) override {
        return routine_(parser, arguments, result);
    }

  private:
    BuiltinRoutine routine_;
};

// One entry of a table of built-in functions.
struct Builtin {
    const char* name;
    const char* parameters;  // comma-separated names
    BuiltinRoutine routine;
    // Computes its result from its arguments alone: it reads no file, request,
    // setting, variable or network, changes nothing and writes nothing. Only such
    // built-ins run in expressions read from files (index keys).
    bool pure = false;
};

// Registers every built-in function with parser.
void SetupBuiltinFunctions(ScriptParser* parser);

// The UTC broken-down time of the parameters time_t + time_zone hours (both read as
// base-10 integers). A time outside the system's range gives 1970-01-01 00:00:00.
struct tm gettm(VariableTree* params);

#endif  // SCRIPT_BUILTINS_H_
