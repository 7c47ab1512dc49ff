// Delimited text files for import and export.

#include "data/flat_file.h"

#include "foundation/file.h"
#include "script/encoding.h"
#include "script/engine.h"
#include "script/script_parser.h"
#include "script/variables.h"

FlatFile::FlatFile(ScriptParser* parser)
    : parser_(parser),
      importdelimiter_("\t"),
      exportdelimiter_("\t"),
      file_(nullptr),
      buffer_(nullptr),
      buffersize_(0),
      position_(0),
      count_(0),
      ended_(false),
      recno_(1),
      whereposition_(-1),
      whereline_(0) {}

FlatFile::~FlatFile() {
    EndImport();
    delete[] buffer_;
}

void FlatFile::SetImportFile(const String& path, const String& name) {
    importpath_ = path;
    importname_ = name;
}

void FlatFile::SetExportFile(const String& path, const String& name) {
    exportpath_ = path;
    exportname_ = name;
}

void FlatFile::SetImportOrder(const String& list) {
    importorder_ = SplitNameList(list);
}
void FlatFile::SetExportOrder(const String& list) {
    exportorder_ = SplitNameList(list);
}
void FlatFile::SetImportDelimiter(const String& text) {
    importdelimiter_ = text.empty() ? String("\t") : text;
}
void FlatFile::SetExportDelimiter(const String& text) {
    exportdelimiter_ = text.empty() ? String("\t") : text;
}

void FlatFile::SetWHEREExpressionOffset(long position, int line) {
    whereposition_ = position;
    whereline_ = line;
}

int FlatFile::StartImport() {
    Kelp* engine = parser_->engine();
    FileManager* fm = engine->filemanager();
    EndImport();
    String reason;
    if (fm->IsDirectory(importpath_)) {
        reason = "Is a directory";
    } else {
        file_ = fm->Open(importpath_, FileRead);
        if (file_ == nullptr) reason = fm->error();
    }
    if (file_ == nullptr) {
        engine->Log(2, "FILEERROR",
                    "filename=" + importpath_ + "&type=import&operation=opening&error=" + reason);
        Error("Error opening '" + Entities(importname_) + "' for read: " + Entities(reason));
        return 0;
    }
    engine->Log(2, "FILEOPENED", "filename=" + importpath_ + "&type=import");
    int size = engine->settings().importbuffersize;
    if (size < 64) size = 64;
    if (buffer_ == nullptr || buffersize_ != size) {
        delete[] buffer_;
        buffer_ = new char[size];
        buffersize_ = size;
    }
    position_ = count_ = 0;
    ended_ = false;
    recno_ = 1;
    return 1;
}

void FlatFile::EndImport() {
    delete file_;
    file_ = nullptr;
}

int FlatFile::Fill() {
    if (ended_ || file_ == nullptr) return 0;
    long n = file_->Read(buffer_, buffersize_);
    if (n < 0) {
        Error("Error reading '" + Entities(importname_) + "': " + Entities(file_->error()));
        return -1;
    }
    if (n == 0) ended_ = true;
    position_ = 0;
    count_ = static_cast<int>(n);
    return n > 0 ? 1 : 0;
}

int FlatFile::ReadLine(String* line) {
    line->clear();
    bool any = false;
    for (;;) {
        if (position_ >= count_) {
            int r = Fill();
            if (r < 0) return -1;
            if (r == 0) return any ? 1 : 0;
        }
        // A run up to the next line end goes in one piece.
        int start = position_;
        while (position_ < count_ && buffer_[position_] != '\n' && buffer_[position_] != '\r')
            position_++;
        if (position_ > start) {
            line->cat(buffer_ + start, position_ - start);
            any = true;
        }
        if (position_ >= count_) continue;
        char end = buffer_[position_++];
        // The other character of a CR LF or LF CR pair belongs to this line end.
        if (position_ >= count_ && Fill() < 0) return -1;
        if (position_ < count_ && buffer_[position_] == (end == '\n' ? '\r' : '\n')) position_++;
        return 1;
    }
}

