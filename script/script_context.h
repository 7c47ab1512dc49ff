// ScriptContext: the script language's own part of a request: the current and default
// languages, the default encoding of macro values, whether reads of undefined names
// are shown, and the random-number generator. The engine owns it; an interpreter
// reaches it as scriptcontext().

#ifndef SCRIPT_SCRIPT_CONTEXT_H_
#define SCRIPT_SCRIPT_CONTEXT_H_

#include <set>
#include <string>

#include "foundation/string.h"
#include "foundation/time_helpers.h"
#include "script/encoding.h"

class ScriptContext {
  public:
    const String& language() const { return language_; }
    const String& defaultlanguage() const { return defaultlanguage_; }
    void SetLanguage(const String& s);  // an empty s leaves it unchanged
    void SetDefaultLanguage(const String& s);
    MacroEncoding defaultmacroencoding() const { return defaultmacroencoding_; }
    void SetDefaultMacroEncoding(MacroEncoding e) { defaultmacroencoding_ = e; }

    // A development aid, off unless the configuration or a KELP tag turns it on:
    // each variable or field read while undefined is shown, once per name.
    bool warnundefined() const { return warnundefined_; }
    void SetWarnUndefined(bool on) { warnundefined_ = on; }
    // Whether a read of name while undefined is to be shown: warnings are on and the
    // name (case ignored) has not been shown before.
    bool FirstUndefinedRead(const String& name);

    // The generator, seeded on first use; a new caller id (32 upper-case hexadecimal
    // digits from the system's generator, or empty).
    PseudoRND& random();
    static String MakeSessionID();

  private:
    String language_ = "en-US";
    String defaultlanguage_ = "en-US";
    MacroEncoding defaultmacroencoding_ = MacroEncodingNone;
    bool warnundefined_ = false;
    std::set<std::string> warnedundefined_;  // upper-case names already shown
    PseudoRND random_;
    bool seeded_ = false;
};

#endif  // SCRIPT_SCRIPT_CONTEXT_H_
