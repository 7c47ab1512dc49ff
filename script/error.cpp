// Error classes and the error handler.

#include "script/error.h"

#include "foundation/list.h"
#include "script/engine.h"
#include "script/tag_ids.h"
#include "script/tag_table.h"

namespace {

String ScriptErrorText(const String& filename, int line, const char* kind, const String& text) {
    String s(filename);
    s += ": Line ";
    s.catint(line);
    s += kind;
    // Messages are HTML whose values are encoded where the message is made; an angle
    // bracket left in one is a value that was not, and is shown, never obeyed. Only
    // a line break, which some messages hold, stays markup.
    for (int i = 0; i < text.length(); i++) {
        char c = text[i];
        if (c == '<' && text.at(i, i + 4) == "<BR>") {
            s += "<BR>";
            i += 3;
        } else if (c == '<') {
            s += "&lt;";
        } else if (c == '>') {
            s += "&gt;";
        } else {
            s += c;
        }
    }
    return s;
}

String ContactText(const String& administrator) {
    return "<BR>\nPlease contact the server administrator: " + administrator;
}

// Every error stops the script and is shown, except the runtime errors of the tags
// declared kNonFatal, which are shown and let it go on.
bool FatalByDefault(unsigned type) {
    if (type < kRuntimeErrors || type >= kRuntimeErrors + TagIdCount) return true;
    return !TagHasFlag(static_cast<int>(type - kRuntimeErrors), kNonFatal);
}

}  // namespace

SyntaxError::SyntaxError(const String& filename, int line, const String& text)
    : Error(200, ScriptErrorText(filename, line, ": Syntax Error: ", text)) {}

ExpressionError::ExpressionError(const String& filename, int line, const String& text)
    : Error(200, ScriptErrorText(filename, line, ": Expression Error: ", text)) {}

namespace {

String RuntimeErrorText(const String& filename, int line, const String& tagname,
                        const String& text) {
    String kind;
    if (!tagname.empty()) kind = ": " + tagname;
    kind += ": Runtime Error: ";
    return ScriptErrorText(filename, line, kind.chars(), text);
}

}  // namespace

RuntimeError::RuntimeError(const String& filename, int line, const String& tagname,
                           const String& text)
    : Error(200, RuntimeErrorText(filename, line, tagname, text)) {}

ConfigurationError::ConfigurationError(const String& administrator, const String& text)
    : Error(500, "Configuration Error: " + text + ContactText(administrator)) {}

ConfigurationSyntaxError::ConfigurationSyntaxError(const String& administrator, int line,
                                                   const String& text)
    : Error(500, "Syntax error in Configuration File: Line " + String::FromInt(line) + ": " + text +
                     ContactText(administrator)) {}

ErrorHandler::ErrorHandler(Kelp* engine)
    : engine_(engine), erroroutputlevel_(kAllErrorClasses), settings_(1) {}

ErrorHandler::ErrorHandler(Kelp* engine, const ErrorHandler& other)
    : engine_(engine),
      erroroutputlevel_(other.erroroutputlevel_),
      errormessage_(other.errormessage_),
      settings_(1) {
    List<ErrorSettings> all(0);
    other.settings_.AppendToList(all);
    for (ErrorSettings* s = all.First(); s != nullptr; s = all.Next()) {
        settings_.Insert(new ErrorSettings(*s));
    }
}

ErrorSettings* ErrorHandler::GetErrorSettings(unsigned type) {
    ErrorSettings* s = settings_.Find(type);
    if (s == nullptr) {
        s = new ErrorSettings(type, FatalByDefault(type), true);
        settings_.Insert(s);
    }
    return s;
}

unsigned ErrorHandler::SetErrorOutputLevel(unsigned bits) {
    unsigned previous = erroroutputlevel_;
    erroroutputlevel_ = bits;
    return previous;
}

String ErrorHandler::SetErrorMessage(const String& text) {
    String previous(errormessage_);
    errormessage_ = text;
    return previous;
}

bool ErrorHandler::Displayed(unsigned type, const ErrorSettings& settings) const {
    if (type & kAlwaysDisplayed) return true;
    if (!settings.display()) return false;
    return (type & kErrorClassMask & erroroutputlevel_) != 0;
}

namespace {

// An error shown again after it repeated: its text with how often it came.
class RepeatedError : public Error {
  public:
    RepeatedError(const Error& error, long times)
        : Error(error.resultcode(),
                error.message() + " (" + String::FromInt(times) + " times in a row)"),
          level_(error.Level()) {}
    unsigned Level() const override { return level_; }

  private:
    unsigned level_;
};

const long kRepeatsShown = 10;

bool PowerOfTen(long n) {
    while (n > 1 && n % 10 == 0) n /= 10;
    return n == 1;
}

}  // namespace

int ErrorHandler::Error(unsigned type, const ::Error& error) {
    ErrorSettings* settings = GetErrorSettings(type);
    int result = settings->fatal() ? 0 : 1;
    times_ = error.message() == lastshown_ ? times_ + 1 : 1;
    lastshown_ = error.message();
    // A message that comes again and again (a failing tag in a loop) is shown its
    // first kRepeatsShown times, then only at its 100th, 1000th, ... time, with
    // the count: a loop cannot fill the page and the log with it.
    if (times_ > kRepeatsShown && !PowerOfTen(times_)) return result;
    if (!errormessage_.empty()) engine_->Error(errormessage_);
    if (Displayed(type, *settings)) {
        if (times_ >= kRepeatsShown) {
            engine_->Error(RepeatedError(error, times_));
        } else {
            engine_->Error(error);
        }
    }
    return result;
}
