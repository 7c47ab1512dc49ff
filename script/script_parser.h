// ScriptParser: the interpreter of one script file, and ScriptState, the base of
// every block state on its state stack. Text goes to the current output under the
// standard output level; every known tag is offered to the states, top first.

#ifndef SCRIPT_SCRIPT_PARSER_H_
#define SCRIPT_SCRIPT_PARSER_H_

#include <utility>
#include <vector>

#include "foundation/recycler.h"
#include "foundation/stack.h"
#include "foundation/string.h"
#include "script/builtins.h"
#include "script/compiled_body.h"
#include "script/error.h"
#include "script/expression.h"
#include "script/function.h"
#include "script/macro_expander.h"
#include "script/parser.h"
#include "script/tag_ids.h"
#include "script/tag_table.h"

class MacroExpander;
class Output;
class ScriptContext;
class ScriptParser;
struct Settings;
class TagCache;
class CompiledBody;
struct CompiledStep;
struct CachedAttribute;
struct CachedTag;
struct CachedText;

// Results of ScriptState::ProcessTag and ProcessText.
enum StateResult {
    StateError = 0,  // stop the script
    StateHandled = 1,
    StateClose = 2,  // this tag or text closes the answering state
    StateDone = 3,   // handled
    StatePass = 4,   // not mine: offer it to the state below
};

// Standard output level bits.
enum OutputLevel {
    OutputKelp = 1,
    OutputHtml = 2,
    OutputText = 4,
    OutputCompressWhitespace = 8,
};

// Interpret flags.
enum InterpretFlag { InterpretMacros = 1, InterpretTags = 2 };

// A block state. The base state (no tag) dispatches every tag to its handler; block
// states catch their own closing and stop tags and fall back to that dispatch.
// ExitState() runs exactly once when a state leaves the stack through its closing
// tag or an exit; it finishes the block's work (skipping the rest of a block, ...).
class ScriptState {
  public:
    // tag: copied (without attributes); null for the base state.
    ScriptState(ScriptParser* parser, const Tag* tag);
    virtual ~ScriptState();
    ScriptState(const ScriptState&) = delete;
    ScriptState& operator=(const ScriptState&) = delete;
    // A state is made and dropped for every block and call.
    static void* operator new(size_t size) { return Recycler::Take(size); }
    static void operator delete(void* p, size_t size) { Recycler::Give(p, size); }

    virtual int ProcessTag(Tag* tag);
    // Whether ProcessTag(tag) would do nothing but hand the tag to the base
    // dispatch (the tag is none of the state's own), so that the interpreter may
    // dispatch it directly. A state that overrides ProcessTag() answers for it.
    virtual bool HandsToDispatch(const Tag* tag) const;
    virtual int ProcessText(const String& text, int level);
    virtual int ExitState() { return StateDone; }
    // Whether text reaching this state is written as ProcessText() above writes it.
    bool WritesText() const { return writestext_; }

    // Reports a runtime error of tag. When the script may go on, the message is kept
    // in the variable TAG_Error and the result is 1; otherwise 0.
    [[gnu::cold]] int RuntimeError(Tag* tag, const String& message);
    // Text from outside the page never names a module, a variable or a list of
    // variables: when tag's attribute holds it, raises a runtime error of the tag
    // (named says what the attribute names: "a module", "variables") and returns
    // false with *result the tag's result; true when the attribute is missing or the
    // page's own.
    bool OwnName(Tag* tag, const char* attribute, const char* named, int* result);
    // Assigns a variable for tag; a refused value is a runtime error of the tag.
    // outside: whether the value is outside text (see Variable).
    int Assign(Tag* tag, const String& name, const String& value, bool outside);
    // Assigns the attribute's value to the variable the attribute names.
    int Assign(Tag* tag, NameValuePair* attribute);

    ScriptParser* parser() const { return parser_; }
    Tag* tag() const { return tag_; }
    // The line the state's tag stood on.
    int line() const { return line_; }

    // The base dispatch by tag id.
    int Dispatch(Tag* tag);

