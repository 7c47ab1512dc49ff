// Runs one page through the interpreter the way the CGI program does: the header
// block ("Status:" line only for a status other than 200, the content type, a blank
// line), then the page, on standard output. The page is named relative to the
// working directory, which is the name its messages show.

#include <stdio.h>

#include "foundation/output.h"
#include "host/engine.h"
#include "host/module.h"
#include "host/unix_file_manager.h"
#include "script/script_parser.h"
#include "script/variables.h"

namespace {

class PageKelp : public Kelp {
public:
    PageKelp() : files_(this), out_(8192) {}
    FileManager* filemanager() override { return &files_; }
    Output* output() override { return &out_; }
    int StartHeaders(int status) override {
        if (status != 200) {
            String line("Status: ");
            line.catint(status);
            line += " " + HTTPResultMessage(status) + "\r\n";
            out_.Write(line);
        }
        out_.Write("Content-type: text/html\r\n");
        return 1;
    }
    int EndHeaders() override {
        out_.Write("\r\n");
        return 1;
    }

private:
    UNIXFileManager files_;
    StandardOutput out_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: page_runner PAGE.kp\n");
        return 2;
    }
    PageKelp engine;
    engine.vars()->AddDynamicVariables();
    String error;
    Module* module = engine.FindModule(argv[1], &error);
    if (module == nullptr) {
        engine.Error(ScriptNotFoundError(error));
        return 0;
    }
    engine.StartHeaders(200);
    engine.EndHeaders();
    engine.SetHeadersSent(1);
    engine.SetCurrentModule(module);
    module->scriptparser()->Parse();
    return 1;
}
