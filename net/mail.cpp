// SMTP sending and POP3 retrieval.

#include "net/mail.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "foundation/file.h"
#include "net/net_context.h"
#include "script/encoding.h"
#include "script/engine.h"

namespace {

// Most header lines kept of one retrieved message.
const int kMaxMessageHeaders = 1000;

// A line of a server's text for a message (which is HTML).
String ServerText(const String& text) {
    return Entities(text);
}

// The current time as an Internet message date: "Tue, 08 Dec 2026 14:36:13 +0000".
String MessageDate() {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t now = ClockSeconds();
    struct tm local;
    localtime_r(&now, &local);
    long offset = local.tm_gmtoff / 60;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    char text[64];
    snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
             kDays[local.tm_wday], local.tm_mday, kMonths[local.tm_mon], local.tm_year + 1900,
             local.tm_hour, local.tm_min, local.tm_sec, sign, offset / 60, offset % 60);
    return String(text);
}

String Base64(const String& text) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    String out;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text.chars());
    int n = text.length();
    for (int i = 0; i < n; i += 3) {
        unsigned v = s[i] << 16 | (i + 1 < n ? s[i + 1] << 8 : 0) | (i + 2 < n ? s[i + 2] : 0);
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < n ? kDigits[(v >> 6) & 63] : '=';
        out += i + 2 < n ? kDigits[v & 63] : '=';
    }
    return out;
}

}  // namespace

// --- SMTP -------------------------------------------------------------------

SMTPOutput::~SMTPOutput() {
    Flush();
}

int SMTPOutput::DoWrite(const char* s, int n) {
    String converted;
    for (int i = 0; i < n; i++) {
        char c = s[i];
        if (c == '\r') continue;
        if (c == '\n') {
            converted += "\r\n";
            havelf_ = 1;
            continue;
        }
        if (c == '.' && havelf_) converted += '.';
        converted += c;
        havelf_ = 0;
    }
    if (converted.empty()) return n;
    if (NetworkOutput::DoWrite(converted.chars(), converted.length()) < 0) {
        failed_ = true;
        return -1;
    }
    return n;
}

SMTP::~SMTP() {
    delete output_;
}

int SMTP::Connect(NetworkConnection* connection, const String& servername, bool extended) {
    int r = INetProtocol::Connect(connection);
    if (r != ResponseDone) return r;
    return SendCommand((extended ? "EHLO " : "HELO ") + servername);
}

int SMTP::StartTLS(const String& host, const String& servername) {
    int r = SendCommand("STARTTLS");
    if (r != ResponseDone) return r;
    if (!connection_->StartTLS(host, timeout_)) {
        Error(connection_->error());
        Disconnect();
        return ResponseFailed;
    }
    return SendCommand("EHLO " + servername);
}

int SMTP::Login(const String& user, const String& password, const String& mechanism) {
    if (mechanism.matches("login") && mechanism.length() == 5) {
        int r = SendCommand("AUTH LOGIN");
        if (r == ResponseDone) r = SendCommand(Base64(user));
        if (r == ResponseDone) r = SendCommand(Base64(password));
        return r;
    }
    String credentials = String("", 0);
    credentials += '\0';
    credentials += user;
    credentials += '\0';
    credentials += password;
    return SendCommand("AUTH PLAIN " + Base64(credentials));
}

int SMTP::SendFrom(const String& address) {
    return SendCommand("MAIL FROM:<" + address + ">");
}

int SMTP::AddRecipient(const String& address) {
    return SendCommand("RCPT TO:<" + address + ">");
}

int SMTP::StartData(int buffersize) {
    int r = SendCommand("DATA");
    if (r != ResponseDone) return r;
    delete output_;
    output_ = new SMTPOutput(connection_, buffersize < 1 ? 8192 : buffersize);
    return ResponseDone;
}

int SMTP::EndData() {
    if (output_ == nullptr) {
        Error("Error sending data to server");
        return ResponseFailed;
    }
    output_->Flush();
    bool failed = output_->failed();
    int havelf = output_->havelf();
    delete output_;
    output_ = nullptr;
    if (failed) {
        Error("Error sending data to server");
        Disconnect();
        return ResponseFailed;
    }
    return SendCommand(havelf ? "." : "\r\n.");
}

void SMTP::Quit() {
    if (connection_ != nullptr) SendCommand("QUIT");
    Disconnect();
}

int SMTP::ProcessResponse(const String& line) {
    if (line[0] == '4' || line[0] == '5') {
        Error(line.from(4));
        return ResponseFailed;
    }
    if (line.length() >= 4 && line[3] != ' ') return ResponseMore;
    return ResponseDone;
}

