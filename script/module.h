// Module: one script file loaded in this request, with its character source and
// its interpreter.

#ifndef SCRIPT_MODULE_H_
#define SCRIPT_MODULE_H_

#include "foundation/string.h"

class Kelp;
class MacroExpander;
class ScriptParser;

// A script file opened for running. A module opened from another module (KpDO) has
// that module as its parent, and its interpreter starts from a copy of the parent
// interpreter's error settings and writes where the parent writes.
class Module {
  public:
    // engine: not owned. parent: not owned, may be null.
    Module(Kelp* engine, Module* parent);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Opens filepath; displayname is the name error messages show. On failure *error
    // is "Error opening 'DISPLAYNAME': REASON". length, when known (else -1), is the
    // file's length: a short file gets a buffer to its measure.
    bool Open(const String& filepath, const String& displayname, String* error, long length = -1);

    const String& filepath() const { return filepath_; }
    // filepath up to its last "/", or empty.
    const String& directory() const { return directory_; }
    ScriptParser* scriptparser() const { return parser_; }
    Module* parent() const { return parent_; }
    const char* key() const { return filepath_.chars(); }

  private:
    Kelp* engine_;    // not owned
    Module* parent_;  // not owned
    String filepath_;
    String directory_;
    MacroExpander* source_;  // owned
    ScriptParser* parser_;   // owned
};

#endif  // SCRIPT_MODULE_H_