    // Tells whether a state was destroyed while something ran on its behalf (an exit
    // in a function called from an expression closes every block): after that the
    // state must not be touched.
    class Watch {
      public:
        explicit Watch(ScriptState* state) : state_(state), outer_(state->closed_) {
            state->closed_ = &gone_;
        }
        ~Watch() {
            if (!gone_) {
                state_->closed_ = outer_;
            } else if (outer_ != nullptr) {
                *outer_ = true;
            }
        }
        Watch(const Watch&) = delete;
        Watch& operator=(const Watch&) = delete;
        bool gone() const { return gone_; }

      private:
        ScriptState* state_;
        bool* outer_;
        bool gone_ = false;
    };

  protected:
    friend class ScriptParser;

    ScriptParser* parser_;  // not owned
    Tag copy_;              // the tag copied (empty for the base state)
    Tag* tag_;              // &copy_, or null for the base state
    // WritesText(): a state that overrides ProcessText() sets it false.
    bool writestext_ = true;
    int line_;

  private:
    // Set to true when the state is destroyed (it leaves the stack only to be
    // destroyed): RunUntilClosed() watches its state through it. Not owned.
    bool* closed_ = nullptr;
};

// A tag handler: called by the base dispatch with the state that received the tag.
// Returns a StateResult.

class ScriptParser : public Parser, public ExpressionContext {
  public:
    // engine, source: not owned. output: not owned, the stream text goes to.
    ScriptParser(Kelp* engine, MacroExpander* source, Output* output);
    // A parser for a script run from another: starts from a copy of other's error
    // settings.
    ScriptParser(Kelp* engine, MacroExpander* source, Output* output, const ScriptParser& other);
    ~ScriptParser() override;

    void SetupSupportedTags() override;
    Tag* FindTemplate(const char* name) override;
    // How many tag names the interpreter knows.
    static int SupportedTagCount();
    // The name a tag id is written with (the first, for ids with several names).
    static const char* TagName(int id);
    // Runs the whole script; an exit tag is an orderly end, wherever it was met.
    int Parse() override;
    // Registers the handler of a tag id (hosts add those of the data, network and
    // other tags). Unregistered tags answer with a "not available" runtime error.
    void SetHandler(int id, TagHandler routine);

    // The state stack.
    void AddState(ScriptState* state) { states_.Push(state); }
    ScriptState* basestate() { return base_; }
    // Runs the scan until the given state has left the stack (or the scan ends).
    // Returns 0 after a failure, ScanStop after an exit, ScanEnd at the end of input,
    // 1 when the state was closed.
    int RunUntilClosed(ScriptState* state);
    // Pops and destroys the states above state (not state itself) without running
    // their exit steps.
    void DiscardStatesAbove(ScriptState* state);
    bool OnStack(ScriptState* state);
    // Set once an exit tag (or a function body running into the end of the file)
    // ended the script: what is still running winds down without further errors.
    bool exited() const { return exited_; }
    void SetExited() { exited_ = true; }
    // Skips a block whose handler is not available, up to its closing tag. Returns 1,
    // or 0 after reporting the end of the file.
    int SkipBlock(Tag* tag);

    // Output.
    Output* output() const { return output_; }
    Output* SwitchOutput(Output* output);
    // Writes a tag's value (EVAL, KpEVAL) whatever the output level, and sets the
    // output's whitespace flag from its last character.
    void WriteValue(const String& value);

    // Settings of the KELP and BRINDLE tags.
    int interpret() const { return interpret_; }
    void SetInterpret(int flags);
    void SetTagDetect(bool on);
    void SetExpandMacros(bool on);
    bool ExpandMacros() const { return (interpret_ & InterpretMacros) != 0; }
    int standardoutputlevel() const { return standardoutputlevel_; }
    int SetStandardOutputLevel(int bits);
    static int StandardOutputLevelValue(const String& list);
    static unsigned ErrorOutputLevelValue(const String& list);
    ErrorHandler& errorhandler() { return errorhandler_; }
    // The script language's part of the request, and the request's settings.
    ScriptContext* scriptcontext() const { return scriptcontext_; }
    const Settings& settings() const { return *settings_; }
    // Applies "fatal,nonfatal,display,nodisplay" to the runtime errors of a tag.
    void SetTagErrorSettings(const String& tagname, const String& list);

