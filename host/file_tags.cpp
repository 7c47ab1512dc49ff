// The file tags (FILE, KpLOCKFILE) and the file built-in functions. Every name a
// script gives is resolved through the engine's ResolvePath: data names below the
// data directory, script names below the script directory.

#include <stdlib.h>

#include "foundation/file.h"
#include "host/engine.h"
#include "host/script_host_tags.h"
#include "script/builtins.h"
#include "script/encoding.h"
#include "script/script_parser.h"
#include "script/tag_table.h"
#include "script/variables.h"

namespace {

// ---------------------------------------------------------------------------
// KpLOCKFILE

// Holds a lock file for the duration of its block; removes it when the block ends,
// unless the script timed out (then another process may own it by now).
class LockFileState : public ScriptState {
  public:
    LockFileState(ScriptParser* parser, Tag* tag, const String& path)
        : ScriptState(parser, tag), path_(path) {}

    bool HandsToDispatch(const Tag* tag) const override { return tag->id() != TagEndKpLOCKFILE; }

    int ProcessTag(Tag* tag) override {
        if (HandsToDispatch(tag)) return Dispatch(tag);
        return StateClose;
    }

    int ExitState() override {
        Kelp* engine = parser_->engine();
        if (!engine->timedout()) engine->filemanager()->Delete(path_);
        return StateDone;
    }

