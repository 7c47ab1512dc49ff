// ToolKelp: the engine of the command-line tools. Files open through the real Unix
// file layer (with its locks, so the tools work beside a serving site); every path
// the owner names is allowed; what a script would print goes to standard output.

#ifndef TOOLS_TOOL_ENGINE_H_
#define TOOLS_TOOL_ENGINE_H_

#include "foundation/output.h"
#include "host/engine.h"
#include "host/unix_file_manager.h"

class ToolKelp : public HostKelp {
  public:
    ToolKelp() : files_(this), out_(8192) {
        settings_.datadirectory = "/";
        settings_.scriptdirectory = "/";
    }
    ~ToolKelp() override { out_.Flush(); }

    FileManager* filemanager() override { return &files_; }
    Output* output() override { return &out_; }
    int StartHeaders(int) override { return 1; }
    int EndHeaders() override { return 1; }

    // name as an absolute path (relative names from the working directory).
    static String Absolute(const String& name) {
        return name.matches('/', 0) ? name : FileManager::WorkingDirectory() + "/" + name;
    }

  private:
    UNIXFileManager files_;
    StandardOutput out_;
};

#endif  // TOOLS_TOOL_ENGINE_H_