// --- POP3 -------------------------------------------------------------------

POP3Message::~POP3Message() {
    delete file_;
}

int POP3Message::OpenFile(Kelp* engine, const String& prefix) {
    FileManager* fm = engine->filemanager();
    file_ = fm->MakeTemporary(prefix, &filename_, FileWrite);
    if (file_ == nullptr) {
        error_ = "Unable to create a file for the message: " + Entities(fm->error());
        return 0;
    }
    // The page moves or copies what it keeps: the file goes when the request ends.
    engine->AddUploadedFile(filename_);
    return 1;
}

int POP3Message::SaveLine(const String& line) {
    if (inheaders_) {
        if (line.empty()) {
            inheaders_ = false;
        } else if ((line[0] == ' ' || line[0] == '\t') && last_ != nullptr) {
            // A folded header line continues the header before it.
            String more = line;
            more.StripWhitespace();
            last_->value() += ' ';
            last_->value() += more;
        } else {
            int colon = line.search(":");
            last_ = nullptr;
            if (colon > 0 && !line.before(colon).contains(' ') && saved_ < kMaxMessageHeaders) {
                String name = line.before(colon);
                String value = line.from(colon + 1);
                value.StripWhitespace();
                if (headers_.Find(name.chars()) == nullptr) {
                    last_ = new POP3Header(name, value);
                    headers_.Insert(last_);
                    saved_++;
                }
            }
        }
    }
    String text = line + "\n";
    if (file_ == nullptr || file_->Write(text.chars(), text.length()) != text.length()) {
        error_ = "Error writing the message to '" + Entities(filename_) + "'";
        return 0;
    }
    return 1;
}

int POP3Message::CloseFile() {
    if (file_ == nullptr) return 1;
    file_->Close();
    delete file_;
    file_ = nullptr;
    return 1;
}

String POP3Message::headers(const char* name) {
    POP3Header* h = headers_.Find(name);
    return h == nullptr ? String() : h->value();
}

POP3::~POP3() {
    for (POP3Message* m : messages_) delete m;
}

int POP3::Login(const String& user, const String& password) {
    mode_ = Single;
    int r = SendCommand("USER " + user);
    if (r != ResponseDone) return r;
    return SendCommand("PASS " + password);
}

int POP3::StartTLS(const String& host) {
    mode_ = Single;
    int r = SendCommand("STLS");
    if (r != ResponseDone) return r;
    if (!connection_->StartTLS(host, timeout_)) {
        Error(connection_->error());
        Disconnect();
        return ResponseFailed;
    }
    return ResponseDone;
}

int POP3::BuildMessageList() {
    mode_ = List;
    first_ = true;
    int r = SendCommand("LIST");
    mode_ = Single;
    return r;
}

int POP3::GetNextMessage(Kelp* engine, const String& prefix) {
    if (current_ >= 0) messages_[current_]->CloseFile();
    if (current_ + 1 >= static_cast<int>(messages_.size())) return 0;
    current_++;
    POP3Message* m = messages_[current_];
    if (!m->OpenFile(engine, prefix)) {
        Error(m->error());
        return -1;
    }
    mode_ = Retrieve;
    first_ = true;
    received_ = 0;
    String command = "RETR ";
    command.catint(m->index());
    int r = SendCommand(command);
    mode_ = Single;
    m->CloseFile();
    return r == ResponseDone ? 1 : -1;
}

int POP3::DeleteMessage(POP3Message* message) {
    String command = "DELE ";
    command.catint(message->index());
    mode_ = Single;
    return SendCommand(command);
}

void POP3::Quit() {
    mode_ = Single;
    if (connection_ != nullptr) SendCommand("QUIT");
    Disconnect();
}

int POP3::EOT(const String& line) {
    if (line == ".") return ResponseDone;
    received_ += line.length() + 2;
    if (limit_ > 0 && received_ > limit_) {
        Error("The message is longer than the configured maxresponselength");
        Disconnect();
        return ResponseFailed;
    }
    POP3Message* m = messages_[current_];
    if (!m->SaveLine(line[0] == '.' && line[1] == '.' ? line.from(1) : line)) {
        Error(m->error());
        Disconnect();
        return ResponseFailed;
    }
    return ResponseMore;
}

