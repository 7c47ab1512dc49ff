// LoopState: the replay of a loop's body.

#include "script/loop_state.h"

void LoopState::MarkBody() {
    MacroExpander* source = parser_->macrosource();
    source->SavePosition(&body_);
    bodyposition_ = source->inmacro() ? -1 : source->CurrentFilePosition();
    bodyline_ = parser_->line();
}

int LoopState::ProcessTag(Tag* tag) {
    if (HandsToDispatch(tag)) return Dispatch(tag);
    int id = tag->id();
    if (id == stopid_) return StateClose;
    if (id != tag_->endid()) return ProcessOwnTag(tag);
    String message;
    // The test may call a function that exits, which closes this loop too.
    Watch watch(this);
    Pass pass = Next(&message);
    if (watch.gone()) return StateError;
    return AfterPass(pass, message);
}

int LoopState::AfterPass(Pass pass, const String& message) {
    switch (pass) {
        case Again:
            parser_->macrosource()->RestorePosition(body_);
            parser_->SetLine(bodyline_);
            return StateDone;
        case Finished:
            ended_ = true;
            return StateClose;
        case Failed:
            ended_ = true;
            return RuntimeError(tag_, message) ? StateClose : StateError;
        case Reported:
        default:
            ended_ = true;
            return StateError;
    }
}

int LoopState::ExitState() {
    Finish();
    if (ended_) return StateDone;
    return SkipRest() ? StateDone : StateError;
}
