// The activity log: one line per entry, appended with a single write so that the
// lines of concurrent requests never interleave.

#ifndef HOST_ACTIVITY_LOG_H_
#define HOST_ACTIVITY_LOG_H_

#include "foundation/string.h"

class ActivityLog {
  public:
    // Entries above level are not written.
    explicit ActivityLog(int level) : level_(level), fd_(-1) {}
    ~ActivityLog();
    ActivityLog(const ActivityLog&) = delete;
    ActivityLog& operator=(const ActivityLog&) = delete;

    // Opens (creating) the log for appending; script is the file every line names.
    bool Open(const String& path, const String& script);
    // Appends "TIME|PID|UID|GID|3.7833|LEVEL|KIND|SCRIPT|INFO\n" when level allows.
    void Write(int level, const char* kind, const String& info);
    // The line Write() would append, without its time prefix's clock read.
    static String FormatLine(const String& time, long pid, long uid, long gid, int level,
                             const char* kind, const String& script, const String& info);

    // A message as one line of the web server's error log: "kelp: " and the text,
    // a "<BR>" line break as "; ", other line breaks and control characters as \xNN,
    // so that nothing in it can start a line of its own.
    static String StandardErrorLine(const String& text);
    // Writes StandardErrorLine(text) to standard error with a single write.
    static void ToStandardError(const String& text);

  private:
    int level_;
    int fd_;
    String script_;
};

#endif  // HOST_ACTIVITY_LOG_H_
