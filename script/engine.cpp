// The engine of one request: the deadline, errors, path resolution and modules.

#include "script/engine.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "foundation/file.h"
#include "foundation/output.h"
#include "foundation/string.h"
#include "foundation/time_helpers.h"
#include "script/buffer.h"
#include "script/encoding.h"
#include "script/error.h"
#include "script/module.h"
#include "script/script_parser.h"
#include "script/variables.h"

Kelp::Kelp() : modules_(1) {
    vars_ = new Variables(this);
}

// Databases evaluate with the modules' interpreters: the rooms end their parts first.
Kelp::~Kelp() {
    if (deadline_ != 0) DeadlineAlarm::Remove(deadline_);
    EndRooms();
    DropModules();
    for (RequestContext*& c : contexts_) {
        delete c;
        c = nullptr;
    }
    delete vars_;
}

void Kelp::Attach(ContextSlot slot, RequestContext* context) {
    delete contexts_[slot];
    contexts_[slot] = context;
}

void Kelp::EndRooms() {
    EndRun();
    for (RequestContext* c : contexts_) {
        if (c != nullptr) c->EndRequest();
    }
}

void Kelp::DropModules() {
    SetCurrentModule(nullptr);
    modules_.Dump();
}

namespace {

// The absolute form of path with ".", ".." and repeated "/" taken out, without
// looking at the file system. ".." above "/" stays at "/".
String Normalize(const String& path) {
    String absolute = path.matches('/', 0) ? path : FileManager::WorkingDirectory() + "/" + path;
    const char* text = absolute.chars();
    int n = absolute.length();
    // Parts are appended to the result as "/part" (never longer than the path plus a
    // slash); ".." cuts back to where the last kept part began.
    char small[256];
    char* out = n + 2 <= static_cast<int>(sizeof small) ? small : new char[n + 2];
    int length = 0;
    int start = 0;
    while (start <= n) {
        const char* slash = static_cast<const char*>(memchr(text + start, '/', n - start));
        int end = slash != nullptr ? static_cast<int>(slash - text) : n;
        int k = end - start;
        if (k == 2 && text[start] == '.' && text[start + 1] == '.') {
            while (length > 0 && out[length - 1] != '/') length--;
            if (length > 0) length--;
        } else if (k > 0 && !(k == 1 && text[start] == '.')) {
            out[length++] = '/';
            memcpy(out + length, text + start, k);
            length += k;
        }
        if (slash == nullptr) break;
        start = end + 1;
    }
    String result = length == 0 ? String("/") : String(out, length);
    if (out != small) delete[] out;
    return result;
}

bool Inside(const String& path, const String& root) {
    if (root == "/") return true;
    return path == root || (path.length() > root.length() && path.search(root.chars(), 0) == 0 &&
                            path[root.length()] == '/');
}

// The path with every symbolic link of its existing part followed; the part that
// does not exist yet is kept as written. Empty when a link cannot be followed.
String RealPath(const String& path) {
    // Most paths exist: one call resolves them.
    char* whole = realpath(path.chars(), nullptr);
    if (whole != nullptr) {
        String real(whole);
        free(whole);
        return real;
    }
    String existing = path, rest;
    struct stat st;
    while (lstat(existing.chars(), &st) < 0 && existing != "/") {
        int slash = existing.length() - 1;
        while (slash > 0 && existing[slash] != '/') slash--;
        rest = existing.from(slash) + rest;
        existing = slash > 0 ? existing.before(slash) : String("/");
    }
    // (The result on the heap: a buffer of PATH_MAX on the stack would make fresh
    // stack pages present for one call.)
    char* resolved = realpath(existing.chars(), nullptr);
    if (resolved == nullptr) return String();
    String real(resolved);
    free(resolved);
    return real == "/" ? (rest.empty() ? real : rest) : real + rest;
}

// Where the roots of earlier requests lead, and the directory each led to then.
struct KnownRoot {
    String root;
    String real;
    dev_t device;
    ino_t inode;
};
// A name found missing directly inside a configured directory, and that directory's
// status then.
struct MissingName {
    String path;
    dev_t device;
    ino_t inode;
    struct timespec modified, changed;
};
struct KnownRoots {
    bool keep = false;
    int settle = 2;
    std::vector<KnownRoot> roots;      // a few: the configured directories
    std::vector<MissingName> missing;  // a few names in them
};
KnownRoots& Known() {
    static KnownRoots* known = new KnownRoots;
    return *known;
}

// RealPath(root), from what an earlier request found while root still leads to the
// same directory (status: root's, when this request has taken it already).
String RealRoot(const String& root, const struct stat* status) {
    KnownRoots& known = Known();
    if (!known.keep) return RealPath(root);
    struct stat st;
    bool seen = status != nullptr || stat(root.chars(), &st) == 0;
    if (status != nullptr) st = *status;
    for (KnownRoot& k : known.roots) {
        if (!(k.root == root)) continue;
        if (seen && k.device == st.st_dev && k.inode == st.st_ino) return k.real;
        k.real = RealPath(root);
        k.device = seen ? st.st_dev : 0;
        k.inode = seen ? st.st_ino : 0;
        return k.real;
    }
    String real = RealPath(root);
    if (seen && !real.empty()) {
        if (known.roots.size() >= 8) known.roots.erase(known.roots.begin());
        known.roots.push_back(KnownRoot{root, real, st.st_dev, st.st_ino});
    }
    return real;
}

// Names found missing directly inside a directory whose status the request took. In a
// process that serves many requests, such a name is known missing without a look
// while the directory has the very status it had when the name was found missing: a
// name made, removed or renamed in a directory changes the directory's times. Only the
// names of a directory that had not changed for a few seconds are remembered (one
// changed within the same tick of the clock could keep its times).
bool RememberedMissing(const String& path, const struct stat* directory) {
    KnownRoots& known = Known();
    if (!known.keep || directory == nullptr) return false;
    for (const MissingName& m : known.missing) {
        if (m.path == path) {
            return m.device == directory->st_dev && m.inode == directory->st_ino &&
                   SameTime(m.modified, directory->st_mtim) &&
                   SameTime(m.changed, directory->st_ctim);
        }
    }
    return false;
}

// Remembers that lstat found nothing at path, directly inside directory.
void NoteMissing(const String& path, const struct stat* directory) {
    KnownRoots& known = Known();
    if (!known.keep || directory == nullptr) return;
    time_t newest = std::max(directory->st_mtim.tv_sec, directory->st_ctim.tv_sec);
    if (ClockSeconds() - newest < known.settle) return;
    MissingName name{path, directory->st_dev, directory->st_ino, directory->st_mtim,
                     directory->st_ctim};
    for (MissingName& m : known.missing) {
        if (m.path == path) {
            m = name;
            return;
        }
    }
    if (known.missing.size() >= 16) known.missing.erase(known.missing.begin());
    known.missing.push_back(name);
}

// RealPath(path) for a path inside root, whose real place realroot is known: the
// components below the root are looked at one by one, and only when one of them is a
// symbolic link is the whole path resolved. *status says what was seen; rootstatus
// is the root's, when this request took it.
String RealPathBelow(const String& path, const String& root, const String& realroot,
                     const struct stat* rootstatus, PathStatus* status) {
    status->state = PathStatus::Unknown;
    if (realroot.empty()) return RealPath(path);
    int start = root == "/" ? 0 : root.length();
    if (start >= path.length()) return realroot;
    struct stat st;
    status->state = PathStatus::Found;
    String inside = realroot == "/" ? path.from(start) : realroot + path.from(start);
    // A name directly in the root that an earlier request found missing, the root
    // unchanged since, is missing still.
    bool direct = path.search("/", start + 1) < 0;
    if (direct && RememberedMissing(path, rootstatus)) {
        status->state = PathStatus::Missing;
        return inside;
    }
    for (int i = start + 1; i <= path.length(); i++) {
        if (i < path.length() && path[i] != '/') continue;
        if (lstat(path.at(0, i).chars(), &st) < 0) {  // the rest does not exist yet
            status->state = errno == ENOENT ? PathStatus::Missing : PathStatus::Unknown;
            if (direct && status->state == PathStatus::Missing) NoteMissing(path, rootstatus);
            break;
        }
        if (S_ISLNK(st.st_mode)) {
            status->state = PathStatus::Unknown;
            return RealPath(path);
        }
    }
    if (status->state == PathStatus::Found) status->st = st;
    return inside;
}

}  // namespace

