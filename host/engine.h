// HostKelp: the engine of one request as a host runs it. It adds to the engine the
// request's steps in order, the request body, the host room's part of the request
// (packages and commerce methods) and the files uploaded with it. A host (the CGI
// program, a tool, a test) derives from it and fills in the steps it has.

#ifndef HOST_ENGINE_H_
#define HOST_ENGINE_H_

#include <string>
#include <vector>

#include "foundation/string.h"
#include "script/engine.h"

struct CommerceMethod;
class Package;

class HostKelp : public Kelp {
  public:
    HostKelp();
    ~HostKelp() override;

    // The request: every step in order, the first failing step ending it (after it
    // has shown its error). Returns 1 when the script ran, 0 when a step before it
    // failed.
    int Go();
    // The steps a host supplies; the defaults do nothing and succeed.
    virtual int LoadConfiguration() { return 1; }
    virtual int CheckConfiguration() { return 1; }
    // The script file to run and the name its messages show.
    virtual int GetScriptInformation(String*, String*) { return 0; }
    virtual int ProcessConfiguration(const String&, const String&) { return 1; }
    virtual int AddEnvironmentVariables() { return 1; }
    // version, kelpversion, the clock, globaltimeout and the dynamic variables.
    int AddSystemVariables();
    virtual int AddQueryArguments() { return 1; }
    virtual int AddQueryVariables() { return 1; }
    virtual int AddAPIVariables() { return 1; }
    virtual int OutputCookie() { return 1; }
    // Form fields and uploads of the request body.
    int AddContentVariables();
    // Arms the deadline globaltimeout seconds ahead (none for 0).
    void ResetGlobalTimeout();
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
    // ReadContent for a host that holds the whole body: the next bytes of body from
    // *position, which moves past them.
    static int ReadHeldContent(const std::string& body, size_t* position, char* buffer, int length);
    // The requested page's length, when the host has seen it before it is opened.
    void SetPageLength(long length) { pagelength_ = length; }

    // Every room's built-in functions.
    void InstallRooms(ScriptParser* parser) override;

    // Packages: those the configuration declares, until EnablePackages() keeps the
    // ones a comma-separated list names, in its order.
    void AddPackage(Package* package);  // takes ownership
    void EnablePackages(const String& codes);
    Package* FindPackage(const String& code);
    const std::vector<Package*>& packages() const { return packages_; }
    // Commerce methods (COMMERCE-LIB): a method name and the library carrying it out.
    void AddCommerceHandler(const String& method, const String& library);
    const CommerceMethod* FindCommerceMethod(const String& method) const;

    // The reason phrase of an HTTP status code; empty for an unknown code.
    static String HTTPResultMessage(int code);

  private:
    std::vector<Package*> packages_;                // owned
    std::vector<CommerceMethod*> commercemethods_;  // owned
    long pagelength_ = -1;
};

// Every engine that runs pages is a host's.
inline HostKelp* Host(Kelp* engine) {
    return static_cast<HostKelp*>(engine);
}

#endif  // HOST_ENGINE_H_
