// Reading the request body into form variables.

#include "host/request_input.h"

#include <stdlib.h>
#include <string.h>

#include "foundation/file.h"
#include "foundation/key_compare.h"
#include "host/engine.h"
#include "script/encoding.h"
#include "script/error.h"
#include "script/function.h"
#include "script/module.h"
#include "script/script_parser.h"
#include "script/variables.h"

namespace {

// The value of attribute name in a ";"-separated list of name=value attributes
// (quotes removed); found tells whether it was there.
String AttributeValue(const String& list, const char* name, bool* found) {
    *found = false;
    int start = 0;
    while (start <= list.length()) {
        int semicolon = list.search(";", start);
        int end = semicolon < 0 ? list.length() : semicolon;
        String item = list.at(start, end);
        int equals = item.search("=");
        if (equals >= 0 && CompareKeys(item.before(equals).trimmed().chars(), name) == 0) {
            String value = item.after(equals).trimmed();
            if (value.length() >= 2 && value[0] == '"' && value[value.length() - 1] == '"') {
                value = value.at(1, value.length() - 1);
            }
            *found = true;
            return value;
        }
        if (semicolon < 0) break;
        start = semicolon + 1;
    }
    return String();
}

}  // namespace

int HostKelp::ReadHeldContent(const std::string& body, size_t* position, char* buffer, int length) {
    size_t n = body.size() - *position;
    if (n > static_cast<size_t>(length)) n = static_cast<size_t>(length);
    memcpy(buffer, body.data() + *position, n);
    *position += n;
    return static_cast<int>(n);
}

int HostKelp::AddContentVariables() {
    String length = RequestHeader("Content-Length");
    if (length.empty()) return 1;
    long bytes = strtol(length.chars(), nullptr, 10);
    if (bytes <= 0) return 1;
    if (bytes > settings_.maxcontentlength) {
        Error(::Error(413, "Fatal Error: The request body of " + String::FromInt(bytes) +
                               " bytes is larger than the configured maxcontentlength (" +
                               String::FromInt(settings_.maxcontentlength) + " bytes)"));
        return 0;
    }
    String type = RequestHeader("Content-Type");
    String kind = String(type.contains(";") ? type.before(";") : type).trimmed();
    if (CompareKeys(kind.chars(), "application/x-www-form-urlencoded") == 0) {
        URLEncodedParser parser(this);
        return parser.Parse(bytes) == 0 ? 1 : 0;
    }
    if (CompareKeys(kind.chars(), "multipart/form-data") == 0) {
        MultipartFormDataParser parser(this, type);
        return parser.Parse(bytes) == 0 ? 1 : 0;
    }
    return 1;
}

int ContentParser::TooLarge(const String& message) {
    engine_->Error(::Error(413, "Fatal Error: " + message));
    return 1;
}

int ContentParser::CountField() {
    if (++fields_ <= engine_->settings().maxformfields) return 0;
    return TooLarge("The request body holds more than " +
                    String::FromInt(engine_->settings().maxformfields) +
                    " fields (the configured maxformfields)");
}

int URLEncodedParser::Parse(long length) {
    int size =
        engine_->settings().contentbuffersize > 0 ? engine_->settings().contentbuffersize : 8192;
    std::vector<char> buffer(size);
    String item;
    while (length > 0) {
        int want = length < size ? static_cast<int>(length) : size;
        int n = engine_->ReadContent(buffer.data(), want);
        if (n <= 0) break;
        length -= n;
        int start = 0;
        for (int i = 0; i < n; i++) {
            if (buffer[i] != '&') continue;
            item.cat(buffer.data() + start, i - start);
            if (AddItem(item) != 0) return 1;
            item.clear();
            start = i + 1;
        }
        item.cat(buffer.data() + start, n - start);
    }
    return AddItem(item);
}

int URLEncodedParser::AddItem(const String& item) {
    if (item.empty()) return 0;
    if (CountField() != 0) return 1;
    int equals = item.search("=");
    String name = String(equals < 0 ? item : item.before(equals)).trimmed();
    String value = String(equals < 0 ? item : item.after(equals)).trimmed();
    DecodeAttribute(&value);
    engine_->vars()->AddFormVariable(name, value);
    return 0;
}