std::vector<String> FlatFile::SplitRecord(const String& line, const String& delimiter, int count) {
    std::vector<String> fields;
    String field;
    int n = line.length();
    int d = delimiter.length();
    for (int i = 0; i < n; i++) {
        char c = line[i];
        if (c == '\\' && i + 1 < n) {
            char next = line[++i];
            field += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
            continue;
        }
        if (d > 0 && static_cast<int>(fields.size()) + 1 < count && c == delimiter[0] &&
            line.at(i, i + d) == delimiter) {
            fields.push_back(field);
            field.clear();
            i += d - 1;
            continue;
        }
        field += c;
    }
    if (count > 0) fields.push_back(field);
    return fields;
}

String FlatFile::BuildRecord(const std::vector<String>& values, const String& delimiter) {
    String line;
    char first = delimiter[0];
    for (size_t v = 0; v < values.size(); v++) {
        if (v > 0) line += delimiter;
        const String& value = values[v];
        for (int i = 0; i < value.length(); i++) {
            char c = value[i];
            if (c == '\\')
                line += "\\\\";
            else if (c == '\n')
                line += "\\n";
            else if (c == '\r')
                line += "\\r";
            else if (c == first && !delimiter.empty()) {
                // A delimiter inside a value stays part of it when read back.
                line += '\\';
                line += c;
            } else
                line += c;
        }
    }
    line += '\n';
    return line;
}

int FlatFile::ImportNextRecord() {
    Variables* vars = parser_->variables();
    for (;;) {
        String line;
        int r = ReadLine(&line);
        if (r < 0) return FlatFileFailed;
        if (r == 0) return FlatFileEnd;
        int count = static_cast<int>(importorder_.size());
        std::vector<String> fields = SplitRecord(line, importdelimiter_, count);
        if (static_cast<int>(fields.size()) < count) {
            for (const String& name : importorder_) vars->SetVariable(name, String());
        }
        for (size_t i = 0; i < fields.size(); i++) {
            // What a file holds is outside text: it never runs as script.
            if (!vars->SetVariable(importorder_[i], fields[i], true)) {
                Error(vars->error());
                return FlatFileFailed;
            }
        }
        if (whereposition_ >= 0) {
            int line_ = parser_->line();
            bool owned = false;
            Expression* e = parser_->ReadExpressionAt(whereposition_, whereline_, &owned);
            String value;
            bool outside;
            bool ok = e != nullptr && e->Evaluate(parser_, &value, &outside);
            if (owned) delete e;
            parser_->SetLine(line_);
            if (!ok) {
                Error(String());
                return FlatFileFailed;
            }
            if (value == "0") continue;
        }
        String recno;
        recno.catint(recno_++);
        vars->SetVariable("G.RECNO", recno, false);
        return FlatFileRecord;
    }
}

int FlatFile::ExportRecord() {
    Kelp* engine = parser_->engine();
    FileManager* fm = engine->filemanager();
    std::vector<String> values;
    for (const String& name : exportorder_) values.push_back(parser_->variables()->Value(name));
    String line = BuildRecord(values, exportdelimiter_);
    File* file = fm->Open(exportpath_, FileWrite | FileCreate | FileAppend);
    if (file == nullptr) {
        engine->Log(
            2, "FILEERROR",
            "filename=" + exportpath_ + "&type=export&operation=opening&error=" + fm->error());
        Error("Error opening '" + Entities(exportname_) + "' for write: " + Entities(fm->error()));
        return 0;
    }
    // One write per line: with the file in append mode, lines of requests writing at
    // the same time never interleave. Exporters hold the file's lock while they write,
    // so that a write cut short (a full disk) is taken back whole: the file never ends
    // in part of a line.
    bool locked = file->Lock(FileExclusiveLock, 0, 0) >= 0;
    long before = file->Length();
    long n = file->Write(line.chars(), line.length());
    String reason = file->error();
    if (n != line.length() && locked && before >= 0) file->Truncate(before);
    if (locked) file->Release(0, 0);
    delete file;
    if (n != line.length()) {
        engine->Log(2, "FILEERROR",
                    "filename=" + exportpath_ + "&type=export&operation=writing&error=" + reason);
        Error("Error writing to '" + Entities(exportname_) + "': " + Entities(reason));
        return 0;
    }
    return 1;
}
