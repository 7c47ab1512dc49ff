// The engine object's own services: the deadline and error output.

#include "host/engine.h"

#include <stdio.h>
#include <sys/time.h>
#include <unistd.h>

#include "foundation/output.h"
#include "foundation/string.h"
#include "script/error.h"
#include "host/module.h"
#include "host/script_host_tags.h"
#include "script/variables.h"

Kelp::Kelp()
    : headerssent_(0),
      deadline_(0),
      vars_(nullptr),
      language_("en-US"),
      defaultlanguage_("en-US"),
      defaultmacroencoding_(MacroEncodingNone),
      modules_(1),
      currentmodule_(nullptr) {
    vars_ = new Variables(this);
    // Two requests in the same second must still differ: mix in the microseconds
    // and the process id.
    struct timeval now;
    gettimeofday(&now, nullptr);
    random_.R250Seed(static_cast<unsigned long>(now.tv_sec) ^
                     (static_cast<unsigned long>(now.tv_usec) << 11) ^
                     (static_cast<unsigned long>(getpid()) << 3));
}

Kelp::~Kelp() {
    modules_.Dump();
    delete vars_;
}

void Kelp::InstallTagHandlers(ScriptParser* parser) { InstallHostTagHandlers(parser); }

int Kelp::ResolvePath(const String& name, PathType, String* resolved, String*) {
    // Relative names are taken from the directory of the running script.
    if (name.matches('/', 0) || currentmodule_ == nullptr || currentmodule_->directory().empty()) {
        *resolved = name;
    } else {
        *resolved = currentmodule_->directory() + "/" + name;
    }
    return 1;
}

Module* Kelp::FindModule(const String& name, String* error) {
    String path;
    if (!ResolvePath(name, ScriptPath, &path, error)) return nullptr;
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

String Kelp::MakeSessionID() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    char id[40];
    snprintf(id, sizeof id, "%08X%08X%08X%08X", static_cast<unsigned>(now.tv_sec),
             static_cast<unsigned>(now.tv_usec), static_cast<unsigned>(getpid()),
             static_cast<unsigned>(random_.R250()));
    return String(id);
}

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

String Kelp::HTTPResultMessage(int code) {
    static const struct {
        int code;
        const char* phrase;
    } kPhrases[] = {
        {100, "Continue"},
        {101, "Switching Protocols"},
        {200, "OK"},
        {201, "Created"},
        {202, "Accepted"},
        {203, "Non-Authoritative Information"},
        {204, "No Content"},
        {205, "Reset Content"},
        {206, "Partial Content"},
        {300, "Multiple Choices"},
        {301, "Moved Permanently"},
        {302, "Moved Temporarily"},
        {303, "See Other"},
        {304, "Not Modified"},
        {305, "Use Proxy"},
        {400, "Bad Request"},
        {401, "Authorization Required"},
        {402, "Payment Required"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {406, "Not Acceptable"},
        {407, "Proxy Authentication Required"},
        {408, "Request Time-out"},
        {409, "Conflict"},
        {410, "Gone"},
        {411, "Length Required"},
        {412, "Precondition Failed"},
        {413, "Request Entity Too Large"},
        {414, "Request-URI Too Large"},
        {415, "Unsupported Media Type"},
        {500, "Internal Server Error"},
        {501, "Method Not Implemented"},
        {502, "Bad Gateway"},
        {503, "Service Temporarily Unavailable"},
        {504, "Gateway Time-out"},
        {505, "HTTP Version Not Supported"},
        {506, "Variant Also Varies"},
    };
    for (const auto& p : kPhrases) {
        if (p.code == code) return String(p.phrase);
    }
    return String();
}
