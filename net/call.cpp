// The HTTP client: request, response headers and the element walker.

#include "net/call.h"

#include <stdlib.h>
#include <strings.h>
#include <sys/time.h>
#include <unistd.h>

#include <vector>

#include "foundation/file.h"
#include "net/net_context.h"
#include "net/network.h"
#include "script/encoding.h"
#include "script/engine.h"

namespace {

// Most header lines a response may have.
const int kMaxHeaderLines = 1000;
// Most attributes an element of a response may have: each becomes two variables, and
// a response of one element with millions of them would take gigabytes.
const int kMaxAttributes = 1000;

// URL-encoding for a request: the form encoding, with control characters encoded
// too, so that no value can break a line of the request.
String EncodeForRequest(const String& text) {
    String s = text;
    EncodeAttribute(&s);
    String out;
    for (int i = 0; i < s.length(); i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F)
            out += HexValue(c);
        else
            out += static_cast<char>(c);
    }
    return out;
}

bool IsSpace(int c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

}  // namespace

Call::Call(Kelp* engine)
    : engine_(engine), connection_(nullptr), buffer_(nullptr), attributes_(0) {}

Call::~Call() {
    Close();
}

void Call::Close() {
    delete buffer_;
    buffer_ = nullptr;
    delete connection_;
    connection_ = nullptr;
}

String Call::EncodeFields(Variables* variables, const String& fields) {
    String joined;
    for (const String& name : SplitNameList(fields)) {
        if (!joined.empty()) joined += '&';
        joined += EncodeForRequest(name);
        joined += '=';
        joined += EncodeForRequest(variables->Value(name));
    }
    return joined;
}

String Call::ContentType(const String& path) {
    static const char* const kTypes[][2] = {
        {".txt", "text/plain"},      {".html", "text/html"},        {".htm", "text/html"},
        {".css", "text/css"},        {".csv", "text/csv"},          {".xml", "text/xml"},
        {".js", "text/javascript"},  {".json", "application/json"}, {".gif", "image/gif"},
        {".jpg", "image/jpeg"},      {".jpeg", "image/jpeg"},       {".png", "image/png"},
        {".pdf", "application/pdf"}, {".zip", "application/zip"},   {".dbf", "application/x-dbf"},
    };
    int dot = -1;
    for (int i = path.length() - 1; i >= 0 && path[i] != '/'; i--) {
        if (path[i] == '.') {
            dot = i;
            break;
        }
    }
    if (dot < 0) return "unknown";
    String extension = path.from(dot);
    for (const auto& t : kTypes) {
        if (extension.matches(t[0])) return t[1];
    }
    return "unknown";
}

int Call::Connect(const String& method, const String& url, const String& fields,
                  const String& files) {
    Close();
    url_ = url;
    // The methods a page may ask for; anything else would go to the server as it stands.
    if (!method.matches("GET") && !method.matches("HEAD") && !method.matches("POST") &&
        !method.matches("PUT")) {
        error_ = "Unsupported method '" + Entities(method) + "': use GET, HEAD, POST or PUT";
        return 0;
    }
    head_ = method.matches("HEAD");
    int ok = files.trimmed().empty() ? OpenURLEncodedConnection(method, url, fields)
                                     : OpenMultipartConnection(method, url, fields, files);
    if (!ok) return 0;
    return Receive(connection_, url);
}

int Call::Receive(NetworkConnection* connection, const String& url) {
    if (connection != connection_) {
        Close();
        connection_ = connection;
    }
    url_ = url;
    bodystart_ = String();
    contentlength_ = -1;
    if (!ReadHeaders(url)) return 0;
    buffer_ = new NetworkBuffer(connection_, engine_->settings().calltimeout,
                                engine_->settings().callbuffersize,
                                engine_->settings().maxresponselength);
    buffer_->Prepend(bodystart_);
    // A body ends where its length says (a server keeping the connection open, or
    // sending more, gives no more); a response to HEAD has none.
    if (head_) {
        buffer_->SetLength(0);
    } else if (contentlength_ >= 0) {
        buffer_->SetLength(contentlength_);
    }
    return 1;
}