int POP3::ProcessResponse(const String& line) {
    if (mode_ == Single || first_) {
        first_ = false;
        if (line[0] == '-') {
            int blank = line.search(" ");
            Error(blank < 0 ? String() : line.from(blank + 1));
            return ResponseFailed;
        }
        return mode_ == Single ? ResponseDone : ResponseMore;
    }
    if (mode_ == Retrieve) return EOT(line);
    // LIST: "number size" lines up to ".".
    if (line == ".") return ResponseDone;
    int blank = line.search(" ");
    long index = strtol(line.chars(), nullptr, 10);
    long length = blank < 0 ? 0 : strtol(line.chars() + blank + 1, nullptr, 10);
    if (index > 0 && messages_.size() < 100000) messages_.push_back(new POP3Message(index, length));
    return ResponseMore;
}

// --- MailHandler ------------------------------------------------------------

MailHandler::~MailHandler() {
    delete smtp_;
    delete pop_;
}

int MailHandler::SplitMailHost(const String& mailhost, int defaultport, String* host, int* port) {
    String h = mailhost.trimmed();
    *port = defaultport;
    String portpart;
    if (h[0] == '[') {
        int close = h.search("]");
        if (close < 0) return 0;
        String rest = h.from(close + 1);
        *host = h.at(1, close);
        if (rest.empty()) return !host->empty();
        if (rest[0] != ':') return 0;
        portpart = rest.from(1);
    } else {
        int colon = h.search(":");
        if (colon < 0 || h.search(":", colon + 1) >= 0) {
            *host = h;  // a name, or a bare IPv6 address
            return !h.empty();
        }
        *host = h.before(colon);
        portpart = h.from(colon + 1);
    }
    if (host->empty() || portpart.empty() || portpart.length() > 5) return 0;
    long p = 0;
    for (int i = 0; i < portpart.length(); i++) {
        if (portpart[i] < '0' || portpart[i] > '9') return 0;
        p = p * 10 + (portpart[i] - '0');
    }
    if (p < 1 || p > 65535) return 0;
    *port = static_cast<int>(p);
    return 1;
}

String MailHandler::EnvelopeAddress(const String& value) {
    int open = value.search("<");
    int close = open < 0 ? -1 : value.search(">", open);
    if (close > open) return value.at(open + 1, close).trimmed();
    return value.trimmed();
}

int MailHandler::Connect(const String& mailhost, int defaultport, int tlsport, int* security,
                         String* host, NetworkConnection** connection) {
    int port;
    host_ = mailhost;
    if (!SplitMailHost(mailhost, defaultport, host, &port)) {
        Error("Error connecting to '" + Entities(mailhost) +
              "': not a host name with an optional port");
        return 0;
    }
    if (*security < 0) *security = port == tlsport ? MailTLS : MailPlain;
    NetworkManager* network = NetContext::Manager(engine_);
    *connection = network->Connect(*host, port, engine_->settings().mailtimeout);
    if (*connection == nullptr) {
        Error("Error connecting to '" + Entities(mailhost) + "': " + Entities(network->error()));
        return 0;
    }
    if (*security == MailTLS && !(*connection)->StartTLS(*host, engine_->settings().mailtimeout)) {
        Error("Error connecting to '" + Entities(mailhost) +
              "': " + Entities((*connection)->error()));
        delete *connection;
        *connection = nullptr;
        return 0;
    }
    return 1;
}

int MailHandler::PlainLoginRefused(NetworkConnection* connection) {
    delete connection;
    Error(
        "Refusing to send the password over an unencrypted connection: ask for "
        "SECURITY=\"starttls\" or "
        "\"tls\" (or allow it with PLAINTEXTLOGIN)");
    return 0;
}

