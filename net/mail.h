// Mail: sending with SMTP (SMTP, SMTPOutput) and retrieving with POP3 (POP3,
// POP3Message, POP3Header), both driven for the tags by MailHandler.

#ifndef NET_MAIL_H_
#define NET_MAIL_H_

#include <vector>

#include "foundation/splay_tree.h"
#include "foundation/string.h"
#include "net/network.h"

class File;
class Kelp;
class ScriptParser;

// The body stream of a message: LF becomes CR LF, CR is dropped, and a "." that
// starts a line is doubled, however the writes split the text.
class SMTPOutput : public NetworkOutput {
  public:
    SMTPOutput(NetworkConnection* connection, int size)
        : NetworkOutput(connection, size), havelf_(1) {}
    ~SMTPOutput() override;
    int DoWrite(const char* s, int n) override;
    // Whether the last byte sent was a line feed.
    int havelf() const { return havelf_; }
    // Whether a write failed.
    bool failed() const { return failed_; }

  private:
    int havelf_;
    bool failed_ = false;
};

class SMTP : public INetProtocol {
  public:
    explicit SMTP(int timeout) : INetProtocol(timeout), output_(nullptr) {}
    ~SMTP() override;

    // Takes ownership of connection; reads the greeting and says HELO servername
    // (EHLO when extended: for STARTTLS and AUTH).
    int Connect(NetworkConnection* connection, const String& servername, bool extended = false);
    // STARTTLS, the handshake for host, and EHLO servername again.
    int StartTLS(const String& host, const String& servername);
    // AUTH PLAIN or AUTH LOGIN (mechanism "login").
    int Login(const String& user, const String& password, const String& mechanism);
    int SendFrom(const String& address);
    int AddRecipient(const String& address);
    // Sends DATA and makes the body stream.
    int StartData(int buffersize);
    // Flushes the body, ends it with a "." on its own line.
    int EndData();
    // QUIT, then the connection closes.
    void Quit();
    int ProcessResponse(const String& line) override;
    SMTPOutput* output() const { return output_; }

  private:
    SMTPOutput* output_;  // owned, only during DATA
};

// One header of a retrieved message.
class POP3Header {
  public:
    POP3Header(const String& name, const String& value) : name_(name), value_(value) {}
    const char* key() const { return name_.chars(); }
    const String& name() const { return name_; }
    String& value() { return value_; }

  private:
    String name_;
    String value_;
};

// One message on the server; once retrieved, its text is in a file.
class POP3Message {
  public:
    POP3Message(long index, long length) : index_(index), length_(length), headers_(1) {}
    ~POP3Message();
    POP3Message(const POP3Message&) = delete;
    POP3Message& operator=(const POP3Message&) = delete;

    // Creates the file (prefix + eight hexadecimal digits). 1, or 0 with error().
    int OpenFile(Kelp* engine, const String& prefix);
    // Writes one line of the message (its line end removed) and notes headers.
    int SaveLine(const String& line);
    int CloseFile();
    // The value of a header, empty when absent.
    String headers(const char* name);

    long index() const { return index_; }
    long length() const { return length_; }
    const String& filename() const { return filename_; }
    const String& error() const { return error_; }

  private:
    long index_;
    long length_;
    String filename_;
    File* file_ = nullptr;                        // owned while the message is retrieved
    SplayTree<POP3Header, const char*> headers_;  // owns elements
    POP3Header* last_ = nullptr;                  // not owned: the header a folded line continues
    bool inheaders_ = true;
    long saved_ = 0;
    String error_;
};

class POP3 : public INetProtocol {
  public:
    // limit: most bytes of one message.
    POP3(int timeout, long limit) : INetProtocol(timeout), limit_(limit) {}
    ~POP3() override;

    int Login(const String& user, const String& password);
    // STLS and the handshake for host.
    int StartTLS(const String& host);
    int BuildMessageList();
    // Retrieves the next message into a file named prefix + digits: 1 when there
    // was one (current() is it), 0 at the end, -1 on failure (error()).
    int GetNextMessage(Kelp* engine, const String& prefix);
    int DeleteMessage(POP3Message* message);
    // QUIT (the server carries out the deletions), then the connection closes.
    void Quit();
    int ProcessResponse(const String& line) override;
    POP3Message* current() const { return current_ < 0 ? nullptr : messages_[current_]; }

