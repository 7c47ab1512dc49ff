// KpSMTP and a sending MAIL: the block's output becomes the body of one message.
// KpPOP and a retrieving MAIL (one with LOGIN): the block runs once per message
// waiting in a POP3 mailbox, with the message's variables in a system scope of
// their own; KpPOPDELETE deletes the current message, KpPOPSTOP leaves the loop.

#include "net/mail.h"
#include "script/encoding.h"
#include "script/loop_state.h"
#include "script/macro_expander.h"
#include "script/script_parser.h"
#include "script/tag_table.h"
#include "script/variables.h"

namespace {

// The attributes a tag must have; false after the syntax error for the first missing.
bool HasRequired(ScriptParser* parser, Tag* tag, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (tag->Find(name) == nullptr) {
            parser->SyntaxError(tag->name() + " requires the " + name +
                                " attribute to be specified");
            return false;
        }
    }
    return true;
}

// PLAINTEXTLOGIN: present and not "no", "0" or "off" lets the password go unencrypted.
bool PlainTextLogin(Tag* tag) {
    String plain = tag->Value("PLAINTEXTLOGIN").trimmed().lower();
    return tag->Find("PLAINTEXTLOGIN") != nullptr && plain != "no" && plain != "0" &&
           plain != "off";
}

// SECURITY: "none", "starttls" (or "stls"), "tls"; absent: by the port. False after
// the runtime error for another word (*result holds the tag's result).
bool Security(ScriptState* state, Tag* tag, int* security, int* result) {
    *security = -1;
    NameValuePair* a = tag->Find("SECURITY");
    if (a == nullptr) return true;
    String word = a->value().trimmed().lower();
    if (word == "none")
        *security = MailPlain;
    else if (word == "starttls" || word == "stls")
        *security = MailStartTLS;
    else if (word == "tls" || word == "ssl")
        *security = MailTLS;
    else {
        *result = state->RuntimeError(
            tag, "Unknown SECURITY '" + Entities(a->value()) + "': use none, starttls or tls");
        return false;
    }
    return true;
}

class SendMailState : public ScriptState {
  public:
    SendMailState(ScriptParser* parser, Tag* tag)
        : ScriptState(parser, tag), mail_(parser->engine()), previous_(nullptr), ended_(false) {}

    // Connects and sends the envelope and headers; on success the page's output
    // goes into the message. 1, or 0 with error().
    int Start(Tag* tag, const MailOptions& options) {
        // A line break right after the opening tag does not start the body.
        int c = parser_->GetNextChar();
        if (c == '\r') c = parser_->GetNextChar();
        if (c != '\n') parser_->UnGetChar(c);
        String subject =
            tag->Find("SUBJECT") != nullptr ? tag->Value("SUBJECT") : String("(no subject)");
        if (!mail_.StartSendMail(tag->Value("TO"), tag->Value("CC"), tag->Value("FROM"), subject,
                                 tag->Value("MAILHOST").trimmed(), options)) {
            return 0;
        }
        previous_ = parser_->SwitchOutput(mail_.MailOutput());
        return 1;
    }

    const String& error() const { return mail_.error(); }

    bool HandsToDispatch(const Tag* tag) const override { return tag->id() != tag_->endid(); }

    int ProcessTag(Tag* tag) override {
        if (HandsToDispatch(tag)) return Dispatch(tag);
        ended_ = true;
        return StateClose;
    }

    int ExitState() override {
        int result = StateDone;
        if (!ended_ && !parser_->SkipBlock(tag_)) result = StateError;
        if (previous_ != nullptr) parser_->SwitchOutput(previous_);
        previous_ = nullptr;
        if (!mail_.EndSendMail() && result == StateDone) {
            if (!RuntimeError(tag_, mail_.error())) result = StateError;
        }
        return result;
    }

  private:
    MailHandler mail_;
    Output* previous_;  // not owned: the output before the block
    bool ended_;
};

int StartSending(ScriptState* state, Tag* tag) {
    ScriptParser* parser = state->parser();
    if (!HasRequired(parser, tag, {"FROM", "TO", "MAILHOST"})) return StateError;
    MailOptions options;
    int result;
    if (!Security(state, tag, &options.security, &result)) {
        return result ? (parser->SkipBlock(tag) ? StateDone : StateError) : StateError;
    }
    options.user = tag->Value("USER");
    options.password = tag->Value("PASSWORD");
    options.mechanism = tag->Value("AUTH").trimmed();
    options.plaintextlogin = PlainTextLogin(tag);
    options.contenttype = tag->Value("CONTENTTYPE").trimmed();
    SendMailState* s = new SendMailState(parser, tag);
    if (!s->Start(tag, options)) {
        String message = s->error();
        delete s;
        if (!state->RuntimeError(tag, message)) return StateError;
        return parser->SkipBlock(tag) ? StateDone : StateError;
    }
    parser->AddState(s);
    return StateDone;
}

