// The flat-file tags: KpIMPORT ... /KpIMPORT (with KpIMPORTSTOP) and the legacy
// IMPORT ... /IMPORT (ended early by IMPORT STOP) run their block once per accepted
// record of a delimited file; KpEXPORT and EXPORT append one record.

#include "data/flat_file_tags.h"

#include "data/flat_file.h"
#include "script/engine.h"
#include "script/loop_state.h"
#include "script/macro_expander.h"
#include "script/script_parser.h"
#include "script/tag_rules.h"
#include "script/tag_table.h"

namespace {

// The file a tag names, resolved inside the data directory; false after the runtime
// error (*result holds the tag's result then).
bool ResolveFile(ScriptState* state, Tag* tag, String* path, String* name, int* result) {
    *name = tag->Value("FILE").trimmed();
    String error;
    if (!state->parser()->engine()->ResolvePath(*name, DataPath, path, &error)) {
        *result = state->RuntimeError(tag, error);
        return false;
    }
    return true;
}

// No IMPORT with DATA inside another.
bool CheckNotNestedImport(ScriptParser* parser, bool insideimport) {
    return !insideimport ||
           TagRuleBroken(parser, "&lt;IMPORT&gt; may not be nested -- use &lt;KpIMPORT&gt;");
}

bool CheckIMPORT(ScriptParser* parser, Tag* tag, const TagPlace& place) {
    return tag->Find("DATA") == nullptr || CheckNotNestedImport(parser, place.Inside(TagIMPORT));
}

// The legacy tags need ORDER (the variables); the others have FIELDS.
bool HasFields(ScriptParser* parser, Tag* tag, const char* attribute) {
    return CheckRequired(parser, tag, attribute);
}

// A legacy IMPORT ends at an IMPORT STOP (and may not hold another with DATA);
// KpIMPORT at a KpIMPORTSTOP.
class IMPORTState : public LoopState {
  public:
    IMPORTState(ScriptParser* parser, Tag* tag)
        : LoopState(parser, tag, tag->id() == TagIMPORT ? -1 : TagKpIMPORTSTOP,
                    tag->id() == TagIMPORT ? TagIMPORT : -1),
          file_(parser) {}

    FlatFile* file() { return &file_; }

    // Reads the first record: a FlatFileResult.
    int Start() {
        if (!file_.StartImport()) return FlatFileFailed;
        int r = file_.ImportNextRecord();
        if (r == FlatFileRecord) MarkBody();
        return r;
    }

  protected:
    Pass Next(String* message) override {
        int r = file_.ImportNextRecord();
        if (r == FlatFileRecord) return Again;
        file_.EndImport();
        if (r != FlatFileFailed) return Finished;
        if (file_.error().empty()) return Reported;
        *message = file_.error();
        return Failed;
    }

    int ProcessOwnTag(Tag* tag) override {
        if (tag->Find("STOP") != nullptr) return StateClose;
        if (tag->Find("DATA") != nullptr) {
            CheckNotNestedImport(parser_, true);
            return StateError;
        }
        return Dispatch(tag);
    }

    void Finish() override { file_.EndImport(); }

  private:
    FlatFile file_;
};

int ProcessKpIMPORT(ScriptState* state, Tag* tag) {
    ScriptParser* parser = state->parser();
    bool legacy = tag->id() == TagIMPORT;
    if (!HasFields(parser, tag, legacy ? "ORDER" : "FIELDS")) return StateError;
    String path, name;
    int result;
    if (!state->OwnName(tag, legacy ? "ORDER" : "FIELDS", "variables", &result) ||
        !ResolveFile(state, tag, &path, &name, &result)) {
        return result ? (parser->SkipBlock(tag) ? StateDone : StateError) : StateError;
    }
    IMPORTState* s = new IMPORTState(parser, tag);
    FlatFile* f = s->file();
    f->SetImportFile(path, name);
    f->SetImportOrder(tag->Value(legacy ? "ORDER" : "FIELDS"));
    if (tag->Find("DELIMITER") != nullptr) f->SetImportDelimiter(tag->Value("DELIMITER"));
    if (tag->Find(legacy ? "WHERE" : "FILTER") != nullptr) {
        f->SetWHEREExpressionOffset(tag->position(), tag->positionline());
    }
    int r = s->Start();
    if (r == FlatFileRecord) {
        parser->AddState(s);
        return StateDone;
    }
    String message = f->error();
    delete s;
    if (r == FlatFileFailed) {
        if (message.empty()) return StateError;
        if (!state->RuntimeError(tag, message)) return StateError;
    }
    return parser->SkipBlock(tag) ? StateDone : StateError;
}

int ProcessKpEXPORT(ScriptState* state, Tag* tag) {
    ScriptParser* parser = state->parser();
    bool legacy = tag->id() == TagEXPORT;
    if (!HasFields(parser, tag, legacy ? "ORDER" : "FIELDS")) return StateError;
    String path, name;
    int result;
    if (!state->OwnName(tag, legacy ? "ORDER" : "FIELDS", "variables", &result)) return result;
    if (!ResolveFile(state, tag, &path, &name, &result)) return result;
    FlatFile f(parser);
    f.SetExportFile(path, name);
    f.SetExportOrder(tag->Value(legacy ? "ORDER" : "FIELDS"));
    if (tag->Find("DELIMITER") != nullptr) f.SetExportDelimiter(tag->Value("DELIMITER"));
    return f.ExportRecord() ? StateDone : state->RuntimeError(tag, f.error());
}

}  // namespace

namespace {

const AttributeRule kIMPORTRules[] = {
    {"ORDER", AttributeVerbatim}, {"WHERE", AttributeReread}, {nullptr, AttributeEvaluated}};
const AttributeRule kEXPORTRules[] = {{"ORDER", AttributeVerbatim}, {nullptr, AttributeEvaluated}};
const AttributeRule kKpIMPORTRules[] = {{"FILTER", AttributeReread}, {nullptr, AttributeEvaluated}};
const TagSpec kFlatFileTags[] = {
    // IMPORT STOP ends the block it stands in.
    {"IMPORT", TagIMPORT, TagEndIMPORT, "", kNonFatal | kUnrecorded | kStopPassedDown,
     ProcessKpIMPORT, CheckIMPORT, kIMPORTRules},
    {"/IMPORT", TagEndIMPORT, 0, "", 0, nullptr, nullptr, nullptr},
    {"EXPORT", TagEXPORT, 0, "", kNonFatal | kUnrecorded, ProcessKpEXPORT, nullptr, kEXPORTRules},
    {"KpIMPORT", TagKpIMPORT, TagEndKpIMPORT, "FILE*,FIELDS*,DELIMITER*", kNonFatal,
     ProcessKpIMPORT, nullptr, kKpIMPORTRules},
    {"KpIMPORTSTOP", TagKpIMPORTSTOP, 0, "", kPassedDown, nullptr, nullptr, nullptr},
    {"/KpIMPORT", TagEndKpIMPORT, 0, "", 0, nullptr, nullptr, nullptr},
    {"KpEXPORT", TagKpEXPORT, 0, "FILE*,FIELDS*,DELIMITER*", kNonFatal, ProcessKpEXPORT, nullptr,
     nullptr},
};

}  // namespace

void DeclareFlatFileTags() {
    DeclareTags(kFlatFileTags);
}
