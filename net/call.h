// Call: one request of the HTTP client tag. It sends the request (URL-encoded
// fields, or a multipart body with files), reads the response headers, and walks
// the returned document one element (a run of text, or one tag) at a time, keeping
// the element's description in its own variables.

#ifndef NET_CALL_H_
#define NET_CALL_H_

#include "foundation/string.h"
#include "script/variables.h"

class Kelp;
class NetworkBuffer;
class NetworkConnection;

// Results of Call::FindNextElement().
enum CallElement {
    CallElementFound = 1,
    CallElementEnd = 2,    // the document has no more elements
    CallElementError = 3,  // error() says why
};

// One file to upload.
struct CallFile {
    String fieldname;    // the form field
    String path;         // where it is read from
    String errorpath;    // the name messages show
    String contenttype;  // by the name's extension, "unknown" when not known
    long size = 0;
};

class Call {
  public:
    explicit Call(Kelp* engine);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Sends the request and reads the response headers. fields and files are
    // comma-separated lists of variable names (files: variables holding the paths
    // of the files to send). 1, or 0 with error().
    int Connect(const String& method, const String& url, const String& fields, const String& files);
    // Takes ownership of a connection whose request for url has been sent and reads
    // the response headers. 1, or 0 with error().
    int Receive(NetworkConnection* connection, const String& url);
    // Reads the next element into the variables: a CallElement.
    int FindNextElement();
    void Close();

    // The call's variables (callvalue, callobjecttype, ...).
    VariableTree* vars() { return &vars_; }
    const String& error() const { return error_; }

    // The fields as name=value pairs joined with "&", each part URL-encoded.
    static String EncodeFields(Variables* variables, const String& fields);
    // The content type a file name's extension suggests, "unknown" when none.
    static String ContentType(const String& path);

  private:
    // The request with fields in the query (GET, HEAD) or as the body (POST).
    int OpenURLEncodedConnection(const String& method, const String& url, const String& fields);
    int OpenMultipartConnection(const String& method, const String& url, const String& fields,
                                const String& files);
    // The files the variables of the list name, each checked to be readable, with
    // its size and type; 0 with error_ for the first that is not.
    int FindFiles(const String& files, std::vector<CallFile>* list);
    int ReadHeaders(const String& url);
    // The error for input that ended inside an element: the size limit, a failed
    // read, or the text inside. Returns CallElementError.
    int InputEnded(const char* inside);
    void SetVariable(const char* name, const String& value);
    void SetNumbered(const char* name, int number, const String& value);
    void ClearAttributeVariables();
    // Reads a tag's attributes after its name: CallElementFound, or
    // CallElementError. raw collects every character read.
    int GetNameValuePairs(String* raw, int* count);

    Kelp* engine_;                   // not owned
    VariableTree vars_;              // owns elements
    NetworkConnection* connection_;  // owned
    NetworkBuffer* buffer_;          // owned
    int attributes_;                 // attribute variables set for the current element
    String url_;
    String error_;
    bool head_ = false;        // the request was HEAD: the response has no body
    String bodystart_;         // body read while looking for the status line
    long contentlength_ = -1;  // the response's Content-Length, -1 without one
};

#endif  // NET_CALL_H_