int Call::OpenURLEncodedConnection(const String& method, const String& url, const String& fields) {
    String encoded = EncodeFields(engine_->vars(), fields);
    NetworkManager* network = NetContext::Manager(engine_);
    if (method.matches("POST") || method.matches("PUT")) {
        connection_ = network->OpenURL(url, method, "application/x-www-form-urlencoded", &encoded,
                                       encoded.length(), engine_->settings().calltimeout);
    } else {
        String target = url;
        if (!encoded.empty()) {
            target += url.contains('?') ? '&' : '?';
            target += encoded;
        }
        connection_ =
            network->OpenURL(target, method, String(), nullptr, 0, engine_->settings().calltimeout);
    }
    if (connection_ == nullptr) {
        error_ = "Unable to open URL '" + Entities(url) + "': " + Entities(network->error());
        return 0;
    }
    return 1;
}

namespace {

// The value of a multipart header parameter: quotes and line breaks cannot end it.
String QuotedParameter(const String& text) {
    String out;
    for (int i = 0; i < text.length(); i++) {
        char c = text[i];
        if (c == '"' || c == '\r' || c == '\n' || c == '\\')
            out += HexValue(static_cast<unsigned char>(c));
        else
            out += c;
    }
    return out;
}

}  // namespace

int Call::FindFiles(const String& files, std::vector<CallFile>* list) {
    FileManager* fm = engine_->filemanager();
    for (const String& name : SplitNameList(files)) {
        CallFile f;
        f.fieldname = name;
        f.errorpath = engine_->vars()->Value(name);
        String reason;
        if (!engine_->ResolvePath(f.errorpath, DataPath, &f.path, &reason)) {
            error_ = reason;
            return 0;
        }
        File* file = fm->Open(f.path, FileRead);
        if (file == nullptr || fm->IsDirectory(f.path)) {
            error_ = "Unable to open '" + Entities(f.errorpath) +
                     "': " + Entities(file == nullptr ? fm->error() : String("Is a directory"));
            delete file;
            return 0;
        }
        f.size = file->Length();
        delete file;
        f.contenttype = ContentType(f.path);
        list->push_back(f);
    }
    return 1;
}

int Call::OpenMultipartConnection(const String& method, const String& url, const String& fields,
                                  const String& files) {
    // The files first: one that cannot be read stops the request before it is sent.
    std::vector<CallFile> list;
    if (!FindFiles(files, &list)) return 0;
    FileManager* fm = engine_->filemanager();
    // A boundary no field value holds: 128 random bits, drawn again in the unlikely
    // case that a value holds them.
    String boundary;
    for (bool clash = true; clash;) {
        boundary = "--------------------" + ScriptContext::MakeSessionID();
        if (boundary.length() < 40) {
            error_ = "Unable to open URL '" + Entities(url) + "': no random boundary can be made";
            return 0;
        }
        clash = false;
        for (const String& name : SplitNameList(fields)) {
            if (engine_->vars()->Value(name).search(boundary.chars()) >= 0) clash = true;
        }
    }

    // Every part but the files' bytes, in order; a file's bytes go after its head.
    std::vector<String> heads;
    long length = 0;
    for (const String& name : SplitNameList(fields)) {
        String part = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" +
                      QuotedParameter(name) + "\"\r\n\r\n" + engine_->vars()->Value(name) + "\r\n";
        length += part.length();
        heads.push_back(part);
    }
    String fieldparts;
    for (const String& part : heads) fieldparts += part;
    heads.clear();
    for (const CallFile& f : list) {
        String base = f.errorpath;
        int slash = base.length() - 1;
        while (slash >= 0 && base[slash] != '/') slash--;
        base = base.from(slash + 1);
        String head = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" +
                      QuotedParameter(f.fieldname) + "\"; filename=\"" + QuotedParameter(base) +
                      "\"\r\nContent-Type: " + f.contenttype + "\r\n\r\n";
        length += head.length() + f.size + 2;
        heads.push_back(head);
    }
    String tail = "--" + boundary + "--\r\n";
    length += tail.length();

    NetworkManager* network = NetContext::Manager(engine_);
    connection_ = network->OpenURL(url, method, "multipart/form-data; boundary=" + boundary,
                                   nullptr, length, engine_->settings().calltimeout);
    if (connection_ == nullptr) {
        error_ = "Unable to open URL '" + Entities(url) + "': " + Entities(network->error());
        return 0;
    }
    bool ok = connection_->Write(fieldparts) == fieldparts.length();
    for (size_t i = 0; ok && i < list.size(); i++) {
        ok = connection_->Write(heads[i]) == heads[i].length();
        File* file = ok ? fm->Open(list[i].path, FileRead) : nullptr;
        long left = list[i].size;
        char block[16384];
        while (ok && file != nullptr && left > 0) {
            long n =
                file->Read(block, left < static_cast<long>(sizeof block) ? left : sizeof block);
            if (n <= 0) break;
            ok = connection_->Write(block, n) == n;
            left -= n;
        }
        delete file;
        if (ok && left != 0) {
            // The file changed size on the way: the announced length can no longer hold.
            error_ = "Unable to open URL '" + Entities(url) + "': '" + Entities(list[i].errorpath) +
                     "' changed while it was sent";
            return 0;
        }
        ok = ok && connection_->Write("\r\n", 2) == 2;
    }
    ok = ok && connection_->Write(tail) == tail.length();
    if (!ok) {
        error_ = "Unable to open URL '" + Entities(url) + "': " + Entities(connection_->error());
        return 0;
    }
    return 1;
}

