// Kelp: the engine of one request, made when it starts and destroyed when it ends. It
// owns what the request creates (variables, modules, the parts the rooms attach) and
// keeps the output, errors, deadline, paths and modules; it knows no room above it.
// A host supplies files, output and the header block, and fills in the settings.

#ifndef SCRIPT_ENGINE_H_
#define SCRIPT_ENGINE_H_

#include <time.h>

#include <vector>

#include "foundation/deadline_alarm.h"
#include "foundation/file.h"
#include "foundation/list.h"
#include "foundation/string.h"
#include "foundation/time_helpers.h"
#include "script/request_context.h"
#include "script/script_context.h"
#include "script/settings.h"

class Error;
class Module;
class Output;
class ScriptParser;
class Variables;

class Kelp {
  public:
    Kelp();
    virtual ~Kelp();
    Kelp(const Kelp&) = delete;
    Kelp& operator=(const Kelp&) = delete;

    const Settings& settings() const { return settings_; }
    virtual FileManager* filemanager() = 0;
    virtual Output* output() = 0;
    // Writes the start of the header block for an HTTP status, and its end.
    virtual int StartHeaders(int status) = 0;
    virtual int EndHeaders() = 0;
    int headerssent() const { return headerssent_; }
    void SetHeadersSent(int sent) { headerssent_ = sent; }
    // An activity-log entry of a level and kind (FILEOPENED, ...), when the host keeps
    // a log; and where it records the errors it shows (the web server's error log).
    virtual void Log(int, const char*, const String&) {}
    virtual void RecordError(const String&) {}

    // True once the deadline (an absolute time, 0 for none) has passed. Polled by the
    // interpreter at every tag and text run: the clock is read only after the
    // process's deadline alarm has gone off.
    virtual bool timedout() {
        return deadline_ != 0 && DeadlineAlarm::Rings() != rings_ && DeadlinePassed();
    }
    int timeremaining();  // seconds (may be negative), or -1 without a deadline
    time_t deadline() const { return deadline_; }
    void SetDeadline(time_t deadline);

    // Shows an error on the page: sends the header block with its status if it has not
    // been sent, then the message and CR LF, and flushes.
    [[gnu::cold]] virtual void Error(const ::Error& error);
    // Writes text on the page (status 200 if headers are still due), and flushes.
    [[gnu::cold]] virtual void Error(const String& text);
    // Shows "FILE: Line N: Warning: 'name' is not defined" for a read of an undefined
    // variable or field, when the script context says so.
    [[gnu::cold]] void UndefinedRead(const String& name);

    // The rooms' parts of the request (owned; attach takes ownership).
    void Attach(ContextSlot slot, RequestContext* context);
    // The room's part in its slot, made (Part(Kelp*)) and attached on first use.
    template <class Part>
    Part* PartOf(ContextSlot slot) {
        if (contexts_[slot] == nullptr) Attach(slot, new Part(this));
        return static_cast<Part*>(contexts_[slot]);
    }
    FieldSource* fieldsource() const { return fieldsource_; }
    void SetFieldSource(FieldSource* source) { fieldsource_ = source; }
    // The run of changes open now (null: none). EndRun() ends it: before output waits
    // for the web server and before a built-in touches a file.
    OpenRun* openrun() const { return openrun_; }
    void SetOpenRun(OpenRun* run) { openrun_ = run; }
    void EndRun() {
        if (openrun_ != nullptr) openrun_->End();
    }

    // The rooms give a new interpreter their built-in functions (their tags are
    // declared once per process, before a page is read).
    virtual void InstallRooms(ScriptParser*) {}
    // Whether a script file may have the extension (without its dot).
    virtual bool IsScriptExtension(const String&) { return true; }
    // Resolves a name given by a script below the directory of its type: a relative
    // script name from the running script's directory, any other from the directory
    // itself. A name that leads outside, through ".." or a symbolic link, is refused:
    // "'NAME' is not contained in the configured data directory" (script, temporary).
    // 1 with *resolved, or 0 with *error; *status, when given, gets what was seen.
    int ResolvePath(const String& name, PathType type, String* resolved, String* error,
                    PathStatus* status = nullptr);
    // A process that serves many requests keeps where its directories lead from one
    // request to the next, looked at again with one stat per request and directory:
    // a directory replaced (a link moved to another release) is resolved afresh.
    // The names found missing directly in those directories are remembered with the
    // directory's status, for as long as it keeps it (see Missing()); settle: how
    // many seconds a directory must have been unchanged for that.
    static void KeepRealRoots(bool keep, int settle = 2);
    // The status (links followed) of a configured directory, just taken: the first
    // ResolvePath below it in this request looks at it no more.
    void SeenDirectory(const String& directory, const struct stat& st);
    // Whether nothing is at path (lstat's ENOENT). For a name directly in a directory
    // whose status this request took, a process that keeps its roots answers from an
    // earlier request while that directory's status is the very one it had then (no
    // name was made, removed or renamed in it since).
    bool Missing(const String& path);

    // Script modules: the file at name (a script path) as loaded in this request,
    // loaded on first use with the current module as its parent; null with *error.
    Module* FindModule(const String& name, String* error);
    Module* currentmodule() const { return currentmodule_; }
    Module* SetCurrentModule(Module* m);  // returns the previous one
    SearchableList<Module, const char*>& modules() { return modules_; }

    Variables* vars() { return vars_; }
    // A file this request wrote (an upload, a mail attachment), removed when the
    // request ends if it is still there.
    void AddUploadedFile(const String& path) { uploads_.push_back(path); }
    // The script language's part of the request (languages, macro encoding, ...).
    ScriptContext& script() { return script_; }

  protected:
    // Sends the header block with this status unless it has been sent.
    void EnsureHeaders(int status);
    // The end of the request's work: the open run and the rooms' parts end (databases
    // close), then the modules go.
    void EndRooms();
    void DropModules();
    void RemoveUploads();

    Settings settings_;

  private:
    RequestContext* contexts_[ContextSlots] = {};  // owned
    std::vector<String> uploads_;
    FieldSource* fieldsource_ = nullptr;  // not owned
    OpenRun* openrun_ = nullptr;          // not owned
    int headerssent_ = 0;
    time_t deadline_ = 0;
    unsigned long rings_ = 0;  // the alarm's count when the clock was last read
    // Reads the clock after the alarm went off; sets it again when the time is not up
    // (the alarm served another deadline).
    [[gnu::cold]] bool DeadlinePassed();
    Variables* vars_;  // owned
    // The roots ResolvePath resolved in this request (by PathType), and where they lead.
    String realrootfor_[3], realroot_[3];
    String seendirectory_[2];  // what SeenDirectory() was told of (normalized), by turns
    struct stat seenstatus_[2];
    int seenturn_ = 0;
    // The status SeenDirectory() was told of for the directory at its first length
    // bytes, or null.
    const struct stat* SeenStatus(const char* directory, int length) const;
    SearchableList<Module, const char*> modules_;  // owns elements
    Module* currentmodule_ = nullptr;              // not owned: one of modules_
    ScriptContext script_;
};

#endif  // SCRIPT_ENGINE_H_