// KpPOP: a pass per message; KpPOPSTOP ends it, KpPOPDELETE deletes the message.
class GetMailState : public LoopState {
  public:
    GetMailState(ScriptParser* parser, Tag* tag)
        : LoopState(parser, tag, TagKpPOPSTOP, TagKpPOPDELETE),
          mail_(parser->engine()),
          scope_(parser->variables()) {}

    // Logs in and retrieves the first message: 1 when there is one, 0 for an empty
    // mailbox, -1 on failure (error()).
    int Start(Tag* tag, int security) {
        if (!mail_.StartGetMail(tag->Value("LOGIN"), tag->Value("PASSWORD"),
                                tag->Value("DIRECTORY"), tag->Value("MAILHOST").trimmed(), security,
                                PlainTextLogin(tag))) {
            return -1;
        }
        int r = NextMessage();
        if (r == 1) {
            MarkBody();
            scope_.Push(&vars_);
        } else {
            mail_.EndGetMail();
        }
        return r;
    }

    const String& error() const { return mail_.error(); }

  protected:
    Pass Next(String* message) override {
        int r = NextMessage();
        if (r == 1) return Again;
        if (r == 0) return Finished;
        *message = mail_.error();
        return Failed;
    }

    int ProcessOwnTag(Tag* tag) override {
        return mail_.DeleteCurrentMessage() ? StateDone : RuntimeError(tag, mail_.error());
    }

    void Finish() override {
        mail_.EndGetMail();
        scope_.Pop();
    }

  private:
    // The next message into the variables: as MailHandler::GetNextMessage().
    int NextMessage() {
        int r = mail_.GetNextMessage();
        if (r != 1) return r;
        POP3Message* m = mail_.currentmessage();
        String subject = m->headers("Subject");
        String from = m->headers("From");
        String replyto = m->headers("Reply-To");
        vars_.SetVariable("messagebody", mail_.messagefile());
        vars_.SetVariable("messagesubject", subject.empty() ? String("(no subject)") : subject);
        vars_.SetVariable("messagereplyto", replyto.empty() ? from : replyto);
        vars_.SetVariable("messagesender", from);
        vars_.SetVariable("messagedate", m->headers("Date"));
        return 1;
    }

    MailHandler mail_;
    VariableTree vars_;  // owns elements: the message variables
    PushedScope scope_;  // vars_ while the loop runs
};

int StartRetrieving(ScriptState* state, Tag* tag) {
    ScriptParser* parser = state->parser();
    if (!HasRequired(parser, tag, {"LOGIN", "PASSWORD", "DIRECTORY", "MAILHOST"}))
        return StateError;
    int security, result;
    if (!Security(state, tag, &security, &result)) {
        return result ? (parser->SkipBlock(tag) ? StateDone : StateError) : StateError;
    }
    GetMailState* s = new GetMailState(parser, tag);
    int r = s->Start(tag, security);
    if (r == 1) {
        parser->AddState(s);
        return StateDone;
    }
    String message = s->error();
    delete s;
    if (r < 0 && !state->RuntimeError(tag, message)) return StateError;
    return parser->SkipBlock(tag) ? StateDone : StateError;
}

int ProcessKpSMTP(ScriptState* state, Tag* tag) {
    return StartSending(state, tag);
}

int ProcessKpPOP(ScriptState* state, Tag* tag) {
    return StartRetrieving(state, tag);
}

// MAIL retrieves when it names a mailbox to log into, and sends otherwise.
int ProcessMAIL(ScriptState* state, Tag* tag) {
    return tag->Find("LOGIN") != nullptr ? StartRetrieving(state, tag) : StartSending(state, tag);
}

}  // namespace

namespace {

const TagSpec kMailTags[] = {
    {"MAIL", TagMAIL, TagEndMAIL, "", kNonFatal, ProcessMAIL, nullptr, nullptr},
    {"/MAIL", TagEndMAIL, 0, "", 0, nullptr, nullptr, nullptr},
    {"KpPOP", TagKpPOP, TagEndKpPOP, "LOGIN*,PASSWORD*,DIRECTORY*,MAILHOST*", kNonFatal,
     ProcessKpPOP, nullptr, nullptr},
    {"KpPOPSTOP", TagKpPOPSTOP, 0, "", kPassedDown, nullptr, nullptr, nullptr},
    {"KpPOPDELETE", TagKpPOPDELETE, 0, "", kPassedDown | kNonFatal, nullptr, nullptr, nullptr},
    {"/KpPOP", TagEndKpPOP, 0, "", 0, nullptr, nullptr, nullptr},
    {"KpSMTP", TagKpSMTP, TagEndKpSMTP, "FROM*,TO*,MAILHOST*,SUBJECT=(no subject),CC", kNonFatal,
     ProcessKpSMTP, nullptr, nullptr},
    {"/KpSMTP", TagEndKpSMTP, 0, "", 0, nullptr, nullptr, nullptr},
};

}  // namespace

void DeclareMailTags() {
    DeclareTags(kMailTags);
}
