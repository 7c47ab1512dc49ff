// The handlers of the tags the script language itself owns: control flow and
// assignment, user functions, the engine-control tags, and the stand-in for tags
// whose subsystem is not part of this build.

#ifndef SCRIPT_SCRIPT_TAGS_H_
#define SCRIPT_SCRIPT_TAGS_H_

#include "script/script_parser.h"

// Declares the script language's own tags (once per process).
void DeclareScriptTags();

int ProcessKpIF(ScriptState* state, Tag* tag);
// A KpIF block entered by a compiled pass: PushKpIFState() puts the state of a block
// whose part is running on the stack; ContinueKpIF() does what the tag does once its
// condition is known (runs the true part, or skips to the else part or the end).
void PushKpIFState(ScriptParser* parser, Tag* tag);
int ContinueKpIF(ScriptParser* parser, Tag* tag, bool truth);
int ProcessKpWHILE(ScriptState* state, Tag* tag);
int ProcessKpLET(ScriptState* state, Tag* tag);
int ProcessKpASSIGN(ScriptState* state, Tag* tag);
int ProcessEVAL(ScriptState* state, Tag* tag);
int ProcessKpEVAL(ScriptState* state, Tag* tag);
int ProcessHIDE(ScriptState* state, Tag* tag);
int ProcessKpHIDE(ScriptState* state, Tag* tag);
int ProcessKpFUNCTION(ScriptState* state, Tag* tag);
int ProcessKELP(ScriptState* state, Tag* tag);
int ProcessBRINDLE(ScriptState* state, Tag* tag);
int ProcessKpLOCALIZED(ScriptState* state, Tag* tag);
// A tag without a handler: skips its block (for block tags) and raises the runtime
// error "<TAG> is not available in this version of Kelp".
[[gnu::cold]] int ProcessUnavailableTag(ScriptState* state, Tag* tag);

#endif  // SCRIPT_SCRIPT_TAGS_H_
