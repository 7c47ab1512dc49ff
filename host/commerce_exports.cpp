// The kelp_ functions the program exports to commerce plug-ins: thin wrappers over
// the engine's variables, network and files. Handles are the engine's own objects
// behind opaque pointers. Names a plug-in gives are resolved as the page's tags
// resolve theirs, so a plug-in reaches no file outside the configured directories.

#include <stdlib.h>
#include <string.h>

#include "foundation/file.h"
#include "host/commerce.h"
#include "host/engine.h"
#include "host/kelp_commerce.h"
#include "net/net_context.h"
#include "net/network.h"
#include "script/encoding.h"
#include "script/script_parser.h"
#include "script/variables.h"

namespace {

// The last failure of a call that has no handle of its own to keep it.
String& LastFileError() {
    static String error;
    return error;
}

ScriptParser* Parser(kelp_interpreter* kelp) {
    return reinterpret_cast<ScriptParser*>(kelp);
}
Kelp* Engine(kelp_interpreter* kelp) {
    return Parser(kelp)->engine();
}
Variable* V(kelp_variable* v) {
    return reinterpret_cast<Variable*>(v);
}
VariableList* L(kelp_variablelist* l) {
    return reinterpret_cast<VariableList*>(l);
}
VariableTree* T(kelp_variabletree* t) {
    return reinterpret_cast<VariableTree*>(t);
}
NetworkConnection* C(kelp_connection* c) {
    return reinterpret_cast<NetworkConnection*>(c);
}
File* F(kelp_file* f) {
    return reinterpret_cast<File*>(f);
}
kelp_variable* Handle(Variable* v) {
    return reinterpret_cast<kelp_variable*>(v);
}

// Resolves name for a path function; false (and the message kept) when refused.
bool Resolve(kelp_interpreter* kelp, const char* name, int type, String* path) {
    if (kelp == nullptr || name == nullptr || type < ScriptPath || type > TemporaryPath) {
        LastFileError() = "Invalid arguments";
        return false;
    }
    String error;
    if (!Engine(kelp)->ResolvePath(name, static_cast<PathType>(type), path, &error)) {
        LastFileError() = error;
        return false;
    }
    return true;
}

// A file-manager result: non-negative is success; a failure keeps the message.
long Kept(kelp_interpreter* kelp, long result) {
    if (result < 0) LastFileError() = Engine(kelp)->filemanager()->error();
    return result;
}

const char* Text(const char* s) {
    return s != nullptr ? s : "";
}

}  // namespace

void KeepCommerceExports() {}

