// TagCache: what the interpreter remembers of tags it has read, by file position,
// so that loops and function bodies do not read a tag's text again on every pass.

#ifndef SCRIPT_TAG_CACHE_H_
#define SCRIPT_TAG_CACHE_H_

#include <unordered_map>
#include <vector>

#include "foundation/file.h"
#include "foundation/string.h"
#include "script/macro_expander.h"
#include "script/variables.h"

class CompiledBody;
class Expression;
class Tag;
struct CachedText;

// How one attribute gets its value on a replay.
struct CachedAttribute {
    enum Kind {
        Evaluate,     // the expression is evaluated again
        Literal,      // the value is fixed (expression text, raw text, a bare name)
        Position,     // the value is empty and the tag remembers a script position
        TagPosition,  // no attribute: only the tag remembers a script position
    };
    String name;
    ScopedName scopedname;  // name resolved as a variable name (for KpLET and the like)
    Kind kind = Literal;
    Expression* expression = nullptr;  // owned, for Evaluate
    String literal;
    long position = -1;    // for Position
    int positionline = 0;  // its line, counted from the tag's start
    int line = 0;          // lines after the tag's start where the value was read
};

// A known tag whose text held no "&" (so no macro can change it): its template, its
// attributes in order, and where its text ends.
struct CachedTag {
    CachedTag() = default;
    ~CachedTag();
    CachedTag(const CachedTag&) = delete;
    CachedTag& operator=(const CachedTag&) = delete;

    Tag* templ = nullptr;  // not owned: the table's template; null for markup
    // Markup that is no tag of ours (an HTML tag, a comment) whose text held no "&":
    // its text, written as it stands on every pass.
    String markup;
    // Tags with these attributes (and the template's defaults) that replays fill in
    // again, one per depth of replays in progress (a function body may replay the
    // same tag recursively). A tag is complete once a replay has filled it.
    struct Prepared {
        Tag* tag;  // owned
        bool complete;
    };
    std::vector<Prepared> prepared;
    int inuse = 0;  // replays in progress
    std::vector<CachedAttribute> attributes;
    long end = 0;             // file position after the tag's ">"
    int lines = 0;            // line feeds inside the tag
    bool assignment = false;  // a KpLET with its one attribute
    // A value calls functions: they are looked up again by each interpreter that
    // replays the tag (see ScriptParser::Bound), the last one being boundby.
    bool calls = false;
    unsigned long boundby = 0;
    CachedText* nextrun = nullptr;  // not owned: the run found at end, once known
    // Where the scan went on the last time the tag moved it (a loop's closing tag
    // goes back to the body, a false condition skips a block), and the run found
    // there; not owned.
    long jumpedto = -1;
    CachedText* jumprun = nullptr;
};

// The text between two tags: its events (text runs and line breaks) as the text
// phase delivered them, and where it ends.
struct CachedTextEvent {
    bool newline;
    String text;
    int line;  // lines after the run's start when delivered
    long end;  // file position after the event
};

// A piece of a run that holds macro references: the page's own text, or a reference
// whose value is looked up again on every pass.
struct CachedTextPiece {
    String text;
    bool reference = false;
    MacroReference macro;
};

struct CachedText {
    std::vector<CachedTextEvent> events;
    // A run with references has pieces instead (its events and joined are empty).
    std::vector<CachedTextPiece> pieces;
    long end = 0;
    int lines = 0;
    int code = 0;  // how the run ended: a tag next, or the end of the input
    // What the run writes when every event is written as it stands (no compression),
    // and the whitespace flag it leaves behind (-1: left as it was).
    String joined;
    int endwhitespace = -1;
    CachedTag* nexttag = nullptr;  // not owned: the tag found at end, once known
};

// What one interpreter remembers of one file. Everything in it comes from the file's
// text alone (pointers into it go to the process's shared templates and skip targets,
// never to an interpreter's or a request's state), so that a process serving many
// requests may keep it with the text for the next run of the same text (see
// ScriptScan); the functions its expressions call are looked up again by each
// interpreter (see ScriptParser::Bound).
class TagCache : public ScriptScan {
  public:
    TagCache() = default;
    ~TagCache() override;
    TagCache(const TagCache&) = delete;
    TagCache& operator=(const TagCache&) = delete;

    // How many entries have been made: a compiled body made from fewer may cover
    // more when made again.
    long entries() const { return entries_; }
    // Counted as entries are made: the entries' sizes, roughly.
    size_t footprint() const override { return bytes_; }
    // Before it is kept for another interpreter: drops the compiled bodies (made for
    // this one's functions and handlers; the next makes its own).
    void Release();

    // The tag that starts at position, or null.
    CachedTag* Find(long position) const;
    // Takes ownership of tag. Entries are never replaced: a second one for a
    // position is dropped.
    void Insert(long position, CachedTag* tag);

    CachedText* FindRun(long position) const;
    // Takes ownership of run.
    void InsertRun(long position, CachedText* run);
    // Whether text at position was read before (and notes that it now was): a run is
    // remembered only when it is read again, so straight pages cost no memory.
    bool SeenBefore(long position);

    // A skip over a block: from a position, with a target table, to the end of the
    // target found (one without attributes).
    struct CachedSkip {
        const void* table;  // the target table
        Tag* target;        // not owned: its entry
        long end;
        int lines;
    };
    const CachedSkip* FindSkip(long position, const void* table) const;
    void InsertSkip(long position, const CachedSkip& skip);

    // An expression read at position (a loop condition), with the lines it spans.
    struct CachedExpression {
        Expression* expression;  // owned
        int lines;
        unsigned long boundby;  // the interpreter its calls were looked up for
    };
    CachedExpression* FindExpression(long position);
    // Takes ownership of expression, whose calls were looked up for boundby.
    void InsertExpression(long position, Expression* expression, int lines, unsigned long boundby);

    // The compiled body that starts at position (owned by the cache), or a null
    // slot to fill.
    CompiledBody*& CompiledSlot(long position) { return compiled_[position]; }
    // Keeps a body that was replaced until the cache goes: whoever holds it may
    // still finish a pass with it.
    void Retire(CompiledBody* body) { retired_.push_back(body); }

  private:
    std::unordered_map<long, CompiledBody*> compiled_;  // owns the values
    std::vector<CompiledBody*> retired_;                // owned
    long entries_ = 0;
    size_t bytes_ = 0;
    std::unordered_map<long, CachedTag*> tags_;               // owns the values
    std::unordered_map<long, CachedExpression> expressions_;  // owns the expressions
    std::unordered_map<long, CachedText*> runs_;              // owns the values
    std::unordered_map<long, bool> seen_;
    std::unordered_multimap<long, CachedSkip> skips_;
};

#endif  // SCRIPT_TAG_CACHE_H_