  private:
    String path_;
};

int FileError(ScriptState* state, Tag* tag, const String& message) {
    return state->RuntimeError(tag, message);
}

// The first attribute written without a value names the command.
NameValuePair* FileCommand(Tag* tag) {
    SearchableList<NameValuePair, const char*>& a = tag->attributes();
    for (NameValuePair* p = a.First(); p != nullptr; p = a.Next()) {
        if (p->value() == p->name()) return p;
    }
    return nullptr;
}

// Resolves a data name for tag; on refusal reports it and returns false.
bool ResolveDataName(ScriptState* state, Tag* tag, const String& name, String* path, int* result) {
    String error;
    if (state->parser()->engine()->ResolvePath(name, DataPath, path, &error)) return true;
    *result = FileError(state, tag, error);
    return false;
}

// ---------------------------------------------------------------------------
// File built-ins

Kelp* Engine(ScriptParser* p) {
    return p->engine();
}

String Arg(VariableTree* a, const char* name) {
    Variable* v = a->Argument(name);
    return v ? v->value() : String();
}

int Done(String* result, const String& value) {
    *result = value;
    return 1;
}

int Truth(String* result, bool ok) {
    return Done(result, ok ? "1" : "0");
}

// Resolves the parameter name as type; false when refused.
bool Resolve(ScriptParser* p, VariableTree* a, const char* name, PathType type, String* path) {
    String error;
    return Engine(p)->ResolvePath(Arg(a, name), type, path, &error) != 0;
}

template <PathType kType>
int Exists(ScriptParser* p, VariableTree* a, String* r) {
    String path;
    return Truth(r, Resolve(p, a, "path", kType, &path) && Engine(p)->filemanager()->Exists(path));
}

template <PathType kType>
int MakeDir(ScriptParser* p, VariableTree* a, String* r) {
    String path;
    return Truth(r, Resolve(p, a, "path", kType, &path) &&
                        Engine(p)->filemanager()->MakeDirectory(path) > 0);
}

template <PathType kType>
int DeleteFile(ScriptParser* p, VariableTree* a, String* r) {
    String path;
    FileManager* files = Engine(p)->filemanager();
    if (!Resolve(p, a, "path", kType, &path)) return Truth(r, false);
    if (files->IsDirectory(path)) return Truth(r, files->RemoveDirectory(path) > 0);
    return Truth(r, files->Delete(path) > 0);
}

template <PathType kFrom, PathType kTo>
int CopyFile(ScriptParser* p, VariableTree* a, String* r) {
    String source, dest;
    return Truth(r, Resolve(p, a, "source", kFrom, &source) && Resolve(p, a, "dest", kTo, &dest) &&
                        Engine(p)->filemanager()->Copy(source, dest) > 0);
}

template <PathType kFrom, PathType kTo>
int RenameFile(ScriptParser* p, VariableTree* a, String* r) {
    String source, dest;
    return Truth(r, Resolve(p, a, "source", kFrom, &source) && Resolve(p, a, "dest", kTo, &dest) &&
                        Engine(p)->filemanager()->Rename(source, dest) > 0);
}

// Modes are written in octal, as for chmod.
bool OctalMode(const String& text, int* mode) {
    char* end;
    long m = strtol(text.chars(), &end, 8);
    if (text.empty() || *end != '\0' || m < 0 || m > 07777) return false;
    *mode = static_cast<int>(m);
    return true;
}

template <PathType kType>
int ChangeMode(ScriptParser* p, VariableTree* a, String* r) {
    String path;
    int mode;
    return Truth(r, Resolve(p, a, "path", kType, &path) && OctalMode(Arg(a, "mode"), &mode) &&
                        Engine(p)->filemanager()->ChangeMode(path, mode) > 0);
}

template <PathType kType>
int Size(ScriptParser* p, VariableTree* a, String* r) {
    String path;
    if (!Resolve(p, a, "path", kType, &path)) return Done(r, "-1");
    long n = Engine(p)->filemanager()->Length(path);
    return Done(r, String::FromInt(n < 0 ? -1 : n));
}

template <PathType kType>
int ModeOf(ScriptParser* p, VariableTree* a, String* r) {
    String path;
    if (!Resolve(p, a, "path", kType, &path)) return Done(r, "-1");
    int mode = Engine(p)->filemanager()->Mode(path);
    if (mode < 0) return Done(r, "-1");
    char octal[16];
    snprintf(octal, sizeof octal, "%o", mode);
    return Done(r, octal);
}

// The link is made in the directory of its type and points at the resolved source,
// which must itself be inside it.
template <PathType kType>
int SymbolicLink(ScriptParser* p, VariableTree* a, String* r) {
    String source, dest;
    return Truth(r, Resolve(p, a, "source", kType, &source) &&
                        Resolve(p, a, "dest", kType, &dest) &&
                        Engine(p)->filemanager()->MakeSymbolicLink(source, dest) > 0);
}

// A built-in that changes files ends a run of adds first (see DataContext::HoldLocks): no
// table lock is kept while a file, perhaps one of the run's own, is copied, renamed
// or removed.
template <BuiltinRoutine kRoutine>
int Changing(ScriptParser* p, VariableTree* a, String* r) {
    Engine(p)->EndRun();
    return kRoutine(p, a, r);
}

const Builtin kFileBuiltins[] = {
    {"fexists", "path", Exists<DataPath>},
    {"fmkdir", "path", Changing<MakeDir<DataPath>>},
    {"fdelete", "path", Changing<DeleteFile<DataPath>>},
    {"fcopy", "source, dest", Changing<CopyFile<DataPath, DataPath>>},
    {"frename", "source, dest", Changing<RenameFile<DataPath, DataPath>>},
    {"fchmod", "path, mode", Changing<ChangeMode<DataPath>>},
    {"fsize", "path", Size<DataPath>},
    {"fmode", "path", ModeOf<DataPath>},
    {"fsymlink", "source, dest", Changing<SymbolicLink<DataPath>>},
    {"sexists", "path", Exists<ScriptPath>},
    {"smkdir", "path", Changing<MakeDir<ScriptPath>>},
    {"sdelete", "path", Changing<DeleteFile<ScriptPath>>},
    {"scopy", "source, dest", Changing<CopyFile<ScriptPath, ScriptPath>>},
    {"srename", "source, dest", Changing<RenameFile<ScriptPath, ScriptPath>>},
    {"schmod", "path, mode", Changing<ChangeMode<ScriptPath>>},
    {"ssize", "path", Size<ScriptPath>},
    {"smode", "path", ModeOf<ScriptPath>},
    {"ssymlink", "source, dest", Changing<SymbolicLink<ScriptPath>>},
    {"fscopy", "source, dest", Changing<CopyFile<DataPath, ScriptPath>>},
    {"sfcopy", "source, dest", Changing<CopyFile<ScriptPath, DataPath>>},
    {"fsrename", "source, dest", Changing<RenameFile<DataPath, ScriptPath>>},
    {"sfrename", "source, dest", Changing<RenameFile<ScriptPath, DataPath>>},
};

}  // namespace