extern "C" {

void* kelp_alloc(size_t size) {
    return malloc(size == 0 ? 1 : size);
}
void* kelp_realloc(void* block, size_t size) {
    return realloc(block, size == 0 ? 1 : size);
}
void kelp_free(void* block) {
    free(block);
}

const char* kelp_variable_name(kelp_variable* v) {
    return v ? V(v)->name().chars() : "";
}
const char* kelp_variable_value(kelp_variable* v) {
    return v ? V(v)->value().chars() : "";
}
int kelp_variable_setvalue(kelp_variable* v, const char* value) {
    if (v == nullptr) return 0;
    V(v)->SetOutside(true);
    return V(v)->SetValue(Text(value));
}
kelp_variable* kelp_variable_new(const char* name, const char* value) {
    return Handle(new Variable(Text(name), Text(value)));
}

kelp_variablelist* kelp_variablelist_new(void) {
    return reinterpret_cast<kelp_variablelist*>(new VariableList(1));
}
kelp_variable* kelp_variablelist_first(kelp_variablelist* l) {
    return l ? Handle(L(l)->First()) : nullptr;
}
kelp_variable* kelp_variablelist_current(kelp_variablelist* l) {
    return l ? Handle(L(l)->Current()) : nullptr;
}
kelp_variable* kelp_variablelist_next(kelp_variablelist* l) {
    return l ? Handle(L(l)->Next()) : nullptr;
}
kelp_variable* kelp_variablelist_find(kelp_variablelist* l, const char* name) {
    return l && name ? Handle(L(l)->Find(name)) : nullptr;
}
int kelp_variablelist_setvariable(kelp_variablelist* l, const char* name, const char* value) {
    return l && name ? L(l)->SetVariable(name, Text(value)) : 0;
}
void kelp_variablelist_dump(kelp_variablelist* l) {
    if (l) L(l)->Dump();
}
char* kelp_variablelist_to_url(kelp_variablelist* l) {
    String url;
    if (l) {
        for (Variable* v = L(l)->First(); v != nullptr; v = L(l)->Next()) {
            String name = v->name(), value = v->value();
            EncodeAttribute(&name);
            EncodeAttribute(&value);
            if (!url.empty()) url += '&';
            url += name + "=" + value;
        }
    }
    char* copy = static_cast<char*>(malloc(static_cast<size_t>(url.length()) + 1));
    if (copy != nullptr) memcpy(copy, url.chars(), static_cast<size_t>(url.length()) + 1);
    return copy;
}
void kelp_variablelist_delete(kelp_variablelist* l) {
    delete L(l);
}

kelp_variabletree* kelp_variabletree_new(void) {
    return reinterpret_cast<kelp_variabletree*>(new VariableTree(1));
}
kelp_variable* kelp_variabletree_find(kelp_variabletree* t, const char* name) {
    return t && name ? Handle(T(t)->Find(name)) : nullptr;
}
int kelp_variabletree_setvariable(kelp_variabletree* t, const char* name, const char* value) {
    // What a plug-in supplies is outside text, like everything that did not come
    // from the page itself.
    return t && name && *name ? T(t)->SetVariable(name, Text(value)) : 0;
}
void kelp_variabletree_insert(kelp_variabletree* t, kelp_variable* v) {
    if (t && v) T(t)->Insert(V(v));
}
void kelp_variabletree_dump(kelp_variabletree* t) {
    if (t) T(t)->Dump();
}
void kelp_variabletree_delete(kelp_variabletree* t) {
    delete T(t);
}

int kelp_network_isipaddress(const char* text) {
    return NetworkManager::IsIPAddress(Text(text)) ? 1 : 0;
}
int kelp_network_gethostaddress(kelp_interpreter* kelp, const char* host, char* address,
                                size_t size) {
    if (!kelp || !host || !address || size == 0) return -1;
    String found;
    if (NetContext::Manager(Engine(kelp))->GetHostAddress(host, &found) != 0) return -1;
    if (static_cast<size_t>(found.length()) >= size) return -1;
    memcpy(address, found.chars(), static_cast<size_t>(found.length()) + 1);
    return 0;
}
kelp_connection* kelp_network_connect(kelp_interpreter* kelp, const char* host, int port) {
    if (!kelp || !host) return nullptr;
    Kelp* engine = Engine(kelp);
    return reinterpret_cast<kelp_connection*>(
        NetContext::Manager(engine)->Connect(host, port, engine->settings().calltimeout));
}
kelp_connection* kelp_network_openurl(kelp_interpreter* kelp, const char* url, const char* method,
                                      const char* contenttype, const char* body) {
    if (!kelp || !url) return nullptr;
    Kelp* engine = Engine(kelp);
    String text = Text(body);
    return reinterpret_cast<kelp_connection*>(
        NetContext::Manager(engine)->OpenURL(url, method ? method : "GET", Text(contenttype), &text,
                                             text.length(), engine->settings().calltimeout));
}
long kelp_network_read(kelp_connection* c, char* buffer, long size, int timeout) {
    return c && buffer ? C(c)->Read(buffer, size, timeout) : -1;
}
long kelp_network_readline(kelp_connection* c, char* buffer, long size, int timeout) {
    if (!c || !buffer || size < 1) return -1;
    String line;
    long limit = size - 1 < kMaxNetworkLine ? size - 1 : kMaxNetworkLine;
    int n = C(c)->ReadLine(&line, timeout, static_cast<int>(limit));
    if (n <= 0) {
        buffer[0] = '\0';
        return n;
    }
    memcpy(buffer, line.chars(), static_cast<size_t>(line.length()));
    buffer[line.length()] = '\0';
    return line.length();
}
long kelp_network_write(kelp_connection* c, const char* data, long length) {
    return c && data ? C(c)->Write(data, length) : -1;
}
void kelp_network_close(kelp_connection* c) {
    delete C(c);
}
const char* kelp_network_error(kelp_interpreter* kelp, kelp_connection* c) {
    if (c) return C(c)->error().chars();
    return kelp ? NetContext::Manager(Engine(kelp))->error().chars() : "";
}

int kelp_file_resolve(kelp_interpreter* kelp, const char* name, int type, char* path, size_t size) {
    String resolved;
    if (!path || size == 0 || !Resolve(kelp, name, type, &resolved)) return 0;
    if (static_cast<size_t>(resolved.length()) >= size) {
        LastFileError() = "The path does not fit the buffer";
        return 0;
    }
    memcpy(path, resolved.chars(), static_cast<size_t>(resolved.length()) + 1);
    return 1;
}
kelp_file* kelp_file_open(kelp_interpreter* kelp, const char* name, int type, int mode) {
    String path;
    if (!Resolve(kelp, name, type, &path)) return nullptr;
    FileManager* fm = Engine(kelp)->filemanager();
    File* f = fm->Open(path, mode & (FileRead | FileWrite | FileCreate | FileTruncate | FileAppend |
                                     FileExclusive));
    if (f == nullptr) LastFileError() = fm->error();
    return reinterpret_cast<kelp_file*>(f);
}
int kelp_file_delete(kelp_interpreter* kelp, const char* name, int type) {
    String path;
    return Resolve(kelp, name, type, &path)
               ? static_cast<int>(Kept(kelp, Engine(kelp)->filemanager()->Delete(path)))
               : -1;
}
int kelp_file_rename(kelp_interpreter* kelp, const char* from, const char* to, int type) {
    String a, b;
    if (!Resolve(kelp, from, type, &a) || !Resolve(kelp, to, type, &b)) return -1;
    return static_cast<int>(Kept(kelp, Engine(kelp)->filemanager()->Rename(a, b)));
}
int kelp_file_exists(kelp_interpreter* kelp, const char* name, int type) {
    String path;
    return Resolve(kelp, name, type, &path) && Engine(kelp)->filemanager()->Exists(path) ? 1 : 0;
}
long kelp_file_size(kelp_interpreter* kelp, const char* name, int type) {
    String path;
    return Resolve(kelp, name, type, &path) ? Kept(kelp, Engine(kelp)->filemanager()->Length(path))
                                            : -1;
}
int kelp_file_isdirectory(kelp_interpreter* kelp, const char* name, int type) {
    String path;
    return Resolve(kelp, name, type, &path) && Engine(kelp)->filemanager()->IsDirectory(path) ? 1
                                                                                              : 0;
}
int kelp_file_makedirectory(kelp_interpreter* kelp, const char* name, int type) {
    String path;
    return Resolve(kelp, name, type, &path)
               ? static_cast<int>(Kept(kelp, Engine(kelp)->filemanager()->MakeDirectory(path)))
               : -1;
}
int kelp_file_removedirectory(kelp_interpreter* kelp, const char* name, int type) {
    String path;
    return Resolve(kelp, name, type, &path)
               ? static_cast<int>(Kept(kelp, Engine(kelp)->filemanager()->RemoveDirectory(path)))
               : -1;
}
int kelp_file_mode(kelp_interpreter* kelp, const char* name, int type) {
    String path;
    return Resolve(kelp, name, type, &path)
               ? static_cast<int>(Kept(kelp, Engine(kelp)->filemanager()->Mode(path)))
               : -1;
}
int kelp_file_changemode(kelp_interpreter* kelp, const char* name, int type, int mode) {
    String path;
    return Resolve(kelp, name, type, &path)
               ? static_cast<int>(Kept(kelp, Engine(kelp)->filemanager()->ChangeMode(path, mode)))
               : -1;
}
const char* kelp_file_pathseparator(kelp_interpreter* kelp) {
    return kelp ? Engine(kelp)->filemanager()->pathseparator() : "/";
}
long kelp_file_read(kelp_file* f, char* buffer, long size) {
    return f && buffer ? F(f)->Read(buffer, size) : -1;
}
long kelp_file_write(kelp_file* f, const char* data, long size) {
    return f && data ? F(f)->Write(data, size) : -1;
}
long kelp_file_seek(kelp_file* f, long position) {
    return f ? F(f)->Seek(position) : -1;
}
long kelp_file_tell(kelp_file* f) {
    return f ? F(f)->Tell() : -1;
}
long kelp_file_length(kelp_file* f) {
    return f ? F(f)->Length() : -1;
}
int kelp_file_lock(kelp_file* f, int mode, long start, long length) {
    return f ? F(f)->Lock(mode == 2 ? FileExclusiveLock : FileSharedLock, start, length) : -1;
}
int kelp_file_release(kelp_file* f, long start, long length) {
    return f ? F(f)->Release(start, length) : -1;
}
void kelp_file_close(kelp_file* f) {
    delete F(f);
}
const char* kelp_file_error(kelp_interpreter*, kelp_file* f) {
    return f ? F(f)->error().chars() : LastFileError().chars();
}

}  // extern "C"
