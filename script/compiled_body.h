// CompiledBody: the body of a loop or of a function made into a list of steps from
// the tags and text runs the interpreter remembers of it. A pass through the body
// then assigns, tests, writes and returns without reading attributes, walking the
// state stack or dispatching through the general tag path. Whatever the steps do not
// cover (a tag of another kind, text with a macro, a branch never taken so far) hands
// the rest of the pass back to the interpreter at that place, with the blocks open
// there on its state stack, so that every page runs exactly as it would without them.

#ifndef SCRIPT_COMPILED_BODY_H_
#define SCRIPT_COMPILED_BODY_H_

#include <deque>
#include <vector>

#include "foundation/string.h"
#include "script/number_hint.h"

class CompiledBody;
class ConcatProgram;
class NumberProgram;
class ScriptParser;
class Tag;
class TagCache;
struct CachedAttribute;
struct CachedTag;
struct CachedText;
struct ScopedName;

// What a body is: where it ends, and which tags it may return from.
enum CompiledKind {
    CompiledLoop,      // a KpWHILE body, up to its /KpWHILE
    CompiledFunction,  // a KpFUNCTION body, up to its /KpFUNCTION
    CompiledThen,      // a KpIF's true part, up to its KpELSE or /KpIF
    CompiledElse,      // a KpIF's else part, up to its /KpIF
};

// How a pass through a body ended.
enum CompiledOutcome {
    CompiledEnded,     // it ran to its closing tag
    CompiledReturned,  // a KpFUNCRETURN: the value is the interpreter's return value
    CompiledHanded,    // the interpreter goes on from where the pass stopped
    CompiledFailed,    // an error stopped the script (reported)
};

// One step of a body.
struct CompiledStep {
    enum Kind { Text, Markup, Assign, Eval, If, Return, Tag, Hand } kind;
    int line;         // lines from the body's start to the step
    CachedText* run;  // Text: not owned
    // Markup: what it writes (the tag's markup, or the markup of tags that follow one
    // another with no text between, joined), and the lines from the body's start to
    // its end.
    const String* markup;
    int after;
    // Tags with a value, KpFUNCRETURN and Tag: the text without references right
    // before the tag, written first (not owned; null for none), and where it starts.
    CachedText* before;
    int beforeline;
    CachedTag* tag;                    // tags and Markup: not owned
    const CachedAttribute* attribute;  // the value's attribute; null for none
    // Assign and If: the value's flat program of numbers, run straight by the step
    // (not owned: the expression's); null for none.
    const NumberProgram* numbers;
    // Assign: the value's flat program of joined text, the same way; null for none.
    const ConcatProgram* joins;
    const ScopedName* errorname;  // TAG_Error; null for none
    CompiledBody* then;           // If: owned; null when not remembered
    CompiledBody* otherwise;      // If: owned; null for none or not remembered
    bool haselse;                 // If: the skip of a false test found a KpELSE
    bool skipknown;               // If: where a false test skips to is known
    long position;                // where the tag or text starts, or where a Hand goes on
    bool missing;                 // Hand: the text there was not remembered
    // The value calls functions: the scanner stands after the tag while it is
    // computed, as when the interpreter replays the tag (a call returns there, and an
    // exit inside it closes the blocks from there).
    bool calls;
    // The step may run script of its own (a call, a block): what the text steps after
    // it know of the state on top and the output level is asked again.
    bool resets;
};

class CompiledBody {
  public:
    ~CompiledBody();
    CompiledBody(const CompiledBody&) = delete;
    CompiledBody& operator=(const CompiledBody&) = delete;

    // Makes the steps of the body that starts at position from what parser remembers.
    static CompiledBody* Compile(ScriptParser* parser, long position, CompiledKind kind);

    // One pass. baseline: the line where the body starts in this run of the file.
    CompiledOutcome Run(ScriptParser* parser, int baseline);

