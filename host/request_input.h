// The request body: URL-encoded and multipart/form-data parsers that turn it into
// form variables and hand uploaded files to the script's two upload functions.

#ifndef HOST_REQUEST_INPUT_H_
#define HOST_REQUEST_INPUT_H_

#include <vector>

#include "foundation/string.h"

class File;
class Function;
class HostKelp;

// A body over the engine's limits (maxcontentlength bytes, maxformfields fields or
// parts) is refused with status 413 before anything of it becomes a variable.
class ContentParser {
  public:
    explicit ContentParser(HostKelp* engine) : engine_(engine) {}
    virtual ~ContentParser() {}
    // Reads length bytes of body through the engine's ReadContent (never more); 0 for
    // success, 1 after reporting an error.
    virtual int Parse(long length) = 0;

  protected:
    // Reports a body over a limit (status 413); returns 1.
    int TooLarge(const String& message);
    // Counts one more field or part: 0 while within maxformfields, else 1 (reported).
    int CountField();

    HostKelp* engine_;  // not owned
    int fields_ = 0;
};

// application/x-www-form-urlencoded: name=value pairs split at "&"; both sides
// trimmed, only the value decoded.
class URLEncodedParser : public ContentParser {
  public:
    using ContentParser::ContentParser;
    int Parse(long length) override;

  private:
    // 0, or 1 when the field is one too many (reported).
    int AddItem(const String& item);
};

class MultipartFormDataParser : public ContentParser {
  public:
    // contenttype: the whole Content-Type header (its boundary attribute is used).
    MultipartFormDataParser(HostKelp* engine, const String& contenttype);
    int Parse(long length) override;

    // The boundary attribute of a Content-Type value; empty without one.
    static String BoundaryOf(const String& contenttype);

  private:
    // Moves unread bytes to the front and reads more; the count read (0 at the end).
    int Fill();
    // One line without its CR LF; false at the end of the body.
    bool ReadLine(String* line);
    // Passes the part's data up to the next delimiter to sink (null discards);
    // *found says whether the delimiter was seen. *size counts the bytes. 0 = ok.
    template <typename Sink>
    int ReadPartData(Sink sink, long* size, bool* found);
    int Fail(const String& message);
    // One file part: validation, copying, processing. 0 = ok.
    int Upload(const String& field, const String& filename, const String& type);
    // The upload function name with the expected parameter count, or null.
    Function* UploadFunction(const char* name, int parameters);
    int Call(Function* f, const String* arguments, int count, String* result);

    String boundary_;
    String delimiter_;  // CR LF "--" boundary
    std::vector<char> buffer_;
    int fill_;
    int position_;
    long remaining_;
    bool functionslooked_;
    Function* validate_;  // not owned
    Function* process_;   // not owned
};

#endif  // HOST_REQUEST_INPUT_H_
