// Parser: the tag scanner. Splits a script into runs of text, line breaks, tags it
// does not know (passed on as text) and known tags with their attributes, and hands
// each to the event handlers of a derived class.

#ifndef SCRIPT_PARSER_H_
#define SCRIPT_PARSER_H_

#include "foundation/splay_tree.h"
#include "foundation/string.h"
#include "script/character_source.h"
#include "script/tag.h"

class Buffer;
class Kelp;

// Tags by name (case ignored): the table of known tags, or the targets of skip mode.
class TagTable : public SplayTree<Tag, const char*> {
  public:
    explicit TagTable(int owns = 1) : SplayTree<Tag, const char*>(owns) {}
};

// Codes of the scanning steps.
enum ScanCode {
    ScanFailure = 0,  // an error was reported
    ScanDone = 1,
    ScanMore = 2,  // continue
    ScanStop = 3,  // a tag starts here / the tag has ended / stop the scan
    ScanEnd = 4,   // end of input
};

// The scanner never interprets anything. A derived class fills the table of known
// tags (SetupSupportedTags) and handles the events:
//   ProcessKnownTag   0 failure, 1 or 2 continue, 3 stop the scan successfully
//   ProcessText, ProcessNewLine, ProcessUnknownTag   1 continue; anything else ends
//                     the scan with that code
// Whitespace is exactly space, tab, CR and LF. The line number counts every LF the
// scanner reads outside a macro value; errors carry the line current when found.
//
// Script comments <## ... ##> and <KpCOMMENT> ... </KpCOMMENT> produce nothing;
// HTML comments pass through as unknown tags.
class Parser : public CharacterSource {
  public:
    // engine, source: not owned; both outlive the parser.
    Parser(Kelp* engine, Buffer* source);
    virtual ~Parser();
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // Fills tags() with the known-tag templates. Called by the derived constructor.
    virtual void SetupSupportedTags() = 0;

    // Scans the whole source from offset 0. Returns 1 at the end of input or after a
    // handler stopped the scan, 0 after a failure.
    virtual int Parse();
    // One text phase and the tag after it: ScanMore to go on, ScanEnd, ScanStop, or
    // ScanFailure.
    int FindNextTag();

    // Skip mode: scans forward without executing anything until a tag of targets is
    // found at nesting depth 0 (see Tag for how end ids classify targets); found then
    // holds a parsed copy. Returns ScanDone, ScanEnd at end of input, or ScanFailure.
    int FindTag(Tag* found, TagTable* targets);
    // Skips input up to and including target (compared without regard to case).
    // display is target's HTML form for the error message. Returns 1, or 0 at the end.
    int FindText(const char* target, const char* display);

    // Reads the next character (counting lines) or pushes back the character c just
    // read; -1 is the end of input and is never pushed back.
    int GetNextChar() override;
    void UnGetChar(int c) override;
    // Whether the character just read is outside text: it is always plain text,
    // never the start of a tag, a quote, an escape or the end of anything.
    bool fromoutside() override;

    static bool IsWhitespace(int c) { return String::IsWhitespace(c); }

    int line() const { return line_; }
    void SetLine(int line) { line_ = line; }
    Kelp* engine() const { return engine_; }
    Buffer* source() const { return source_; }
    TagTable& tags() { return tags_; }
    // The template of a known tag by name (any case), or null.
    virtual Tag* FindTemplate(const char* name) { return tags_.Find(name); }

  protected:
    // Scanning steps; each returns a ScanCode. Where text is given, the characters
    // read are appended to it.
    // Skips whitespace; ScanDone with the next character pushed back, or ScanEnd.
    virtual int EatWhitespace(String* text);
    // Reads up to and including the first stop outside double quotes.
    virtual int EatUntil(String* text, char stop, const char* display);
    // Reads the rest of an HTML comment, up to a > preceded by two dashes.
    virtual int EatHTMLComment(String* text);
    // Clears text and reads one run of text (ScanMore), or exactly one line break
    // (ScanMore, text begins with CR or LF); ScanStop when a < is next; ScanEnd at the
    // end of input, with whatever text was read.
    virtual int GetNextLine(String* text);
    // Reads every attribute of tag; ScanStop when the tag has ended.
    virtual int GetNameValuePairs(Tag* tag);
    virtual int GetNextNameValuePair(Tag* tag);
    // Reads the value of attribute name: ScanMore when more attributes may follow,
    // ScanStop when the tag has ended. *outside tells whether the value is outside
    // text (see Variable).
    virtual int GetValue(Tag* tag, const String& name, String* value, bool* outside);
    // Checks tag against its template: adds defaults of absent optional attributes,
    // fails on an absent required one. Returns 1 or 0.
    virtual int ValidateTag(Tag* templ, Tag* tag);

    virtual int ProcessKnownTag(Tag* tag) = 0;
    virtual int ProcessUnknownTag(const String& text) = 0;
    virtual int ProcessText(const String& text) = 0;
    virtual int ProcessNewLine(const String& text) = 0;
    // While the main loop reads a known tag's attributes: where the tag began ("<"),
    // or -1 (skip mode, or inside a macro value); and the line there. Taking the
    // position clears it, so tags read while evaluating these attributes (a
    // function body) do not see it.
    long TakeTagStart() {
        long start = tagstart_;
        tagstart_ = -1;
        return start;
    }
    int tagstartline() const { return tagstartline_; }
    // The text phase: hands text runs and line breaks to their handlers up to the
    // next "<" (ScanStop) or the end of the input (ScanEnd). A handler result other
    // than 1 ends it early: the result is in *result and the return is ScanDone.
    virtual int TextPhase(int* result);
    // Called with a "<" next: a derived class may handle the whole tag from what it
    // remembers of an earlier pass (returning FindNextTag's code), or return -1 to
    // let it be read.
    virtual int ProcessCachedTag() { return -1; }
    // The value of an attribute written without one: its own name. Returns 1, or 0 to
    // fail the tag.
    virtual int ProcessEmptyValue(Tag* tag, const String& name, String* value);

    // Reports a scanner error as a syntax error of this file at the current line.
    // Returns whether processing may continue; the scanning step fails regardless.
    // Error reports are rare: [[gnu::cold]] keeps them and the messages built for
    // them out of the interpreter's hot paths.
    [[gnu::cold]] virtual int SyntaxError(const String& message);
    // Reports the end of the file inside tag's attributes; returns ScanFailure.
    [[gnu::cold]] int EndOfFileInTag(Tag* tag);

  private:
    // How a tag begins.
    enum TagStart {
        TagStartFailed,   // an error was reported
        TagStartEnd,      // the input ended after "<" and whitespace
        TagStartSkipped,  // a script comment or KpCOMMENT block, already skipped
        TagStartComment,  // an HTML comment, collected whole
        TagStartName,     // a tag name; its terminator is pushed back
        TagStartOutside,  // a name holding outside text: never a known tag
    };

    // Reads "<", whitespace and the tag name into raw and name, and handles script
    // comments and KpCOMMENT blocks itself.
    TagStart ReadTagStart(String* raw, String* name);
    // Reads the rest of a tag, up to its unquoted >, into raw.
    int SkipTagRest(String* raw);
    // Fills found with a parsed, validated copy of target.
    int ParseTarget(Tag* found, Tag* target);

    Kelp* engine_;    // not owned
    Buffer* source_;  // not owned
    TagTable tags_;   // owns elements
    int line_;
    long tagstart_;     // file position of the "<" of the known tag being read; -1 else
    int tagstartline_;  // and its line
};

#endif  // SCRIPT_PARSER_H_