int ProcessKpLOCKFILE(ScriptState* state, Tag* tag) {
    ScriptParser* parser = state->parser();
    String path;
    int result;
    if (!ResolveDataName(state, tag, tag->Value("FILE"), &path, &result)) {
        return parser->SkipBlock(tag) ? result : StateError;
    }
    path += ".lck";
    FileManager* files = parser->engine()->filemanager();
    if (files->Lock(path) != LockTaken) {
        // The block must not run without its lock.
        String message =
            "Error creating lockfile '" + Entities(tag->Value("FILE")) + "': " + files->error();
        if (!parser->SkipBlock(tag)) return StateError;
        return state->RuntimeError(tag, message);
    }
    parser->AddState(new LockFileState(parser, tag, path));
    return StateDone;
}

int ProcessFILE(ScriptState* state, Tag* tag) {
    FileManager* files = state->parser()->engine()->filemanager();
    NameValuePair* command = FileCommand(tag);
    if (command == nullptr) {
        return FileError(
            state, tag,
            "You must specify one of RENAME, DELETE, or CHMOD for the &lt;FILE&gt; tag");
    }
    String path, other;
    int result;
    if (command->name().matches("DELETE")) {
        if (tag->Find("NAME") == nullptr) {
            return FileError(
                state, tag,
                "FILE DELETE requires a filename to be specified by the attribute NAME");
        }
        String name = tag->Value("NAME");
        if (!ResolveDataName(state, tag, name, &path, &result)) return result;
        if (files->Delete(path) < 0) {
            return FileError(state, tag,
                             "Error deleting '" + Entities(name) + "': " + files->error());
        }
        return StateDone;
    }
    if (command->name().matches("RENAME")) {
        for (const char* a : {"NAME", "OLDNAME"}) {
            if (tag->Find(a) == nullptr) {
                return FileError(state, tag,
                                 String("FILE RENAME requires a filename to be specified by the "
                                        "attribute ") +
                                     a);
            }
        }
        String name = tag->Value("NAME"), old = tag->Value("OLDNAME");
        if (!ResolveDataName(state, tag, old, &other, &result)) return result;
        if (!ResolveDataName(state, tag, name, &path, &result)) return result;
        if (files->Rename(other, path) < 0) {
            return FileError(state, tag,
                             "Error renaming '" + Entities(old) + "' to '" + Entities(name) +
                                 "': " + files->error());
        }
        return StateDone;
    }
    if (command->name().matches("CHMOD")) {
        if (tag->Find("FILE") == nullptr) {
            return FileError(
                state, tag, "FILE CHMOD requires a filename to be specified by the attribute FILE");
        }
        if (tag->Find("MODE") == nullptr) {
            return FileError(state, tag,
                             "FILE CHMOD requires a mode to be specified by the attribute MODE");
        }
        String name = tag->Value("FILE"), modetext = tag->Value("MODE");
        if (!ResolveDataName(state, tag, name, &path, &result)) return result;
        int mode;
        if (!OctalMode(modetext, &mode)) {
            return FileError(state, tag,
                             "Error changing mode of '" + Entities(name) + "' to " +
                                 Entities(modetext) + ": Invalid mode");
        }
        if (files->ChangeMode(path, mode) < 0) {
            return FileError(state, tag,
                             "Error changing mode of '" + Entities(name) + "' to " +
                                 Entities(modetext) + ": " + files->error());
        }
        return StateDone;
    }
    return FileError(state, tag, "Unknown FILE command '" + Entities(command->name()) + "'");
}

namespace {

const TagSpec kFileTags[] = {
    {"FILE", TagFILE, 0, "", kNonFatal, ProcessFILE, nullptr, nullptr},
    {"KpLOCKFILE", TagKpLOCKFILE, TagEndKpLOCKFILE, "FILE*", 0, ProcessKpLOCKFILE, nullptr,
     nullptr},
    {"/KpLOCKFILE", TagEndKpLOCKFILE, 0, "", 0, nullptr, nullptr, nullptr},
};

}  // namespace

void DeclareFileTags() {
    DeclareTags(kFileTags);
}

void InstallFileBuiltins(ScriptParser* parser) {
    parser->AddBuiltins(kFileBuiltins,
                        static_cast<int>(sizeof kFileBuiltins / sizeof kFileBuiltins[0]));
}