int MailHandler::StartSendMail(const String& to, const String& cc, const String& from,
                               const String& subject, const String& mailhost,
                               const MailOptions& options) {
    // Values a visitor may have supplied never start a new header or command.
    const struct {
        const char* name;
        const String* value;
    } values[] = {{"TO", &to},
                  {"CC", &cc},
                  {"FROM", &from},
                  {"SUBJECT", &subject},
                  {"MAILHOST", &mailhost},
                  {"CONTENTTYPE", &options.contenttype}};
    for (const auto& v : values) {
        if (HoldsLineBreak(*v.value)) {
            Error(String("The value of ") + v.name + " holds a line break: nothing was sent");
            return 0;
        }
    }
    if (HoldsLineBreak(options.user) || HoldsLineBreak(options.password)) {
        Error("The user or password holds a line break: nothing was sent");
        return 0;
    }
    // An envelope address goes into MAIL FROM and RCPT TO as it stands: a blank or an
    // angle bracket in it would add parameters to the command.
    String refused;
    if (!PlainEnvelope(from, &refused) || !PlainEnvelope(to, &refused) ||
        !PlainEnvelope(cc, &refused)) {
        Error("The address '" + Entities(refused) +
              "' holds a blank, an angle bracket or a control character: nothing was sent");
        return 0;
    }
    int security = options.security;
    String host;
    if (!options.user.empty() && security == MailPlain && !options.plaintextlogin) {
        return PlainLoginRefused(nullptr);
    }
    NetworkConnection* connection;
    if (!Connect(mailhost, 25, 465, &security, &host, &connection)) return 0;
    if (!options.user.empty() && security == MailPlain && !options.plaintextlogin) {
        return PlainLoginRefused(connection);
    }
    delete smtp_;
    smtp_ = new SMTP(engine_->settings().mailtimeout);
    bool extended = security != MailPlain || !options.user.empty();
    if (smtp_->Connect(connection, NetContext::HostName(), extended) != ResponseDone) {
        String reason = smtp_->error();
        if (NetContext::HostName().empty())
            reason += ": Please ensure that Kelp is able to determine the server's DNS name";
        Error("Error connecting to '" + Entities(mailhost) + "': " + ServerText(reason));
        return 0;
    }
    if (security == MailStartTLS && smtp_->StartTLS(host, NetContext::HostName()) != ResponseDone) {
        Error("Error starting TLS with '" + Entities(mailhost) +
              "': " + ServerText(smtp_->error()));
        return 0;
    }
    if (!options.user.empty() &&
        smtp_->Login(options.user, options.password, options.mechanism) != ResponseDone) {
        Error("Error logging into '" + Entities(mailhost) + "': " + ServerText(smtp_->error()));
        return 0;
    }
    String sender = EnvelopeAddress(from);
    if (smtp_->SendFrom(sender) != ResponseDone) {
        Error("Error sending sender '" + Entities(sender) + "': " + ServerText(smtp_->error()));
        return 0;
    }
    if (!SendRecipients(to) || !SendRecipients(cc)) return 0;
    if (smtp_->StartData(engine_->settings().smtpbuffersize) != ResponseDone) {
        Error("Error sending data to '" + Entities(mailhost) + "': " + ServerText(smtp_->error()));
        return 0;
    }
    Output* out = smtp_->output();
    String headers = "Date: " + MessageDate() + "\r\nFrom: " + from + "\r\nTo: " + to + "\r\n";
    if (!cc.trimmed().empty()) headers += "CC: " + cc + "\r\n";
    headers += "X-Mailer: Kelp v3.7833\r\nSubject: " + EncodedHeaderValue(subject) + "\r\n";
    // The body is the page's text, which is UTF-8 unless the page says otherwise.
    headers += "MIME-Version: 1.0\r\nContent-Type: ";
    headers +=
        options.contenttype.empty() ? String("text/plain; charset=UTF-8") : options.contenttype;
    headers += "\r\nContent-Transfer-Encoding: 8bit\r\n\r\n";
    out->Write(headers);
    return 1;
}