MultipartFormDataParser::MultipartFormDataParser(HostKelp* engine, const String& contenttype)
    : ContentParser(engine),
      boundary_(BoundaryOf(contenttype)),
      fill_(0),
      position_(0),
      remaining_(0),
      functionslooked_(false),
      validate_(nullptr),
      process_(nullptr) {
    delimiter_ = "\r\n--" + boundary_;
    int size = engine->settings().contentbuffersize;
    if (size < 2 * delimiter_.length() + 256) size = 2 * delimiter_.length() + 256;
    buffer_.resize(size);
}

String MultipartFormDataParser::BoundaryOf(const String& contenttype) {
    bool found;
    int semicolon = contenttype.search(";");
    if (semicolon < 0) return String();
    return AttributeValue(contenttype.after(semicolon), "boundary", &found);
}

int MultipartFormDataParser::Fail(const String& message) {
    engine_->Error(FatalError(message));
    // What is left of the body is not read: the request ends here.
    return 1;
}

int MultipartFormDataParser::Fill() {
    if (position_ > 0) {
        for (int i = position_; i < fill_; i++) buffer_[i - position_] = buffer_[i];
        fill_ -= position_;
        position_ = 0;
    }
    int room = static_cast<int>(buffer_.size()) - fill_;
    if (room <= 0 || remaining_ <= 0) return 0;
    int want = remaining_ < room ? static_cast<int>(remaining_) : room;
    int n = engine_->ReadContent(buffer_.data() + fill_, want);
    if (n <= 0) {
        remaining_ = 0;  // a body shorter than announced ends here
        return 0;
    }
    remaining_ -= n;
    fill_ += n;
    return n;
}

bool MultipartFormDataParser::ReadLine(String* line) {
    line->clear();
    for (;;) {
        for (int i = position_; i < fill_; i++) {
            if (buffer_[i] != '\n') continue;
            int end = (i > position_ && buffer_[i - 1] == '\r') ? i - 1 : i;
            line->cat(buffer_.data() + position_, end - position_);
            position_ = i + 1;
            return true;
        }
        // A line longer than the buffer is taken in pieces.
        if (position_ == 0 && fill_ == static_cast<int>(buffer_.size())) {
            line->cat(buffer_.data(), fill_ - 1);
            position_ = fill_ - 1;
        }
        if (Fill() == 0) {
            if (position_ >= fill_) return !line->empty();
            line->cat(buffer_.data() + position_, fill_ - position_);
            position_ = fill_;
            return true;
        }
    }
}

template <typename Sink>
int MultipartFormDataParser::ReadPartData(Sink sink, long* size, bool* found) {
    *found = false;
    *size = 0;
    const char* d = delimiter_.chars();
    int dl = delimiter_.length();
    for (;;) {
        int limit = fill_ - dl;
        int i = position_;
        for (; i <= limit; i++) {
            if (buffer_[i] == d[0] && memcmp(buffer_.data() + i, d, dl) == 0) break;
        }
        if (i <= limit) {
            if (sink(buffer_.data() + position_, i - position_) != 0) return 1;
            *size += i - position_;
            position_ = i + dl;
            *found = true;
            return 0;
        }
        // Keep the last dl - 1 bytes: the delimiter may start there.
        int keep = fill_ - position_ < dl - 1 ? fill_ - position_ : dl - 1;
        int emit = fill_ - position_ - keep;
        if (emit > 0) {
            if (sink(buffer_.data() + position_, emit) != 0) return 1;
            *size += emit;
            position_ += emit;
        }
        if (Fill() == 0) {
            int rest = fill_ - position_;
            if (rest > 0 && sink(buffer_.data() + position_, rest) != 0) return 1;
            *size += rest;
            position_ = fill_;
            return 0;
        }
    }
}

int MultipartFormDataParser::Parse(long length) {
    remaining_ = length;
    String line;
    if (boundary_.empty() || !ReadLine(&line) || line != "--" + boundary_) {
        // The visitor's body is at fault, not the server: 400.
        engine_->Error(
            ::Error(400,
                    "Fatal Error: Boundary in Content-Type header does not match boundary in "
                    "first line of content"));
        return 1;
    }
    for (;;) {
        if (CountField() != 0) return 1;
        String name;
        String filename;
        String type;
        bool hasfilename = false;
        for (;;) {
            if (!ReadLine(&line)) return 0;  // body ended inside the headers
            if (line.empty()) break;
            int colon = line.search(":");
            if (colon < 0) continue;
            String header = line.before(colon).trimmed();
            String value = line.after(colon).trimmed();
            if (CompareKeys(header.chars(), "Content-Disposition") == 0) {
                bool found;
                name = AttributeValue(value, "name", &found);
                filename = AttributeValue(value, "filename", &hasfilename);
            } else if (CompareKeys(header.chars(), "Content-Type") == 0) {
                type = value;
            }
        }
        bool found = false;
        if (hasfilename) {
            if (Upload(name, filename, type) != 0) return 1;
            found = true;  // Upload reads up to the delimiter itself
        } else {
            String value;
            long size;
            ReadPartData(
                [&value](const char* data, int n) {
                    value.cat(data, n);
                    return 0;
                },
                &size, &found);
            engine_->vars()->AddFormVariable(name, value);
            if (!found) return 0;
        }
        // After the delimiter: "--" ends the body, else the rest of the line.
        if (!ReadLine(&line) || (line[0] == '-' && line[1] == '-')) break;
    }
    // Whatever follows the last part is read and discarded.
    position_ = fill_;
    while (Fill() > 0) position_ = fill_;
    return 0;
}

