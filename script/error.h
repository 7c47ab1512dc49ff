// Error and its classes: every problem the engine reports, with its HTTP result code
// and complete message; ErrorSettings and ErrorHandler, which decide per error type
// whether an error is shown and whether the script stops.

#ifndef SCRIPT_ERROR_H_
#define SCRIPT_ERROR_H_

#include "foundation/splay_tree.h"
#include "foundation/string.h"

class Kelp;

// Error types, the keys of the error settings. A runtime error of a tag has the type
// kRuntimeErrors + the tag's id. The top byte of a type is its class, compared with
// the error output level; kAlwaysDisplayed in a type bypasses display settings.
const unsigned kSyntaxErrors = 0x4000000;
const unsigned kExpressionErrors = 0x2000000;
const unsigned kRuntimeErrors = 0x1000000;
const unsigned kTimeoutErrors = 0x8800000;
const unsigned kStopErrors = 0x80800000;  // always stop the script (call depth)
const unsigned kAlwaysDisplayed = 0x800000;
const unsigned kErrorClassMask = 0xFF000000;
const unsigned kAllErrorClasses = 0x7F000000;  // the initial error output level

// A problem with its HTTP result code and message text.
class Error {
  public:
    Error(int resultcode, const String& message) : resultcode_(resultcode), message_(message) {}
    virtual ~Error() {}

    virtual int resultcode() const { return resultcode_; }
    virtual const String& message() const { return message_; }
    // The error class bit of script errors; 0 for errors outside a script.
    virtual unsigned Level() const { return 0; }

  private:
    int resultcode_;
    String message_;
};

// "FILE: Line N: Syntax Error: text"
class SyntaxError : public Error {
  public:
    SyntaxError(const String& filename, int line, const String& text);
    unsigned Level() const override { return kSyntaxErrors; }
};

// "FILE: Line N: Expression Error: text"
class ExpressionError : public Error {
  public:
    ExpressionError(const String& filename, int line, const String& text);
    unsigned Level() const override { return kExpressionErrors; }
};

// "FILE: Line N: TAG: Runtime Error: text"; the tag part is left out for an empty
// tag name.
class RuntimeError : public Error {
  public:
    RuntimeError(const String& filename, int line, const String& tagname, const String& text);
    unsigned Level() const override { return kRuntimeErrors; }
};

// "WHAT timed out"
class TimeoutError : public Error {
  public:
    explicit TimeoutError(const String& what) : Error(200, what + " timed out") {}
};

// "Fatal Error: text", status 500.
class FatalError : public Error {
  public:
    explicit FatalError(const String& text) : Error(500, "Fatal Error: " + text) {}
};

// The text itself, status 404.
class ScriptNotFoundError : public Error {
  public:
    explicit ScriptNotFoundError(const String& text) : Error(404, text) {}
};

// "Configuration Error: text<BR>\nPlease contact the server administrator: CONTACT",
// status 500. administrator is the configured administrator contact.
class ConfigurationError : public Error {
  public:
    ConfigurationError(const String& administrator, const String& text);
};

// "Syntax error in Configuration File: Line N: text<BR>\nPlease contact ...", 500.
class ConfigurationSyntaxError : public Error {
  public:
    ConfigurationSyntaxError(const String& administrator, int line, const String& text);
};

// Whether errors of one type stop the script and whether they are displayed.
class ErrorSettings {
  public:
    ErrorSettings(unsigned source, bool fatal, bool display)
        : source_(source), fatal_(fatal), display_(display) {}

    unsigned source() const { return source_; }
    bool fatal() const { return fatal_; }
    bool display() const { return display_; }
    void SetFatal(bool fatal) { fatal_ = fatal; }
    void SetDisplay(bool display) { display_ = display; }
    unsigned key() const { return source_; }

  private:
    unsigned source_;
    bool fatal_;
    bool display_;
};

// Applies the per-type settings to errors reported by an interpreter and hands what
// is to be shown to the engine. Types without settings are fatal and displayed;
// runtime errors of the data, file and mail tags start out non-fatal.
class ErrorHandler {
  public:
    // engine: not owned, outlives the handler.
    explicit ErrorHandler(Kelp* engine);
    // A handler for a nested interpreter: a copy of other's settings, level and message.
    ErrorHandler(Kelp* engine, const ErrorHandler& other);
    ErrorHandler(const ErrorHandler&) = delete;
    ErrorHandler& operator=(const ErrorHandler&) = delete;

    // Reports error under type. Returns 1 when the script may go on, 0 when it must
    // stop. The error message text, when set, is written for every error, shown or not.
    [[gnu::cold]] int Error(unsigned type, const ::Error& error);

    // The settings of type, created fatal and displayed when absent.
    ErrorSettings* GetErrorSettings(unsigned type);
    void SetFatal(unsigned type, bool fatal) { GetErrorSettings(type)->SetFatal(fatal); }
    void SetDisplay(unsigned type, bool display) { GetErrorSettings(type)->SetDisplay(display); }
    // Each returns the previous value.
    unsigned SetErrorOutputLevel(unsigned bits);
    String SetErrorMessage(const String& text);

    unsigned erroroutputlevel() const { return erroroutputlevel_; }
    const String& errormessage() const { return errormessage_; }

  private:
    // Whether an error of this type is shown under the current settings and level.
    bool Displayed(unsigned type, const ErrorSettings& settings) const;

    Kelp* engine_;  // not owned
    unsigned erroroutputlevel_;
    String errormessage_;
    SplayTree<ErrorSettings, unsigned> settings_;  // owns elements
    // The message shown last and how often it has come in a row: the same message
    // again and again (a loop repeating a failing tag) is shown ten times, then only
    // at its 100th, 1000th, ... time, with the count.
    String lastshown_;
    long times_ = 0;
};

#endif  // SCRIPT_ERROR_H_
