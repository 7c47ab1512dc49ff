// The tags and built-in functions the host provides to every interpreter.

#ifndef HOST_SCRIPT_HOST_TAGS_H_
#define HOST_SCRIPT_HOST_TAGS_H_

class ScriptParser;
class ScriptState;
class Tag;

// Declares KpDO, FILE and KpLOCKFILE (once per process).
void DeclareHostTags();

// KpDO: runs another script file, or evaluates an expression in its context.
int ProcessKpDO(ScriptState* state, Tag* tag);

// FILE (DELETE, RENAME, CHMOD on data names), KpLOCKFILE and the file built-ins.
void DeclareFileTags();
void InstallFileBuiltins(ScriptParser* parser);
int ProcessFILE(ScriptState* state, Tag* tag);
int ProcessKpLOCKFILE(ScriptState* state, Tag* tag);

#endif  // HOST_SCRIPT_HOST_TAGS_H_
