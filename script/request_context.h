// The parts of a request that rooms keep (open databases, the network manager),
// and the two things the interpreter asks of them without knowing them: where field
// variables come from, and whether a run of changes that keeps locks goes on.

#ifndef SCRIPT_REQUEST_CONTEXT_H_
#define SCRIPT_REQUEST_CONTEXT_H_

#include "foundation/string.h"

class Variable;

// A room's part of a request, attached once and destroyed with the request.
class RequestContext {
  public:
    virtual ~RequestContext() {}
    // The request is ending: what needs the modules' interpreters goes now.
    virtual void EndRequest() {}
};
enum ContextSlot { DataContextSlot, NetContextSlot, ContextSlots };

// A run of changes that keeps locks from one tag to the next (see DataContext).
class OpenRun {
  public:
    virtual ~OpenRun() {}
    // Before each tag: the run ends unless the tag continues it and it may go on.
    virtual void BeforeTag(bool continuesrun) = 0;
    virtual void End() = 0;
};

// Where field variables come from (the data room's open databases).
class FieldSource {
  public:
    virtual ~FieldSource() {}
    virtual Variable* FindField(const String& dbname, const String& varname) = 0;
};

#endif  // SCRIPT_REQUEST_CONTEXT_H_