  private:
    enum Mode { Single, List, Retrieve };
    // Handles one line of a message; ResponseDone at its end.
    int EOT(const String& line);

    Mode mode_ = Single;
    bool first_ = true;                   // the next line is the status line
    std::vector<POP3Message*> messages_;  // owns elements, in LIST order
    int current_ = -1;
    long limit_;
    long received_ = 0;
};

// How a mail connection is secured and whether it logs in.
enum MailSecurity {
    MailPlain = 0,     // no encryption
    MailStartTLS = 1,  // STARTTLS (SMTP) or STLS (POP3) after the greeting
    MailTLS = 2,       // TLS from the start (ports 465 and 995)
};

struct MailOptions {
    int security = -1;  // a MailSecurity; -1: by the port (465 and 995 TLS, else plain)
    String user;        // SMTP: log in with AUTH when not empty
    String password;
    String mechanism;             // "plain" (default) or "login"
    bool plaintextlogin = false;  // allow the password over an unencrypted connection
    String contenttype;           // the body's Content-Type; empty: plain text in UTF-8
};

// What the mail tags ask of SMTP and POP3, with the tags' messages.
class MailHandler {
  public:
    // A header value as it may be sent: as it stands when it is all ASCII, else as
    // RFC 2047 encoded words of UTF-8 (base64), each of 64 characters at most, folded
    // onto lines of their own; a character is never split between two words.
    static String EncodedHeaderValue(const String& value);

    explicit MailHandler(Kelp* engine) : engine_(engine) {}
    ~MailHandler();
    MailHandler(const MailHandler&) = delete;
    MailHandler& operator=(const MailHandler&) = delete;

    // Sending: connects, sends the envelope and the header lines. 1, or 0 with error().
    int StartSendMail(const String& to, const String& cc, const String& from, const String& subject,
                      const String& mailhost, const MailOptions& options = MailOptions());
    // The stream the message body is written to (during sending).
    Output* MailOutput();
    // Ends the body and the dialogue. 1, or 0 with error().
    int EndSendMail();

    // Retrieving: logs in, lists the messages; directory names where message files
    // go (inside the data directory). The password goes over an unencrypted
    // connection only with plaintextlogin. 1, or 0 with error().
    int StartGetMail(const String& login, const String& password, const String& directory,
                     const String& mailhost, int security = -1, bool plaintextlogin = false);
    // 1 when the next message was retrieved, 0 at the end, -1 on failure.
    int GetNextMessage();
    int DeleteCurrentMessage();
    void EndGetMail();
    POP3Message* currentmessage() const { return pop_ == nullptr ? nullptr : pop_->current(); }
    // The name pages use for the current message's file.
    const String& messagefile() const { return messagefile_; }

    void Error(const String& text) { error_ = text; }
    const String& error() const { return error_; }

    // Splits "host", "host:port", "[v6]:port" (a bare IPv6 address has no port).
    static int SplitMailHost(const String& mailhost, int defaultport, String* host, int* port);
    // Closes connection (may be null) and refuses a password over plain text: 0.
    int PlainLoginRefused(NetworkConnection* connection);
    // The address of a "Name <address>" value, else the value trimmed.
    static String EnvelopeAddress(const String& value);
    // Whether every envelope address of the comma-separated list is one word of
    // printable characters without angle brackets; when not, *refused is the first
    // that is not.
    static bool PlainEnvelope(const String& list, String* refused);

  private:
    // Connects (with TLS from the start for MailTLS); *security becomes the mode
    // chosen by the port when it was -1, *host the host the certificate must name.
    int Connect(const String& mailhost, int defaultport, int tlsport, int* security, String* host,
                NetworkConnection** connection);
    int SendRecipients(const String& list);

    Kelp* engine_;          // not owned
    SMTP* smtp_ = nullptr;  // owned while sending
    POP3* pop_ = nullptr;   // owned while retrieving
    String host_;
    String directory_;  // as the page gave it
    String prefix_;     // the resolved directory and "KELP_POP"
    String messagefile_;
    String error_;
};

// Declares KpSMTP, KpPOP and MAIL (once per process).
void DeclareMailTags();

#endif  // NET_MAIL_H_
