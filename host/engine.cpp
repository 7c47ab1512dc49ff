// The host's part of a request: its steps in order, packages and commerce methods,
// uploaded files.

#include "host/engine.h"

#include <errno.h>
#include <unistd.h>

#include "data/data_context.h"
#include "data/database_tags.h"
#include "data/flat_file_tags.h"
#include "foundation/file.h"
#include "foundation/output.h"
#include "host/commerce.h"
#include "host/package.h"
#include "host/script_host_tags.h"
#include "net/network_tags.h"
#include "script/error.h"
#include "script/module.h"
#include "script/script_parser.h"
#include "script/script_tags.h"
#include "script/variables.h"

// The data room's part comes first: a field of a table that is not open ("eof") is
// a field all the same.
HostKelp::HostKelp() {
    DataContext::Of(this);
    // Every room's tags are known before a page is read (declared once per process).
    DeclareScriptTags();
    DeclareHostTags();
    DeclareDatabaseTags();
    DeclareFlatFileTags();
    DeclareCommerceTags();
    DeclareNetworkTags();
}

HostKelp::~HostKelp() {
    for (Package* p : packages_) delete p;
    for (CommerceMethod* m : commercemethods_) delete m;
}

void HostKelp::InstallRooms(ScriptParser* parser) {
    InstallFileBuiltins(parser);
    InstallPackageBuiltins(parser);
}

void HostKelp::AddPackage(Package* package) {
    packages_.push_back(package);
}

void HostKelp::AddCommerceHandler(const String& method, const String& library) {
    commercemethods_.push_back(new CommerceMethod{method, library});
}

const CommerceMethod* HostKelp::FindCommerceMethod(const String& method) const {
    for (const CommerceMethod* m : commercemethods_) {
        if (m->method.length() == method.length() && m->method.matches(method.chars())) return m;
    }
    return nullptr;
}

Package* HostKelp::FindPackage(const String& code) {
    for (Package* p : packages_) {
        if (p->code().length() == code.length() && p->code().matches(code.chars())) return p;
    }
    return nullptr;
}

void HostKelp::EnablePackages(const String& codes) {
    std::vector<Package*> enabled;
    int start = 0;
    for (;;) {
        int comma = codes.search(",", start);
        String code = codes.at(start, comma < 0 ? codes.length() : comma).trimmed();
        for (auto it = packages_.begin(); !code.empty() && it != packages_.end(); ++it) {
            if ((*it)->code().length() == code.length() && (*it)->code().matches(code.chars())) {
                enabled.push_back(*it);
                packages_.erase(it);
                break;
            }
        }
        if (comma < 0) break;
        start = comma + 1;
    }
    for (Package* p : packages_) delete p;
    packages_ = enabled;
}

String HostKelp::HTTPResultMessage(int code) {
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
        {431, "Request Header Fields Too Large"},
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

int HostKelp::AddSystemVariables() {
    Variables* v = vars();
    v->AddSystemVariable("version", "3.7833");
    v->AddSystemVariable("kelpversion", "3.7833");
    v->AddTimeVariables();
    v->AddSystemVariable("globaltimeout", String::FromInt(settings_.globaltimeout));
    v->AddDynamicVariables();
    return 1;
}

void HostKelp::ResetGlobalTimeout() {
    if (settings_.globaltimeout != 0) SetDeadline(ClockSeconds() + settings_.globaltimeout);
}

int HostKelp::Go() {
    if (!AddEnvironmentVariables() || !LoadConfiguration() || !CheckConfiguration()) return 0;
    String filepath;
    String displayname;
    if (!GetScriptInformation(&filepath, &displayname)) return 0;
    if (!ProcessConfiguration(filepath, displayname) || !AddSystemVariables()) return 0;
    if (!AddQueryArguments() || !AddQueryVariables() || !AddAPIVariables()) return 0;

    // The script is opened and the body read before the header block, so that a
    // page that cannot be read, or a body over its limits, gets its own status.
    Module* main = new Module(this, nullptr);
    SetCurrentModule(main);
    String error;
    if (!main->Open(filepath, displayname, &error, pagelength_)) {
        SetCurrentModule(nullptr);
        delete main;
        // A page the server may not read is refused, as other refused pages are.
        bool refused = access(filepath.chars(), R_OK) != 0 && errno == EACCES;
        Error(::Error(refused ? 403 : 500, "Fatal Error: " + error));
        return 0;
    }
    modules().Insert(main, ListTail);
    // What upload functions print while the body is read follows the header block.
    StringOutput early(4096);
    Output* previous = main->scriptparser()->SwitchOutput(&early);
    int result = AddContentVariables();
    main->scriptparser()->SwitchOutput(previous);
    if (!headerssent()) {
        StartHeaders(200);
        SetHeadersSent(1);
        if (settings_.usecookies) OutputCookie();
        EndHeaders();
    }
    early.Flush();
    output()->Write(early.data());
    if (result) {
        ScriptStarting();
        ResetGlobalTimeout();
        main->scriptparser()->Parse();
    }
    EndRooms();
    output()->Flush();
    DropModules();
    RemoveUploads();
    return result;
}