void Kelp::SeenDirectory(const String& directory, const struct stat& st) {
    seendirectory_[seenturn_] = Normalize(directory);
    seenstatus_[seenturn_] = st;
    seenturn_ = 1 - seenturn_;
}

void Kelp::KeepRealRoots(bool keep, int settle) {
    Known().keep = keep;
    Known().settle = settle;
    if (!keep) {
        Known().roots.clear();
        Known().missing.clear();
    }
}

const struct stat* Kelp::SeenStatus(const char* directory, int length) const {
    for (int i = 0; i < 2; i++) {
        const String& seen = seendirectory_[i];
        if (seen.length() == length && memcmp(seen.chars(), directory, length) == 0) {
            return &seenstatus_[i];
        }
    }
    return nullptr;
}

bool Kelp::Missing(const String& path) {
    int slash = path.length() - 1;
    while (slash > 0 && path[slash] != '/') slash--;
    const struct stat* directory = slash > 0 ? SeenStatus(path.chars(), slash) : nullptr;
    if (RememberedMissing(path, directory)) return true;
    struct stat st;
    if (lstat(path.chars(), &st) == 0 || errno != ENOENT) return false;
    NoteMissing(path, directory);
    return true;
}

int Kelp::ResolvePath(const String& name, PathType type, String* resolved, String* error,
                      PathStatus* status) {
    static const char* const kKinds[] = {"script", "data", "temporary"};
    const String& base =
        type == ScriptPath ? settings_.scriptdirectory
                           : (type == DataPath ? settings_.datadirectory : settings_.tempdirectory);
    String root = Normalize(base.empty() ? FileManager::WorkingDirectory() : base);
    String start = root;
    if (type == ScriptPath && !name.matches('/', 0) && currentmodule_ != nullptr &&
        !currentmodule_->directory().empty()) {
        start = Normalize(currentmodule_->directory());
    }
    String path = Normalize(start + "/" + name);
    // Both the name as written and the place its links lead to must stay inside.
    // The root's real place is looked up once per request and directory.
    const struct stat* taken = SeenStatus(root.chars(), root.length());
    if (!(root == realrootfor_[type])) {
        realrootfor_[type] = root;
        realroot_[type] = RealRoot(root, taken);
    }
    const String& realroot = realroot_[type];
    PathStatus seen;
    String real =
        Inside(path, root) ? RealPathBelow(path, root, realroot, taken, &seen) : RealPath(path);
    if (!Inside(path, root) || real.empty() || !Inside(real, realroot.empty() ? root : realroot)) {
        *error = "'" + Entities(name) + "' is not contained in the configured " + kKinds[type] +
                 " directory";
        return 0;
    }
    *resolved = path;
    filemanager()->SeenFile(path, seen.state == PathStatus::Found ? &seen.st : nullptr);
    if (status != nullptr) *status = seen;
    return 1;
}

