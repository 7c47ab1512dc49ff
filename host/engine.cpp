// The engine object's own services: the deadline and error output.

#include "host/engine.h"

#include "foundation/output.h"
#include "foundation/string.h"
#include "script/error.h"
#include "script/variables.h"

Kelp::Kelp()
    : headerssent_(0),
      deadline_(0),
      vars_(nullptr),
      language_("en-US"),
      defaultlanguage_("en-US"),
      defaultmacroencoding_(MacroEncodingNone) {
    vars_ = new Variables(this);
}

Kelp::~Kelp() { delete vars_; }

Variable* Kelp::FindFieldVariable(const String&, const String&) { return nullptr; }

void Kelp::SetLanguage(const String& s) {
    if (!s.empty()) language_ = s;
}

void Kelp::SetDefaultLanguage(const String& s) {
    if (!s.empty()) defaultlanguage_ = s;
}

bool Kelp::timedout() {
    return deadline_ != 0 && time(nullptr) > deadline_;
}

int Kelp::timeremaining() {
    if (deadline_ == 0) return -1;
    return static_cast<int>(deadline_ - time(nullptr));
}

void Kelp::EnsureHeaders(int status) {
    if (headerssent_) return;
    StartHeaders(status);
    EndHeaders();
    headerssent_ = 1;
}

void Kelp::Error(const ::Error& error) {
    EnsureHeaders(error.resultcode());
    Output* out = output();
    out->Write(error.message());
    out->Write("\r\n", 2);
    out->Flush();
}

void Kelp::Error(const String& text) {
    EnsureHeaders(200);
    Output* out = output();
    out->Write(text);
    out->Flush();
}
