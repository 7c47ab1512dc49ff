// LoopState: the replay of a loop's body.

#include "script/loop_state.h"

void LoopState::MarkBody() {
    parser_->macrosource()->SavePosition(&body_);
    bodyline_ = parser_->line();
}

int LoopState::ProcessTag(Tag* tag) {
    if (HandsToDispatch(tag)) return Dispatch(tag);
    int id = tag->id();
    if (id == stopid_) return StateClose;
    if (id != tag_->endid()) return ProcessOwnTag(tag);
    String message;
    switch (Next(&message)) {
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
