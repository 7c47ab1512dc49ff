// CGIKelp: the engine as a CGI program. It reads the configuration, finds and checks
// the script, turns the request (environment, query string, body, cookie) into
// variables, writes the header block and owns the file manager and the output.

#ifndef HOST_CGI_KELP_H_
#define HOST_CGI_KELP_H_

#include "foundation/output.h"
#include "host/config.h"
#include "host/engine.h"
#include "host/unix_file_manager.h"

class ActivityLog;

enum SecurityMode { StandardMode = 0, AuthorizedMode = 1, ServerSafeMode = 2 };

class CGIKelp : public HostKelp {
  public:
    CGIKelp(int argc, char** argv);
    ~CGIKelp() override;

    int LoadConfiguration() override;
    // A worker's parse of its configuration text, when it holds for this request too
    // (see KeepParsed()); null otherwise.
    const UNIXConfig* ParsedBefore(const String* text, const UNIXConfig& fresh);
    // Keeps what parsing text gave, for the requests after this one, when the parse
    // read nothing of this request.
    void KeepParsed(const String& text, const UNIXConfig& config);
    int CheckConfiguration() override;
    int GetScriptInformation(String* filepath, String* displayname) override;
    int ProcessConfiguration(const String& filepath, const String& displayname) override;
    int AddEnvironmentVariables() override;
    int AddQueryArguments() override;
    int AddQueryVariables() override;
    int AddAPIVariables() override;
    int StartHeaders(int status) override;
    int OutputCookie() override;
    int EndHeaders() override;
    String RequestHeader(const String& name) override;
    int ReadContent(char* buffer, int length) override;

    // The Set-Cookie value for the request's cookie header; sets "callerid".
    String BuildCookie(const String& cookieheader);
    // Whether a caller id may be echoed back: 1 to 64 letters and digits.
    static bool ValidCallerID(const String& id);

    bool timedout() override { return interrupted_ != 0 || Kelp::timedout(); }
    void Log(int level, const char* kind, const String& info) override;
    // Every error shown is also one line on standard error, which the web server
    // writes to its error log.
    void RecordError(const String& message) override;
    FileManager* filemanager() override { return &files_; }
    Output* output() override { return out_; }
    UNIXConfig* config() { return config_; }
    const String& basename() const { return basename_; }
    SecurityMode securitymode() const { return mode_; }
    void Interrupt() { interrupted_ = 1; }

    // Installs the signal handlers that only mark the request interrupted.
    void ScriptStarting() override;
    // From here on these signals end the page (the interpreter polls the flag).
    static void CatchPageSignals(const int* signals, int count);
    // Whether program is a set-user-id root program (server safe mode).
    static bool RunningSetUIDRoot(const char* program);
    // What those handlers do: marks the running page interrupted.
    static void PageSignal(int signal);
    bool IsScriptExtension(const String& extension) override;

    // The configuration file: program path + ".conf", else the working directory's
    // BASENAME.conf, else /etc/BASENAME.conf. Reads it into *text: false when the file
    // chosen cannot be read.
    // Sets configpath_ to the file read (or the last one tried).
    bool ReadConfigurationFile(String* text);
    const String& configpath() const { return configpath_; }
    // A host that serves many requests reads the configuration file once and gives its
    // text (null: the file could not be read) and path; the request then reads no
    // file, and parses the text as its own (its macros and virtual host are its own).
    void UseConfigurationText(const String* text, const String& path) {
        giventext_ = text;
        givenpath_ = path;
        configgiven_ = true;
    }

  protected:
    // The output of a request: standard output, or (a persistent host) its framing.
    virtual StandardOutput* NewOutput(int size);
    // Replaces the output (nothing written yet); takes ownership.
    void UseOutput(StandardOutput* out);
    UNIXFileManager* unixfiles() { return &files_; }
    // A host that serves many requests in one process: what lasts for the process
    // (priority, resource limits) is not set by a request.
    bool persistent_ = false;

  private:
    // The priority and resource limits the configuration asks for (nice, maxcpu,
    // maxdata, maxstack): for the process, so only a process of one request sets them.
    void LimitProcess();
    // The settings from the configuration and what the request found (a user's
    // script root, an owner's data directory); made again when either changes, and
    // not after the page has started.
    void ApplySettings();
    // Writes the configuration's warnings not yet written to standard error.
    void ReportConfigurationWarnings();
    // The value of an environment entry, empty when unset.
    String Environment(const char* name) const;
    // Refuses the request with a fatal error (shown with status); returns 0.
    int Refuse(int status, const String& message);
    // Refuses request headers and a query string longer than maxheaderlength. 1, or 0
    // after refusing.
    int CheckRequestSizes();
    // A configured directory must exist, and a link to it must lead to something of
    // the link owner's. prefix starts each message ("The directory configured as
    // kelproot"). 1, or 0 after refusing.
    int CheckDirectory(const String& directory, const String& prefix);
    // The steps of GetScriptInformation(); each returns 0 after refusing the request.
    String RequestedName();
    // For "~user/page": the user's root becomes the script root, *name the rest.
    int EnterUserRoot(String* name, String* userprefix);
    // The script root and the data directory exist and are directories.
    int CheckDirectories(const String& name);
    // Resolves *name below the script root into *path, a directory standing for its
    // default page (*name then names it); *missing an errno when there is no page.
    int FindPage(String* name, String* path, PathStatus* seen, struct stat* st, int* missing);
    // Every link on the way to path (below root) has the owner of what it leads to.
    int CheckLinkOwners(const String& path, const String& root, const PathStatus& seen,
                        const String& display);
    // Authorized and server safe mode: the script's owner must be authorized (and, in
    // authorized mode, be the effective user). Refuses with the reason; 1 when allowed.
    int CheckOwner(const String& filepath, const String& displayname);
    // Server safe mode: the effective group and user become the script owner's.
    int SwitchToUserMode();
    // The password-file name of uid, or "user #N".
    static String UserNameFromUID(long uid);

    int argc_;
    char** argv_;
    char* pathentry_;  // owned: the PATH entry handed to putenv
    String pathinfo_;
    String basename_;
    volatile int interrupted_;
    UNIXConfig* config_;  // owned
    ActivityLog* log_;    // owned
    String configpath_;   // the configuration file read
    bool configgiven_ = false;
    const String* giventext_ = nullptr;  // not owned
    String givenpath_;
    size_t warningsreported_ = 0;
    UNIXFileManager files_;
    StandardOutput* out_;  // owned
    String contenttype_;
    SecurityMode mode_;
    long owneruid_;
    long ownergid_;
    String ownername_;
    String ownerhome_;
    String scriptroot_;  // a user's script directory for ~user pages
    String ownerdata_;   // the owner's data directory from the authorization file
};

#endif  // HOST_CGI_KELP_H_