String MailHandler::EncodedHeaderValue(const String& value) {
    bool ascii = true;
    for (int i = 0; i < value.length() && ascii; i++)
        ascii = static_cast<unsigned char>(value[i]) < 0x80;
    if (ascii) return value;
    // 39 bytes make 52 base64 characters: with "=?UTF-8?B?" and "?=", 64, so that
    // even the first word, after "Subject: ", keeps its line within 76 characters.
    const int kWordBytes = 39;
    String out;
    int start = 0;
    while (start < value.length()) {
        int end = start + kWordBytes < value.length() ? start + kWordBytes : value.length();
        while (end < value.length() && end > start + 1 &&
               (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80)
            end--;
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?B?" + Base64(value.at(start, end)) + "?=";
        start = end;
    }
    return out;
}

namespace {

// Calls visit with the envelope address of each entry of a comma-separated list,
// empty ones included, while it returns true; false when a call did.
template <typename Visit>
bool EachAddress(const String& list, Visit visit) {
    int start = 0;
    for (;;) {
        int comma = list.search(",", start);
        if (!visit(MailHandler::EnvelopeAddress(list.at(start, comma < 0 ? list.length() : comma))))
            return false;
        if (comma < 0) return true;
        start = comma + 1;
    }
}

}  // namespace

bool MailHandler::PlainEnvelope(const String& list, String* refused) {
    return EachAddress(list, [&](const String& address) {
        for (int i = 0; i < address.length(); i++) {
            unsigned char c = static_cast<unsigned char>(address[i]);
            if (c <= ' ' || c == 0x7F || c == '<' || c == '>') {
                *refused = address;
                return false;
            }
        }
        return true;
    });
}

int MailHandler::SendRecipients(const String& list) {
    return EachAddress(list,
                       [&](const String& address) {
                           if (address.empty() || smtp_->AddRecipient(address) == ResponseDone)
                               return true;
                           Error("Error sending recipient '" + Entities(address) +
                                 "': " + ServerText(smtp_->error()));
                           return false;
                       })
               ? 1
               : 0;
}

Output* MailHandler::MailOutput() {
    return smtp_ == nullptr ? nullptr : smtp_->output();
}

int MailHandler::EndSendMail() {
    if (smtp_ == nullptr) return 0;
    int ok = smtp_->EndData() == ResponseDone;
    if (!ok)
        Error("Error sending the message to '" + Entities(host_) +
              "': " + ServerText(smtp_->error()));
    smtp_->Quit();
    delete smtp_;
    smtp_ = nullptr;
    return ok;
}

int MailHandler::StartGetMail(const String& login, const String& password, const String& directory,
                              const String& mailhost, int security, bool plaintextlogin) {
    if (HoldsLineBreak(login) || HoldsLineBreak(password) || HoldsLineBreak(mailhost)) {
        Error("The login, password or mail host holds a line break");
        return 0;
    }
    String resolved, reason;
    if (!engine_->ResolvePath(directory, DataPath, &resolved, &reason)) {
        Error(reason);
        return 0;
    }
    if (!engine_->filemanager()->IsDirectory(resolved)) {
        Error("'" + Entities(directory) + "' is not a directory");
        return 0;
    }
    directory_ = directory;
    prefix_ = resolved;
    if (!prefix_.empty() && prefix_[prefix_.length() - 1] != '/') prefix_ += '/';
    prefix_ += "KELP_POP";
    NetworkConnection* connection;
    String host;
    if (security == MailPlain && !plaintextlogin) return PlainLoginRefused(nullptr);
    if (!Connect(mailhost, 110, 995, &security, &host, &connection)) return 0;
    if (security == MailPlain && !plaintextlogin) return PlainLoginRefused(connection);
    delete pop_;
    pop_ = new POP3(engine_->settings().mailtimeout, engine_->settings().maxresponselength);
    if (pop_->Connect(connection) != ResponseDone) {
        Error("Error connecting to '" + Entities(mailhost) + "': " + ServerText(pop_->error()));
        return 0;
    }
    if (security == MailStartTLS && pop_->StartTLS(host) != ResponseDone) {
        Error("Error starting TLS with '" + Entities(mailhost) + "': " + ServerText(pop_->error()));
        return 0;
    }
    if (pop_->Login(login, password) != ResponseDone) {
        Error("Error logging into '" + Entities(mailhost) + "': " + ServerText(pop_->error()));
        return 0;
    }
    if (pop_->BuildMessageList() != ResponseDone) {
        Error("Error getting list of messages from '" + Entities(mailhost) +
              "': " + ServerText(pop_->error()));
        return 0;
    }
    return 1;
}

int MailHandler::GetNextMessage() {
    if (pop_ == nullptr) return 0;
    int r = pop_->GetNextMessage(engine_, prefix_);
    if (r < 0) {
        POP3Message* m = pop_->current();
        String number;
        if (m != nullptr) number.catint(m->index());
        Error("Error retrieving message #" + number + " from '" + Entities(host_) +
              "': " + ServerText(pop_->error()));
        return -1;
    }
    if (r == 1) {
        // The name as the page gave the directory, so that file tags find it.
        String file = pop_->current()->filename();
        int slash = file.length() - 1;
        while (slash >= 0 && file[slash] != '/') slash--;
        messagefile_ = directory_;
        if (!messagefile_.empty() && messagefile_[messagefile_.length() - 1] != '/')
            messagefile_ += '/';
        messagefile_ += file.from(slash + 1);
    }
    return r;
}

int MailHandler::DeleteCurrentMessage() {
    POP3Message* m = currentmessage();
    if (m == nullptr) return 1;
    if (pop_->DeleteMessage(m) != ResponseDone) {
        String number;
        number.catint(m->index());
        Error("Error deleting message #" + Entities(number) + ": " + ServerText(pop_->error()));
        return 0;
    }
    return 1;
}

void MailHandler::EndGetMail() {
    if (pop_ != nullptr) pop_->Quit();
}
