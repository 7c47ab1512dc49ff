// FlatFile: delimited text files, one record per line, for the import and export
// tags. A line ends with LF, CR, CR LF or LF CR; fields are separated by the
// delimiter; a backslash escapes the next character ("\n" LF, "\r" CR, any other
// character itself), so values keep line breaks, backslashes and delimiters.

#ifndef DATA_FLAT_FILE_H_
#define DATA_FLAT_FILE_H_

#include <vector>

#include "foundation/string.h"

class File;
class ScriptParser;

// Results of FlatFile::ImportNextRecord().
enum FlatFileResult { FlatFileFailed = 0, FlatFileRecord = 1, FlatFileEnd = 2 };

class FlatFile {
  public:
    explicit FlatFile(ScriptParser* parser);
    ~FlatFile();
    FlatFile(const FlatFile&) = delete;
    FlatFile& operator=(const FlatFile&) = delete;

    // path: resolved; name: as the page gave it (for messages).
    void SetImportFile(const String& path, const String& name);
    void SetExportFile(const String& path, const String& name);
    // Comma-separated variable names, in order.
    void SetImportOrder(const String& list);
    void SetExportOrder(const String& list);
    void SetImportDelimiter(const String& text);
    void SetExportDelimiter(const String& text);
    // Where the condition a record must meet starts in the script text.
    void SetWHEREExpressionOffset(long position, int line);

    // 1, or 0 with error().
    int StartImport();
    // Reads up to the next accepted record and assigns it: a FlatFileResult.
    int ImportNextRecord();
    void EndImport();
    // Appends one line with one write. 1, or 0 with error().
    int ExportRecord();

    void Error(const String& message) { error_ = message; }
    const String& error() const { return error_; }

    // Splits one line into at most count fields (the last keeps the rest).
    static std::vector<String> SplitRecord(const String& line, const String& delimiter, int count);
    // One line of values joined by delimiter, escaped, ending in LF.
    static String BuildRecord(const std::vector<String>& values, const String& delimiter);

  private:
    // One line without its line end into *line: 1, 0 at the end of the file, -1 on a
    // failed read.
    int ReadLine(String* line);
    int Fill();

    ScriptParser* parser_;  // not owned
    String importpath_, importname_;
    String exportpath_, exportname_;
    std::vector<String> importorder_;
    std::vector<String> exportorder_;
    String importdelimiter_;
    String exportdelimiter_;
    File* file_;    // owned: the import file while open
    char* buffer_;  // owned
    int buffersize_;
    int position_;
    int count_;
    bool ended_;
    long recno_;
    long whereposition_;  // -1 without a condition
    int whereline_;
    String error_;
};

#endif  // DATA_FLAT_FILE_H_
