// LoopState: a block whose body runs again and again (KpWHILE, KpIMPORT, KpCALL,
// KpPOP, KpCOMMERCE). It keeps where the body begins, runs it again from there at the
// block's end tag while the loop has another pass, ends at its stop tag, turns a
// failed pass into a runtime error of the block's tag, and skips the rest of the
// body when the loop is left early. A loop supplies its passes.

#ifndef SCRIPT_LOOP_STATE_H_
#define SCRIPT_LOOP_STATE_H_

#include "script/macro_expander.h"
#include "script/script_parser.h"

class LoopState : public ScriptState {
  public:
    // stopid: the tag that ends the loop early (-1: none); ownid: a tag inside the
    // block the loop itself carries out (ProcessOwnTag(); -1: none).
    LoopState(ScriptParser* parser, Tag* tag, int stopid, int ownid = -1)
        : ScriptState(parser, tag), stopid_(stopid), ownid_(ownid) {}

    bool HandsToDispatch(const Tag* tag) const override {
        int id = tag->id();
        return id != tag_->endid() && id != stopid_ && id != ownid_;
    }
    int ProcessTag(Tag* tag) override;
    int ExitState() override;

  protected:
    // Failed: *message is the runtime error of the block's tag; Reported: the failure
    // was reported where it happened.
    enum Pass { Again, Finished, Failed, Reported };
    // The body begins where the interpreter stands now.
    void MarkBody();
    // What the end tag does after a pass: another pass from the body's start
    // (Again), or the loop's end.
    int AfterPass(Pass pass, const String& message);
    // Where the body starts in the file (-1 inside a macro's text), and its line.
    long bodyposition() const { return bodyposition_; }
    int bodyline() const { return bodyline_; }
    // Whether there is another pass.
    virtual Pass Next(String* message) = 0;
    // The tag ownid given to the constructor.
    virtual int ProcessOwnTag(Tag* tag) { return Dispatch(tag); }
    // Lets go of what the loop holds (a connection, a file); the loop has ended or is
    // left. May be called more than once.
    virtual void Finish() {}
    // Skips the rest of the body of a loop left early; false on failure.
    virtual bool SkipRest() { return parser_->SkipBlock(tag_) != 0; }

  private:
    int stopid_;
    int ownid_;
    bool ended_ = false;  // the loop ran out: nothing of the body is left to skip
    MacroExpander::Position body_;
    long bodyposition_ = -1;
    int bodyline_ = 0;
};

#endif  // SCRIPT_LOOP_STATE_H_
