// Kelp: the engine object. Every subsystem reaches the host's services (files,
// output, the clock, error output) through it. Declared with forward declarations
// only (and the String type of its signatures), so that every folder may include
// this header.

#ifndef HOST_ENGINE_H_
#define HOST_ENGINE_H_

#include <sys/stat.h>
#include <time.h>

#include <set>
#include <string>
#include <vector>

#include "foundation/list.h"
#include "foundation/string.h"
#include "foundation/time_helpers.h"

class Database;
class Error;
class FileManager;
class Module;
class NetworkManager;
struct CommerceMethod;
class Package;
class Output;
class ScriptParser;
class Variable;
class Variables;

// Write locks a run of changes keeps from one change to the next, so that it need not
// take them and read the files' headers again for each (see Kelp::HoldLocks).
class HeldLocks {
  public:
    virtual ~HeldLocks() {}
    virtual void ReleaseLocks() = 0;
};

// Kinds of names that scripts give: resolved below the script, data or temporary
// directory.
enum PathType { ScriptPath = 0, DataPath = 1, TemporaryPath = 2 };

// What resolving a path saw of its components below the root, for a caller that
// would otherwise look at them again.
struct PathStatus {
    enum State { Unknown, Found, Missing };
    // Found: every component exists and none is a symbolic link; st is the path's own
    // status. Missing: a component does not exist, and none before it is a link.
    State state = Unknown;
    struct stat st;
};

// Encoding applied to macro values (see MacroExpander).
enum MacroEncoding { MacroEncodingNone = 0, MacroEncodingAttribute = 1, MacroEncodingEntities = 2 };

// The abstract engine. A host (the CGI program, or a test engine) supplies the file
// manager, the output stream and the header block; Kelp itself owns the variable
// store, keeps the deadline and the languages, and writes errors, sending the header
// block first when nothing has been sent.
class Kelp {
  public:
    Kelp();
    virtual ~Kelp();
    Kelp(const Kelp&) = delete;
    Kelp& operator=(const Kelp&) = delete;

    // The request: every step in order, the first failing step ending it (after it
    // has shown its error). Returns 1 when the script ran, 0 when a step before it
    // failed.
    int Go();
    // The steps a host supplies; the defaults do nothing and succeed.
    virtual int LoadConfiguration() { return 1; }
    virtual int CheckConfiguration() { return 1; }
    // The script file to run and the name its messages show.
    virtual int GetScriptInformation(String* filepath, String* displayname);
    virtual int ProcessConfiguration(const String&, const String&) { return 1; }
    virtual int AddEnvironmentVariables() { return 1; }
    // version, kelpversion, the clock, globaltimeout and the dynamic variables.
    virtual int AddSystemVariables();
    virtual int AddQueryArguments() { return 1; }
    virtual int AddQueryVariables() { return 1; }
    virtual int AddAPIVariables() { return 1; }
    virtual int OutputCookie() { return 1; }
    // Form fields and uploads of the request body.
    virtual int AddContentVariables();
    // Arms the deadline globaltimeout() seconds ahead (none for 0).
    virtual int ResetGlobalTimeout();
    // Called once, just before the script runs: until then signals keep their
    // default action, so that nothing before the script outlives the web server's
    // interest in the request.
    virtual void ScriptStarting() {}
    // A request header by name ("Content-Type", "Content-Length", others from the
    // HTTP_ variables); empty when unset.
    virtual String RequestHeader(const String&) { return String(); }
    // Reads up to length bytes of the request body: the count, 0 at the end,
    // negative on error.
    virtual int ReadContent(char*, int) { return 0; }
    // Writes an activity-log entry of the given level and kind (FILEOPENED, ...)
    // when the host keeps a log.
    virtual void Log(int, const char*, const String&) {}
    virtual int globaltimeout() { return 0; }
    virtual bool usecookies() { return false; }
    virtual int contentbuffersize() { return 8192; }
    // Limits of what a visitor sends (see the configuration keys of the same names).
    virtual long maxcontentlength() { return 16L * 1024 * 1024; }
    virtual int maxformfields() { return 1000; }

    // The network: the manager (made on first use), the time-outs in seconds and
    // buffer sizes of KpCALL and the mail tags, and the most bytes a server may send
    // in one response or message.
    virtual NetworkManager* networkmanager();
    virtual int calltimeout() { return 30; }
    virtual int callbuffersize() { return 8192; }
    virtual int mailtimeout() { return 30; }
    virtual int smtpbuffersize() { return 8192; }
    virtual long maxresponselength() { return 16L * 1024 * 1024; }
    // A file of PEM certificates that TLS peers are verified against instead of the
    // system's store; empty for the system's.
    virtual String tlscafile() { return String(); }
    // Read buffer of the import tags.
    virtual int importbuffersize() { return 8192; }
    // The server's DNS name (for the mail greeting): SERVER_NAME, else the machine's.
    virtual String hostname();

