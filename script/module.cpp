// Module.

#include "script/module.h"

#include "foundation/file.h"
#include "script/encoding.h"
#include "script/engine.h"
#include "script/macro_expander.h"
#include "script/script_parser.h"

Module::Module(Kelp* engine, Module* parent)
    : engine_(engine), parent_(parent), source_(nullptr), parser_(nullptr) {}

Module::~Module() {
    delete parser_;
    delete source_;
}

bool Module::Open(const String& filepath, const String& displayname, String* error, long length) {
    delete parser_;
    delete source_;
    parser_ = nullptr;
    // (Room for the whole file and one byte, which finds its end: should the file have
    // grown meanwhile, the rest is read in blocks of that size, 1 KB at least.)
    int size = engine_->settings().templatebuffersize;
    long fit = length + 1 < 1024 ? 1024 : length + 1;
    if (length >= 0 && fit < size) size = static_cast<int>(fit);
    source_ = new MacroExpander(engine_, size);
    if (!source_->Open(filepath, displayname)) {
        engine_->Log(
            2, "FILEERROR",
            "filename=" + filepath + "&type=script&operation=opening&error=" + source_->error());
        *error = "Error opening '" + Entities(displayname) + "': " + source_->error();
        return false;
    }
    engine_->Log(2, "FILEOPENED", "filename=" + filepath + "&type=script");
    filepath_ = filepath;
    int slash = -1;
    for (int p = filepath.search("/", 0); p >= 0; p = filepath.search("/", p + 1)) slash = p;
    directory_ = slash >= 0 ? filepath.before(slash) : String();
    if (parent_ != nullptr && parent_->scriptparser() != nullptr) {
        ScriptParser* parent = parent_->scriptparser();
        parser_ = new ScriptParser(engine_, source_, parent->output(), *parent);
    } else {
        parser_ = new ScriptParser(engine_, source_, engine_->output());
    }
    return true;
}