    // Empties the variable TAG_Error before a tag runs.
    void ClearErrorVariable(Tag* tag);
    // The resolved name of TAG_Error for the tag's name; null for ids without one.
    // The names are the process's: made once per id and spelling, when a tag of that
    // id is first met (a request meets few of the ids), and never dropped.
    static const ScopedName* ErrorVariableName(const Tag* tag);
    struct ErrorVariable {
        String tagname;
        ScopedName name;
    };

    // Errors. Each returns whether processing may continue.
    [[gnu::cold]] int SyntaxError(const String& message) override;
    [[gnu::cold]] int ReportExpressionError(const String& message);
    [[gnu::cold]] int RuntimeError(Tag* tag, const String& message);
    // Raises the time-out error; returns 0.
    [[gnu::cold]] int Timeout();

    // Expressions read from the script text at the current position.
    Expression* ReadExpression(const ExpressionSyntax& syntax, ExpressionEnd* end);
    // The expression of a tag attribute that starts at position (a loop condition),
    // read from there without moving the reading position; the line is left where
    // the expression ends, for messages. Text without "&" is read once and kept
    // (*owned false); otherwise the caller deletes the result (*owned true). Null
    // after a reported error.
    Expression* ReadExpressionAt(long position, int line, bool* owned);
    // Evaluates expression text; 1 with *result, or 0 (reported). *outside (when
    // given) tells whether the result is outside text.
    int Evaluate(const String& text, String* result, bool* outside = nullptr);

    // ExpressionContext.
    Variables* variables() final;
    Function* FindFunction(const String& name) override;
    Function* FindDeclaredFunction(const String& name) override {
        return FindKnownFunction(name.chars());
    }
    // The built-in function of that name when it is pure (see Builtin) and no
    // function of the page has taken its name; otherwise null.
    Function* FindPureBuiltin(const String& name);
    int CallFunction(Function* f, VariableTree* arguments, String* result) override;
    // Runs a user function's body with its arguments as the local scope.
    int CallUserFunction(Function* f, VariableTree* arguments, String* result);
    [[gnu::cold]] void ExpressionError(const String& message) override {
        ReportExpressionError(message);
    }
    [[gnu::cold]] void UndefinedVariable(const String& name) override;

    // User functions.
    FunctionTable& functions() { return functions_; }
    // Adds a table of built-in functions (not owned; it outlives the parser). A
    // built-in enters the function table when it is first looked up, so that a
    // request pays only for the functions it uses.
    void AddBuiltins(const Builtin* table, int count);
    // The built-in function of that name (any case), or null.
    const Builtin* FindBuiltin(const char* name) const;
    int BuiltinCount() const;
    // What a call of a user function changes and gives back when it ends: where the
    // scanner and the line were, the caller's output levels, and the argument scope
    // on the function scopes. A compiled body runs in its frame alone; the
    // interpreter gets a state for the call when the body hands the rest to it.
    struct CallFrame {
        MacroExpander::Position caller;
        int callerline = 0;
        bool setlevel = false;
        bool seterrorlevel = false;
        int callerlevel = 0;
        unsigned callererrorlevel = 0;
        size_t base = 0;               // the compiled bodies' open blocks at the call
        ScriptState* state = nullptr;  // the call's state, once it has one
        ScriptState* below = nullptr;  // the state on top when the call began
        bool left = false;             // LeaveCall() ran
        CallFrame* outer = nullptr;
    };
    // Starts a call: saves what LeaveCall() gives back, sets the function's levels
    // and pushes its argument scope; seek: the scanner goes to the body's start.
    void EnterCall(CallFrame* frame, Function* f, VariableTree* arguments, bool seek);
    void LeaveCall(CallFrame* frame);
    // A compiled body whose blocks start at base hands over to the interpreter: the
    // call it is the body of gets its state now, below the blocks.
    void TakeOverCall(size_t base);
    // An exit closes every block in order, innermost first: before state closes, the
    // calls running without a state of their own on top of it end.
    void LeaveCallsAbove(ScriptState* state);
    // Increments the call depth; past the limit reports the error and returns 0.
    int PushFunctionCall();
    void PopFunctionCall() { depth_--; }
    int depth() const { return depth_; }
    // Searches forward for KpFUNCTION declarations until name is declared or the
    // file ends; the position and line are restored.
    void ScanForFunction(const String& name);
    String& functionreturnvalue() { return returnvalue_; }
    // Whether the value a function body returns is outside text.
    bool& functionreturnoutside() { return returnoutside_; }
    // Set deferred when the value returned is a whole number whose text is unwritten.
    NumberHint& functionreturnhint() { return returnhint_; }
    // Declares the function of a KpFUNCTION tag at the current position.
    int DeclareFunction(Tag* tag);