    virtual FileManager* filemanager() = 0;
    virtual Output* output() = 0;

    // Writes the start of the header block for an HTTP status, and its end.
    virtual int StartHeaders(int status) = 0;
    virtual int EndHeaders() = 0;

    // True once the deadline has passed; false without a deadline.
    // Polled by the interpreter at every tag and text run.
    virtual bool timedout() { return deadline_ != 0 && ClockSeconds() > deadline_; }
    // Seconds to the deadline (may be negative), or -1 without a deadline.
    virtual int timeremaining();

    // Shows an error on the page: sends the header block with the error's status if
    // it has not been sent, then writes the message and CR LF, and flushes.
    [[gnu::cold]] virtual void Error(const ::Error& error);
    // A development aid, off unless the configuration (warnundefined) or a KELP tag
    // (WARNUNDEFINED) turns it on: each variable or field read while undefined is
    // shown, once per name, as "FILE: Line N: Warning: 'name' is not defined".
    bool warnundefined() const { return warnundefined_; }
    void SetWarnUndefined(bool on) { warnundefined_ = on; }
    [[gnu::cold]] void UndefinedRead(const String& name);
    // Where a host keeps a record of the errors it shows (the web server's error
    // log); nowhere by default.
    virtual void RecordError(const String&) {}
    // Writes text on the page (status 200 if headers are still due), and flushes.
    [[gnu::cold]] virtual void Error(const String& text);

    // The field variable varname of the open database with alias dbname, or of the
    // first open database (and view) that has one when dbname is empty (the database
    // of SetFieldScope() first); null when there is none.
    virtual Variable* FindFieldVariable(const String& dbname, const String& varname);

    // Open databases, by the name a page gave them (case ignored); the engine owns
    // them and closes those still open when the request ends.
    Database* FindDatabase(const String& name);
    // Takes ownership of db; the first database opened becomes the primary one.
    void AddDatabase(Database* db);
    // Closes and deletes db.
    void RemoveDatabase(Database* db);
    void CloseDatabases();
    Database* primarydatabase() const { return primarydatabase_; }
    // Makes db (when open) the primary database, first in databases().
    void SetPrimaryDatabase(Database* db);
    // The database whose fields unprefixed names find first, while its index keys or
    // filter are evaluated (null: none); returns the previous one.
    Database* SetFieldScope(Database* db);

    // A run of adds to one table keeps its write locks (locks, not owned) from one add
    // to the next. The engine lets them go (ReleaseLocks()) before any tag that does
    // not continue such a run, before output is written, when the request ends, and
    // once the run has held them for kHeldLocksMilliseconds: other requests wait for a
    // table no longer than that. HoldLocks() lets go of any other locks first.
    static const long kHeldLocksMilliseconds = 20;
    void HoldLocks(HeldLocks* locks);
    void ReleaseLocks();
    HeldLocks* heldlocks() const { return heldlocks_; }
    // Whether the locks held have been held for the limit (kHeldLocksMilliseconds
    // unless SetHeldLocksLimit() gave another).
    bool HeldLocksExpired() const;
    void SetHeldLocksLimit(long milliseconds) { heldlockslimit_ = milliseconds; }
    // Called before locks are taken for a run: after a run that ended by the time
    // limit, waits kTurnMicroseconds first, so that a request waiting for the locks
    // (woken when they were let go) takes them before this one takes them again.
    static const long kTurnMicroseconds = 300;
    void TakeTurn();

    // Packages: those the configuration declares, until EnablePackages() keeps the
    // ones a comma-separated list names, in its order.
    void AddPackage(Package* package);  // takes ownership
    void EnablePackages(const String& codes);
    Package* FindPackage(const String& code);
    const std::vector<Package*>& packages() const { return packages_; }

    // Commerce methods (COMMERCE-LIB): a method name and the library carrying it out.
    void AddCommerceHandler(const String& method, const String& library);
    const CommerceMethod* FindCommerceMethod(const String& method) const;

    Variables* vars() { return vars_; }
    // An uploaded file of this request, removed when the request ends if it is
    // still there.
    void AddUploadedFile(const String& path) { uploads_.push_back(path); }