    // Whether a pass met a place not remembered when the body was made: made again,
    // the body may cover more.
    bool stale() const { return stale_; }
    // How many times the body has been made; one made often enough is kept as it is.
    int generation() const { return generation_; }
    void SetGeneration(int generation) { generation_ = generation; }
    static bool MayRemake(const CompiledBody* body, const TagCache* cache);
    // What the interpreter does before every tag: the time limit and an open run.
    // False after the time-out was reported.
    static bool BeforeTag(ScriptParser* parser, int id);

  private:
    CompiledBody() = default;

    // Reads steps from position (line: lines from the outermost body's start) until
    // the body's closing tag; false when a Hand step ends it.
    // depth: the KpIF blocks around it inside the outermost body.
    bool Read(ScriptParser* parser, long position, int line, CompiledKind kind, bool infunction,
              int depth);
    // Completes the If step at the end of steps_ and moves *position and *line to
    // after its /KpIF; false when where the block ends is not known yet.
    bool ReadIf(ScriptParser* parser, CachedTag* c, bool infunction, int depth, long* position,
                int* line);
    void AddHand(long position, int line, bool missing);
    // Takes the last step off when it is a Text step without references: its run, and
    // in *line where it starts. Null otherwise.
    CachedText* TakeRun(int* line);
    // A Text step (run) or a Markup step (markup) that starts at position.
    void AddWrite(CompiledStep::Kind kind, CachedText* run, CachedTag* markup, long position,
                  int line);

    CompiledOutcome RunSteps(ScriptParser* parser, int baseline, size_t base);
    // Writes a Text step's run without references, or moves the line past it when
    // the output leaves it out; *quiet: whether it does (-1: not known yet).
    [[gnu::always_inline]] static bool WriteRun(ScriptParser* parser, const CachedText* run,
                                                int line, int* quiet);
    CompiledOutcome RunIf(ScriptParser* parser, const CompiledStep& s, bool truth, int baseline,
                          size_t base);
    // Hands the pass to the interpreter at position: the blocks open there (those
    // above base on the parser's list) go on its stack.
    CompiledOutcome HandOver(ScriptParser* parser, int baseline, size_t base, long position,
                             int line);
    // What a step with a value does after it: the line, the time limit and the error
    // variable. Whether the pass goes on.
    [[gnu::always_inline]] static bool AfterValue(ScriptParser* parser, const CompiledStep& s,
                                                  int baseline);
    // The step's assignment of its value (hint: what it reads as a number, or null), or of
    // a whole number as its deferred hint has it; a refusal is a runtime error. Whether
    // the pass goes on.
    static bool Assign(ScriptParser* parser, const CompiledStep& s, const String& value,
                       const NumberHint* hint, bool outside);
    [[gnu::always_inline]] static bool AssignNumber(ScriptParser* parser, const CompiledStep& s,
                                                    double number, bool outside);
    // After an assignment that did it (done non-zero) or was refused.
    [[gnu::always_inline]] static bool Assigned(ScriptParser* parser, const CompiledStep& s,
                                                int done);
    [[gnu::always_inline]] static void ClearError(ScriptParser* parser, const CompiledStep& s);
    [[gnu::always_inline]] static bool Before(ScriptParser* parser, int id);

    std::vector<CompiledStep> steps_;
    std::deque<String> markups_;  // the joined markup of Markup steps
    // The closing tag (not owned), where it starts and ends, and the lines to there.
    const CachedTag* closing_ = nullptr;
    long closingstart_ = -1;
    int closingline_ = 0;
    long end_ = -1;
    int endline_ = 0;
    // The text without references right before the closing tag, written after the
    // last step (not owned; null for none), and the lines to where it starts.
    const CachedText* last_ = nullptr;
    int lastline_ = 0;
    // A part closed by KpELSE: whether the skip from there to its /KpIF is known.
    bool finishknown_ = false;
    bool stale_ = false;
    long madeat_ = 0;  // the cache's entries() when the body was made
    int generation_ = 0;
};

#endif  // SCRIPT_COMPILED_BODY_H_