Module* Kelp::FindModule(const String& name, String* error) {
    String path;
    if (!ResolvePath(name, ScriptPath, &path, error)) return nullptr;
    // A module is a script like any page: an uploaded text or data file never runs.
    if (!IsScriptExtension(FileManager::Extension(path))) {
        *error = "'" + Entities(name) + "' does not have a valid script extension";
        return nullptr;
    }
    Module* m = modules_.Find(path.chars());
    if (m != nullptr) return m;
    m = new Module(this, currentmodule_);
    if (!m->Open(path, name, error)) {
        delete m;
        return nullptr;
    }
    modules_.Insert(m, ListTail);
    return m;
}

Module* Kelp::SetCurrentModule(Module* m) {
    Module* previous = currentmodule_;
    currentmodule_ = m;
    return previous;
}

void Kelp::SetDeadline(time_t deadline) {
    if (deadline_ != 0) DeadlineAlarm::Remove(deadline_);
    deadline_ = deadline;
    if (deadline == 0) return;
    rings_ = DeadlineAlarm::Rings();
    DeadlineAlarm::Add(deadline);
}

bool Kelp::DeadlinePassed() {
    if (ClockNow().tv_sec > deadline_) return true;
    rings_ = DeadlineAlarm::Rings();
    DeadlineAlarm::Rearm();
    return false;
}

int Kelp::timeremaining() {
    if (deadline_ == 0) return -1;
    return static_cast<int>(deadline_ - ClockSeconds());
}

void Kelp::EnsureHeaders(int status) {
    if (headerssent_) return;
    StartHeaders(status);
    EndHeaders();
    headerssent_ = 1;
}

void Kelp::Error(const ::Error& error) {
    RecordError(error.message());
    EnsureHeaders(error.resultcode());
    Output* out = output();
    out->Write(error.message());
    out->Write("\r\n", 2);
    out->Flush();
}

void Kelp::UndefinedRead(const String& name) {
    if (currentmodule_ == nullptr || !script_.FirstUndefinedRead(name)) return;
    ScriptParser* parser = currentmodule_->scriptparser();
    String message = parser->source()->errorname() + ": Line " + String::FromInt(parser->line()) +
                     ": Warning: '" + Entities(name) + "' is not defined";
    RecordError(message);
    EnsureHeaders(200);
    output()->Write(message);
    output()->Write("\r\n", 2);
}

void Kelp::Error(const String& text) {
    EnsureHeaders(200);
    Output* out = output();
    out->Write(text);
    out->Flush();
}

void Kelp::RemoveUploads() {
    for (const String& path : uploads_) {
        if (filemanager()->Exists(path)) filemanager()->Delete(path);
    }
    uploads_.clear();
}