    // Registers the handlers of the tags that the host and its subsystems provide
    // (data, network, files, ...) with a new interpreter.
    virtual void InstallTagHandlers(ScriptParser* parser);
    // Deepest nesting of user-function calls.
    virtual int maxfunctiondepth() { return 23; }
    // Most files open at once (0 = no limit).
    virtual int maxfiles() { return 0; }
    // Host name written into lock files, and the age in seconds after which a lock
    // file of another host counts as stale (0 = never).
    virtual String lockhostname();
    // The machine's host name ("localhost" when it has none).
    static String MachineName();
    virtual int lockexpiration() { return 90; }
    // The directories that script, data and temporary names resolve below. Hosts
    // take them from the configuration; without one, the working directory.
    virtual String scriptdirectory();
    virtual String datadirectory();
    virtual String tempdirectory();
    // Whether a script file may have the extension (without its dot): hosts take
    // the list from the configuration; without one, any.
    virtual bool IsScriptExtension(const String&) { return true; }
    // Block size of the script reader.
    virtual int templatebuffersize() { return 8192; }

    // Resolves a name given by a script below the directory of its type: a relative
    // script name from the running script's directory, any other name from the
    // directory itself (a leading "/" included). A name that leads outside the
    // directory, through ".." or a symbolic link, is refused: "'NAME' is not contained
    // in the configured data directory" (script, temporary). Returns 1 with *resolved,
    // or 0 with *error; *status, when given, gets what was seen of the path.
    virtual int ResolvePath(const String& name, PathType type, String* resolved, String* error,
                            PathStatus* status = nullptr);

    // Script modules: the file at name (a script path) as loaded in this request,
    // loading it on first use with the current module as its parent. Null with
    // *error when it cannot be opened or its extension is no script's.
    virtual Module* FindModule(const String& name, String* error);
    Module* currentmodule() const { return currentmodule_; }
    // Returns the previous current module.
    Module* SetCurrentModule(Module* m);
    SearchableList<Module, const char*>& modules() { return modules_; }

    // The engine's random-number generator, seeded per process on first use.
    PseudoRND& random();
    // A new caller id: 32 upper-case hexadecimal digits, 128 bits from the system's
    // random generator (empty in the unlikely case that it cannot be read).
    virtual String MakeSessionID();

    const String& language() const { return language_; }
    const String& defaultlanguage() const { return defaultlanguage_; }
    // An empty s leaves the language unchanged.
    void SetLanguage(const String& s);
    void SetDefaultLanguage(const String& s);
    MacroEncoding defaultmacroencoding() const { return defaultmacroencoding_; }
    void SetDefaultMacroEncoding(MacroEncoding e) { defaultmacroencoding_ = e; }

    // The reason phrase of an HTTP status code; empty for an unknown code.
    static String HTTPResultMessage(int code);

    int headerssent() const { return headerssent_; }
    void SetHeadersSent(int sent) { headerssent_ = sent; }
    time_t deadline() const { return deadline_; }
    // Absolute time at which the script times out; 0 for none.
    void SetDeadline(time_t deadline) { deadline_ = deadline; }
    // The requested page's length, when the host has seen it before it is opened.
    void SetPageLength(long length) { pagelength_ = length; }

  private:
    // Sends the header block with this status unless it has been sent.
    void EnsureHeaders(int status);

    // Removes the uploaded files the page left where they were written.
    void RemoveUploads();

    std::vector<String> uploads_;
    NetworkManager* network_ = nullptr;             // owned, made on first use
    std::vector<Package*> packages_;                // owned
    std::vector<CommerceMethod*> commercemethods_;  // owned
    std::vector<Database*> databases_;              // owned, in the order opened
    Database* primarydatabase_ = nullptr;           // not owned: one of databases_
    Variable* closedend_ = nullptr;                 // owned: "eof" of a database that is not open
    Database* fieldscope_ = nullptr;                // not owned: one of databases_
    HeldLocks* heldlocks_ = nullptr;                // not owned
    long heldsince_ = 0;                            // milliseconds of the monotonic clock
    long heldlockslimit_ = kHeldLocksMilliseconds;
    bool turnowed_ = false;  // the last run ended by the time limit
    int headerssent_;
    time_t deadline_;
    long pagelength_ = -1;
    Variables* vars_;  // owned
    String language_;
    String realrootfor_, realroot_;  // the last root ResolvePath resolved, and where it leads
    String defaultlanguage_;
    MacroEncoding defaultmacroencoding_;
    SearchableList<Module, const char*> modules_;  // owns elements
    Module* currentmodule_;                        // not owned: one of modules_
    PseudoRND random_;
    bool seeded_ = false;
    bool warnundefined_ = false;
    std::set<std::string> warnedundefined_;  // upper-case names already warned of
};

#endif  // HOST_ENGINE_H_