int Call::InputEnded(const char* inside) {
    if (buffer_->limitreached()) {
        error_ = "The response from '" + Entities(url_) +
                 "' is longer than the configured maxresponselength";
    } else if (!buffer_->error().empty()) {
        error_ = Entities(buffer_->error());
    } else {
        error_ = inside;
    }
    return CallElementError;
}

void Call::SetVariable(const char* name, const String& value) {
    if (vars_.Find(name) == nullptr)
        vars_.Insert(new Variable(name, value));
    else
        vars_.SetVariable(name, value);
}

void Call::SetNumbered(const char* name, int number, const String& value) {
    String full = name;
    full.catint(number);
    SetVariable(full.chars(), value);
}

int Call::ReadHeaders(const String& url) {
    int count = 0;
    for (;;) {
        String line;
        int n = connection_->ReadLine(&line, engine_->settings().calltimeout);
        if (n == NetworkFailed) break;  // closed: what came so far is the response
        if (n == NetworkTimedOut || n == NetworkTooLong) {
            error_ = "Unable to open URL '" + Entities(url) + "': " +
                     (n == NetworkTooLong ? String("a response header line is too long")
                                          : String("Timed out waiting for response from host"));
            return 0;
        }
        if (count == 0 && strncasecmp(line.chars(), "HTTP/", 5) != 0) {
            // No status line: a response without headers, all of it body.
            bodystart_ = line;
            break;
        }
        int end = line.length();
        while (end > 0 && (line[end - 1] == '\n' || line[end - 1] == '\r')) end--;
        if (end == 0) break;
        if (strncasecmp(line.chars(), "Content-Length:", 15) == 0) {
            String digits = line.at(15, end).trimmed();
            char* stop;
            long length = strtol(digits.chars(), &stop, 10);
            if (!digits.empty() && *stop == '\0' && length >= 0) contentlength_ = length;
        }
        if (++count > kMaxHeaderLines) {
            error_ = "Unable to open URL '" + Entities(url) +
                     "': the response has too many header lines";
            return 0;
        }
        SetNumbered("callreturnheader", count, line.before(end));
    }
    String number;
    number.catint(count);
    SetVariable("callnumberofheaders", number);
    return 1;
}

void Call::ClearAttributeVariables() {
    for (int i = 1; i <= attributes_; i++) {
        SetNumbered("callobjectattribute", i, String());
        SetNumbered("callobjectvalue", i, String());
    }
    attributes_ = 0;
}