    // Skip mode (FindTag) with one of the tables below, remembering where it ended
    // when the skipped text held no "&" and the target found has no attributes.
    int SkipTo(Tag* found, TagTable* targets);

    // Skip tables for block tags.
    // The skip targets (shared by every interpreter of the process).
    TagTable& ifskip(bool legacy);
    TagTable& iffinish(bool legacy);
    TagTable& whileskip(bool legacy);
    TagTable& functionskip();

    // The compiled form of the loop or function body that starts at position, made
    // (again) when it is missing or a pass found it incomplete; null when the
    // interpreter runs the body itself. A body stays good as long as the parser.
    CompiledBody* CompiledAt(long position, CompiledKind kind);
    // Whether bodies are compiled at all, and expressions of numbers made flat (on
    // unless a test compares the two ways).
    static void SetCompiling(bool on) {
        compiling_ = on;
        Expression::SetFlat(on);
    }
    // Whether CompiledAt() would make body again.
    bool MayRemake(const CompiledBody* body) const { return CompiledBody::MayRemake(body, cache_); }
    // Writes a remembered run of text that starts at line start as the text phase
    // would; false after a reported error.
    bool DeliverRun(const CachedText* run, int start);
    // The same for a run with macro references: 1, 0 after a reported error, or -1
    // when this pass must read it from the file (a value that is the page's own text
    // holds markup, undefined names are warned of, or text is being recorded);
    // nothing is written then.
    int DeliverReferences(const CachedText* run, int start);

    MacroExpander* macrosource() const { return macrosource_; }
    TagHandler handler(int id) const {
        return (id >= 0 && id < TagIdCount) ? handlers_[id] : nullptr;
    }

  protected:
    int GetNameValuePairs(Tag* tag) override;
    int GetValue(Tag* tag, const String& name, String* value, bool* outside) override;
    int ProcessKnownTag(Tag* tag) override;
    int ProcessUnknownTag(const String& text) override;
    int ProcessText(const String& text) override;
    int ProcessNewLine(const String& text) override;
    int ProcessEmptyValue(Tag* tag, const String& name, String* value) override;
    int ProcessCachedTag() override;
    // Markup that is no tag of ours, as the scan found it: remembered for the next
    // pass (see markupat_), and written. 1, or what ended the script.
    void RecordMarkup(const String& text);
    int WriteMarkup(const String& text);
    int ReplayMarkup(CachedTag* c, int start);
    int TextPhase(int* result) override;