Function* MultipartFormDataParser::UploadFunction(const char* name, int parameters) {
    Module* module = engine_->currentmodule();
    if (module == nullptr) return nullptr;
    ScriptParser* parser = module->scriptparser();
    Function* f = parser->FindFunction(name);
    if (f == nullptr) {
        parser->ScanForFunction(name);
        f = parser->FindFunction(name);
    }
    if (f != nullptr && f->parametercount() != parameters) {
        String message = String("Function '") + name + "' must be declared with ";
        message.catint(parameters);
        message += " parameters, found ";
        message.catint(f->parametercount());
        parser->ExpressionError(message);
        return nullptr;
    }
    return f;
}

int MultipartFormDataParser::Call(Function* f, const String* arguments, int count, String* result) {
    ScriptParser* parser = engine_->currentmodule()->scriptparser();
    VariableTree* tree = new VariableTree(1);
    VariableList& parameters = f->Parameters();
    Variable* parameter = parameters.First();
    for (int i = 0; i < count; i++) {
        tree->Insert(Variable::Plain(parameter ? parameter->name() : String(), arguments[i]));
        if (parameter) parameter = parameters.Next();
    }
    int ok = parser->CallFunction(f, tree, result);
    delete tree;
    return ok;
}

int MultipartFormDataParser::Upload(const String& field, const String& filename,
                                    const String& type) {
    if (!functionslooked_) {
        functionslooked_ = true;
        validate_ = UploadFunction("Kelp_ValidateFileUpload", 3);
        process_ = UploadFunction("Kelp_ProcessFileUpload", 6);
    }
    long size = 0;
    bool found = false;
    auto discard = [](const char*, int) { return 0; };
    if (validate_ == nullptr || process_ == nullptr) {
        ReadPartData(discard, &size, &found);
        return 0;
    }
    String arguments[6] = {field, filename, type};
    String limittext;
    if (!Call(validate_, arguments, 3, &limittext)) {
        ReadPartData(discard, &size, &found);
        return 0;
    }
    long limit = strtol(limittext.chars(), nullptr, 10);
    String status = "SKIPPED";
    String tempname;
    if (limit < 0) {
        ReadPartData(discard, &size, &found);
    } else {
        String prefix;
        String error;
        if (!engine_->ResolvePath("KELP_FUP", DataPath, &prefix, &error)) return Fail(error);
        File* file = engine_->filemanager()->MakeTemporary(prefix, &tempname, FileWrite);
        if (file == nullptr) return Fail(engine_->filemanager()->error());
        long kept = 0;
        String writeerror;
        ReadPartData(
            [&](const char* data, int n) {
                long take = n;
                if (limit > 0 && kept + take > limit) take = limit - kept;
                if (take > 0 && writeerror.empty()) {
                    if (file->Write(data, take) != take) {
                        writeerror = "Error writing to '" + tempname + "': " + file->error();
                    }
                    kept += take;
                }
                return 0;
            },
            &size, &found);
        delete file;
        // Removed when the request ends, unless the page has moved it by then.
        engine_->AddUploadedFile(tempname);
        if (!writeerror.empty()) return Fail(writeerror);
        status = (limit == 0 || size <= limit) ? "COMPLETE" : "PARTIAL";
    }
    arguments[0] = field;
    arguments[1] = filename;
    arguments[2] = status;
    // The page gets the name as the file tags and functions take it: relative to the
    // data directory, where the file is.
    arguments[3] = tempname.empty() ? tempname : FileManager::StripDirectory(tempname);
    arguments[4] = type;
    arguments[5] = String::FromInt(size);
    String ignored;
    Call(process_, arguments, 6, &ignored);
    return 0;
}