int Call::GetNameValuePairs(String* raw, int* count) {
    NetworkBuffer* in = buffer_;
    *count = 0;
    for (;;) {
        int c = in->GetNextChar();
        while (c >= 0 && IsSpace(c)) {
            *raw += static_cast<char>(c);
            c = in->GetNextChar();
        }
        if (c < 0) break;
        *raw += static_cast<char>(c);
        if (c == '>') return CallElementFound;
        if (c == '/') {
            int d = in->GetNextChar();
            if (d < 0) break;
            *raw += static_cast<char>(d);
            if (d == '>') return CallElementFound;
            error_ = "Found &quot;" + Entities(String(reinterpret_cast<const char*>(&d), 1)) +
                     "&quot; in tag following /";
            return CallElementError;
        }
        String name(reinterpret_cast<const char*>(&c), 1);
        while ((c = in->GetNextChar()) >= 0 && !IsSpace(c) && c != '=' && c != '>' && c != '/') {
            name += static_cast<char>(c);
            *raw += static_cast<char>(c);
        }
        while (c >= 0 && IsSpace(c)) {
            *raw += static_cast<char>(c);
            c = in->GetNextChar();
        }
        String value;
        if (c == '=') {
            *raw += '=';
            c = in->GetNextChar();
            while (c >= 0 && IsSpace(c)) {
                *raw += static_cast<char>(c);
                c = in->GetNextChar();
            }
            if (c == '"' || c == '\'') {
                int quote = c;
                *raw += static_cast<char>(c);
                while ((c = in->GetNextChar()) >= 0 && c != quote) {
                    value += static_cast<char>(c);
                    *raw += static_cast<char>(c);
                }
                if (c < 0) break;
                *raw += static_cast<char>(c);
            } else {
                while (c >= 0 && !IsSpace(c) && c != '>') {
                    value += static_cast<char>(c);
                    *raw += static_cast<char>(c);
                    c = in->GetNextChar();
                }
                if (c >= 0) in->UnGetChar();
            }
        } else if (c >= 0) {
            in->UnGetChar();
        }
        if (*count >= kMaxAttributes) {
            error_ = "An element of the response has more than " + String::FromInt(kMaxAttributes) +
                     " attributes";
            return CallElementError;
        }
        ++*count;
        SetNumbered("callobjectattribute", *count, name);
        SetNumbered("callobjectvalue", *count, value);
        attributes_ = *count;
        if (c < 0) break;
    }
    return InputEnded("Unexpected EOF in tag");
}

int Call::FindNextElement() {
    ClearAttributeVariables();
    if (buffer_ == nullptr) return CallElementEnd;
    NetworkBuffer* in = buffer_;
    int c = in->GetNextChar();
    if (c < 0) return in->limitreached() || !in->error().empty() ? InputEnded("") : CallElementEnd;
    if (c != '<') {
        String text;
        do {
            text += static_cast<char>(c);
        } while ((c = in->GetNextChar()) >= 0 && c != '<');
        if (c >= 0) in->UnGetChar();
        SetVariable("callobjecttype", "text");
        SetVariable("callvalue", text);
        SetVariable("callobjectelement", String());
        SetVariable("callobjectnumattributes", "0");
        return CallElementFound;
    }
    String raw = "<";
    c = in->GetNextChar();
    while (c >= 0 && IsSpace(c)) {
        raw += static_cast<char>(c);
        c = in->GetNextChar();
    }
    String name;
    while (c >= 0 && !IsSpace(c) && c != '>' && !(c == '/' && !name.empty())) {
        name += static_cast<char>(c);
        raw += static_cast<char>(c);
        if (name == "!--") break;
        c = in->GetNextChar();
    }
    if (c < 0) return InputEnded("Unexpected EOF in tag");
    int count = 0;
    if (name == "!--") {
        // A comment runs to its "-->", whatever it holds.
        while (!(raw.length() >= 7 && raw.at(raw.length() - 3, raw.length()) == "-->")) {
            c = in->GetNextChar();
            if (c < 0) return InputEnded("Unexpected EOF in tag");
            raw += static_cast<char>(c);
        }
    } else if (name[0] == '!' || name[0] == '?') {
        // A declaration (<!DOCTYPE ...>) or processing instruction (<?xml ...?>)
        // runs to its ">", quoted text included, and has no attributes.
        int quote = 0;
        raw += static_cast<char>(c);
        while (c != '>' || quote != 0) {
            c = in->GetNextChar();
            if (c < 0) return InputEnded("Unexpected EOF in tag");
            raw += static_cast<char>(c);
            if (quote != 0 && c == quote)
                quote = 0;
            else if (quote == 0 && (c == '"' || c == '\''))
                quote = c;
        }
    } else {
        in->UnGetChar();
        int r = GetNameValuePairs(&raw, &count);
        if (r != CallElementFound) return r;
    }
    SetVariable("callobjecttype", "tag");
    SetVariable("callvalue", raw);
    SetVariable("callobjectelement", name);
    String number;
    number.catint(count);
    SetVariable("callobjectnumattributes", number);
    return CallElementFound;
}