  private:
    ScriptContext* scriptcontext_;  // the engine's
    const Settings* settings_;      // the engine's
    void Init();
    // Fills tag (a fresh copy of the template, or the cached tag's prepared tag whose
    // attributes are already in place) from a cached tag and runs it.
    int ReplayTag(CachedTag* c, int start, Tag* tag, bool prepared);
    // Replays a cached tag that starts at the reading position (which need not be
    // there yet): the scan goes on after it.
    int ReplayCachedTag(CachedTag* c);
    // Whether a cached tag may be replayed here: the functions its values call are
    // the ones reading it here would find. A tag kept from an earlier run of the file
    // (a process serving many requests keeps the cache) has them looked up again, in
    // reading order, once per interpreter; false when one is not declared yet or
    // takes another number of parameters: the tag is then read from the file, which
    // looks ahead for the declaration and reports what reading it reports.
    bool Bound(CachedTag* c);
    bool BindCalls(CachedTag* c);
    // Whether a remembered run goes out in one piece (its joined text) now; then
    // WriteWhole() writes it. DeliverEvents() hands its events one by one to the
    // states; false after an error, with *failedat after the event that failed.
    bool DeliversWhole();
    void WriteWhole(const CachedText* run, int start);
    bool DeliverEvents(const CachedText* run, int start, long* failedat);
    // Notes a text event of the run being recorded.
    void RecordText(bool newline, const String& text);
    // The cached run of text at position, or null (remembered beside the last tag).
    CachedText* RunAt(long position);
    // Reads the text at position (line start) as the scan does, and keeps it as a
    // cached run when nothing in it can read differently next time.
    int RecordRun(long position, int start, int* result);
    // Makes run (read from position to the reading position, at line start) a run
    // of pieces; false when it holds what the pieces do not cover.
    bool RecordReferences(CachedText* run, long position, int start);
    // The code ProcessKnownTag gives for a state's answer: 0 after an error, 3 once
    // the script has exited, else 1.
    int Settled(int result) const;
    // ProcessKnownTag for a replayed KpLET with its one attribute.
    int ProcessAssignment(Tag* tag);
    // Reads a tag's attributes (GetNameValuePairs without the recording).
    int ReadAttributes(Tag* tag);
    // While a tag is read for the cache: notes how an attribute got its value.
    // Takes ownership of expression.
    void Record(const String& name, int kind, Expression* expression, const String& literal,
                long position = -1, int positionline = 0);
    // The tag being read cannot be replayed from the cache.
    void DoNotRecord();
    // Reads the raw rest of a tag (up to its unquoted ">", which is dropped).
    int ReadRawRest(String* text);
    // Pops and destroys states from the top down to (and including) last, running
    // each one's exit step. Returns 0 when an exit step failed.
    int CloseStates(ScriptState* last);
    // The state below state on the stack, or null.
    ScriptState* Below(ScriptState* state);

    Output* output_;              // not owned
    MacroExpander* macrosource_;  // not owned
    Stack<ScriptState> states_;   // owns elements
    ScriptState* base_;           // owned through states_
    ErrorHandler errorhandler_;
    // A declared function, or a built-in entered on first use; null when unknown.
    Function* FindKnownFunction(const char* name);

    FunctionTable functions_;  // owns elements
    std::vector<std::pair<const Builtin*, int>> builtins_;
    TagHandler handlers_[TagIdCount];
    int interpret_;
    int standardoutputlevel_;
    int depth_;
    bool exited_;
    String returnvalue_;
    bool returnoutside_ = false;
    NumberHint returnhint_;
    TagCache* cache_;            // owned
    CachedText* textrecording_;  // owned while a text run is being recorded
    int textline_;               // the line where it starts
    CachedTag* recording_;       // owned while a tag is being read for the cache
    // The run and the tag replayed last (not owned), to find what follows them
    // without a look-up; each is good only at its own end position.
    CachedText* lastrun_;
    CachedTag* lasttag_;
    int recordline_;  // the line where the recorded tag starts
    // Where a tag the cache did not hold starts (-1: inside a macro), its line, and
    // the "&" read before it: markup read from there is remembered when read again.
    long markupat_ = -1;
    int markupline_ = 0;
    long markupampersands_ = 0;
    // Whether the text before the tag being read was read before (a loop's or a
    // function's second pass): markup found there is worth remembering.
    bool rereading_ = false;
    // How many states have been destroyed (left the stack): a replayed tag after
    // which the count is the same closed no block.
    long closedstates_ = 0;
    // The KpIF blocks a compiled pass is inside, innermost last (see CompiledBody).
    std::vector<const CompiledStep*> openifs_;
    CallFrame* callframe_ = nullptr;  // the innermost call's; not owned
    static bool compiling_;
    // A number no other interpreter of the process has: what the tag cache's
    // expressions were bound for (see Bound()).
    unsigned long serial_;
    static unsigned long serials_;

    friend class ScriptState;
    friend class CompiledBody;
};

#endif  // SCRIPT_SCRIPT_PARSER_H_
