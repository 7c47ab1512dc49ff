// Commerce: methods the configuration names (COMMERCE-LIB), each a plug-in library,
// and the handler that runs one method for one KpCOMMERCE block through the
// plug-in's four entry points (see kelp_commerce.h).

#ifndef HOST_COMMERCE_H_
#define HOST_COMMERCE_H_

#include "foundation/string.h"
#include "script/variables.h"

class ScriptParser;

// One COMMERCE-LIB: a method name and the library that carries it out.
struct CommerceMethod {
    String method;
    String library;
    const char* key() const { return method.chars(); }
};

// Results of CommerceHandler::Go() and Continue().
enum CommerceResult {
    CommerceFailed = 1,  // error() says why
    CommerceDone = 2,    // no (more) iterations
    CommerceRun = 3,     // run the block body (once more)
};

class CommerceHandler {
  public:
    CommerceHandler(const CommerceMethod& method, ScriptParser* parser)
        : method_(method), parser_(parser) {}
    virtual ~CommerceHandler() {}
    CommerceHandler(const CommerceHandler&) = delete;
    CommerceHandler& operator=(const CommerceHandler&) = delete;

    void SetAction(const String& action) { action_ = action; }
    // The variables named by a comma-separated list, with their current values.
    void SetFields(const String& list);
    // Starts the run with the block's variables: a CommerceResult.
    virtual int Go(VariableTree* vars) = 0;
    // The next iteration: a CommerceResult.
    virtual int Continue() = 0;
    // Ends the run (cleanup); safe to call more than once.
    virtual void End() = 0;
    const String& error() const { return error_; }

  protected:
    CommerceMethod method_;
    ScriptParser* parser_;  // not owned
    String action_;
    VariableList fields_;  // owns elements
    String error_;
};

// The handler for shared libraries loaded with dlopen.
class UNIXCommerceHandler : public CommerceHandler {
  public:
    UNIXCommerceHandler(const CommerceMethod& method, ScriptParser* parser)
        : CommerceHandler(method, parser) {}
    ~UNIXCommerceHandler() override { End(); }
    int Go(VariableTree* vars) override;
    int Continue() override;
    void End() override;

  private:
    typedef int (*InitFunction)(void*, void**, const char*, const char*, void*, void*);
    typedef int (*LoopFunction)(void*, void**, const char*, const char*, void*, void*, int);
    typedef void (*CleanupFunction)(void*, void**, const char*, const char*, void*);
    typedef const char* (*ErrorFunction)(void*, void**, const char*, const char*, void*);

    // The library's error text after a result of 1.
    int Failed();

    void* library_ = nullptr;  // owned: the dlopen handle
    InitFunction init_ = nullptr;
    LoopFunction loop_ = nullptr;
    CleanupFunction cleanup_ = nullptr;
    ErrorFunction errorfunction_ = nullptr;
    void* data_ = nullptr;          // the library's own
    VariableTree* vars_ = nullptr;  // not owned: the block's
    int iteration_ = 0;
};

// How many commerce libraries this process has loaded: a process that serves many
// requests sets back after one what a library may have changed of the process.
long CommerceLibrariesLoaded();

// Declares KpCOMMERCE (once per process).
void DeclareCommerceTags();
// Defined beside the exported kelp_ functions: a call keeps them in the program.
void KeepCommerceExports();

#endif  // HOST_COMMERCE_H_
