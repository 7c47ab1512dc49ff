// TestKelp: an engine for unit tests. Files open through the real Unix file layer;
// the page is collected in memory, after a "Status: N" header block.

#ifndef TESTS_SUPPORT_TEST_ENGINE_H_
#define TESTS_SUPPORT_TEST_ENGINE_H_

#include "foundation/output.h"
#include "foundation/string.h"
#include "host/engine.h"
#include "host/unix_file_manager.h"
#include "script/settings.h"

class TestKelp : public HostKelp {
  public:
    TestKelp() : files_(this), out_(8192), status_(0) {}

    FileManager* filemanager() override { return &files_; }
    UNIXFileManager* unixfiles() { return &files_; }
    Output* output() override { return &out_; }
    int StartHeaders(int status) override;
    int EndHeaders() override;

    // Everything written so far, header block included.
    const String& page();

    // Settings a configuration would give.
    Settings& configure() { return settings_; }
    // The status the header block was sent with; 0 while none was sent.
    int status() const { return status_; }

  private:
    UNIXFileManager files_;
    StringOutput out_;
    int status_;
};

// A fresh directory removed with its contents when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const String& path() const { return path_; }
    // path/name
    String File(const char* name) const;
    // Writes content (n bytes; -1 = up to its NUL) to path/name and returns the path.
    String Write(const char* name, const char* content, int n = -1) const;

  private:
    String path_;
};

#endif  // TESTS_SUPPORT_TEST_ENGINE_H_
