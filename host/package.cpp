// Packages, the tar reader, safe extraction and the package built-ins.

#include "host/package.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "foundation/file.h"
#include "host/engine.h"
#include "script/builtins.h"
#include "script/encoding.h"
#include "script/script_parser.h"
#include "script/variables.h"

namespace {

const int kBlock = 512;

// The largest number a header field may hold: sizes beyond it (a terabyte) are no
// archive a site unpacks, and offsets computed from it cannot overflow.
const unsigned long kLargestNumber = 1UL << 40;

// A numeric header field: octal digits (leading blanks and NULs ignored), or the
// base-256 form GNU tar uses for large values (high bit of the first byte set).
// -1 when the value is negative or larger than kLargestNumber.
long Number(const unsigned char* field, int width) {
    unsigned long value = 0;
    if (field[0] & 0x80) {
        if (field[0] & 0x40) return -1;  // a negative base-256 number
        value = field[0] & 0x3F;
        for (int i = 1; i < width; i++) {
            if (value > kLargestNumber) return -1;
            value = (value << 8) | field[i];
        }
    } else {
        int i = 0;
        while (i < width && (field[i] == ' ' || field[i] == 0)) i++;
        for (; i < width && field[i] >= '0' && field[i] <= '7'; i++) {
            if (value > kLargestNumber) return -1;
            value = value * 8 + static_cast<unsigned long>(field[i] - '0');
        }
    }
    return value > kLargestNumber ? -1 : static_cast<long>(value);
}

String Text(const unsigned char* field, int width) {
    int n = 0;
    while (n < width && field[n] != 0) n++;
    return String(reinterpret_cast<const char*>(field), n);
}

}  // namespace

Tar::~Tar() {
    Close();
}

bool Tar::Open(const String& path, const String& displayname) {
    Close();
    displayname_ = displayname;
    FileManager* fm = engine_->filemanager();
    file_ = fm->Open(path, FileRead);
    if (file_ == nullptr) {
        Error("Error opening '" + Entities(displayname) + "': " + Entities(fm->error()));
        return false;
    }
    return true;
}

void Tar::Close() {
    delete file_;
    file_ = nullptr;
    current_ = 0;
}

void Tar::Clear() {
    name_.clear();
    link_.clear();
    user_.clear();
    group_.clear();
    mode_ = uid_ = gid_ = size_ = timestamp_ = majordev_ = minordev_ = 0;
}

int Tar::First() {
    next_ = 0;
    current_ = 0;
    if (!ReadNextHeader()) return 0;
    current_ = 1;
    return 1;
}

int Tar::Next() {
    if (!ReadNextHeader()) return 0;
    return ++current_;
}

bool Tar::ReadNextHeader() {
    if (file_ == nullptr) return false;
    unsigned char block[kBlock];
    if (file_->Seek(next_) < 0 || file_->Read(reinterpret_cast<char*>(block), kBlock) != kBlock) {
        Error("Error reading from '" + Entities(displayname_) + "': unexpected end of the archive");
        return false;
    }
    long sum = 256;
    for (int i = 0; i < kBlock; i++) {
        if (i < 148 || i >= 156) sum += block[i];
    }
    if (sum == 256) {
        Clear();
        type_ = TarEnd;
        header_ = next_;
        data_ = next_ + kBlock;
        next_ = data_;
        return true;
    }
    if (sum != Number(block + 148, 8)) {
        Error("Error reading from '" + Entities(displayname_) + "': Header checksum mismatch");
        return false;
    }
    Clear();
    name_ = Text(block, 100);
    // A ustar name may have its first part in the prefix field.
    if (memcmp(block + 257, "ustar", 5) == 0 && block[345] != 0)
        name_ = Text(block + 345, 155) + "/" + name_;
    mode_ = Number(block + 100, 8);
    uid_ = Number(block + 108, 8);
    gid_ = Number(block + 116, 8);
    size_ = Number(block + 124, 12);
    timestamp_ = Number(block + 136, 12);
    link_ = Text(block + 157, 100);
    user_ = Text(block + 265, 32);
    group_ = Text(block + 297, 32);
    majordev_ = Number(block + 329, 7);
    minordev_ = Number(block + 337, 7);
    bool slash = name_.length() > 0 && name_[name_.length() - 1] == '/';
    switch (block[156]) {
        case '0':
        case 0:
            type_ = slash ? TarDirectory : TarFile;
            break;
        case '1':
            type_ = TarHardLink;
            break;
        case '2':
            type_ = TarSymbolicLink;
            break;
        case '5':
            type_ = TarDirectory;
            break;
        default:
            type_ = TarOther;
    }
    if (size_ < 0) {
        Error("Error reading from '" + Entities(displayname_) +
              "': an entry's size is out of range");
        return false;
    }
    header_ = next_;
    data_ = next_ + kBlock;
    // Links and directories carry no data whatever their size field says.
    long datasize = (type_ == TarFile || type_ == TarOther) ? size_ : 0;
    next_ = data_ + (datasize + kBlock - 1) / kBlock * kBlock;
    return true;
}

bool Tar::Write(const String& path, const String& displayname) {
    if (file_ == nullptr || type_ != TarFile) return false;
    FileManager* fm = engine_->filemanager();
    // Whatever is at the target (a file, a symbolic link, dangling or not) is
    // removed, and the file is made new: creating exclusively never follows a link.
    if (!fm->IsDirectory(path)) fm->Delete(path);
    File* out = fm->Open(path, FileWrite | FileCreate | FileExclusive);
    if (out == nullptr) {
        Error("Error creating '" + Entities(displayname) + "': " + Entities(fm->error()));
        return false;
    }
    char block[kBlock];
    long left = size_;
    bool ok = file_->Seek(data_) >= 0;
    while (ok && left > 0) {
        long want = left < kBlock ? left : kBlock;
        if (file_->Read(block, want) != want) {
            Error("Error reading from '" + Entities(displayname_) +
                  "': unexpected end of the archive");
            ok = false;
            break;
        }
        if (out->Write(block, want) != want) {
            Error("Error writing to '" + Entities(displayname) + "': " + Entities(out->error()));
            ok = false;
            break;
        }
        left -= want;
    }
    delete out;
    return ok;
}

namespace {

// Whether an entry name may be unpacked below a directory: relative, no "..".
bool SafeName(const String& name) {
    if (name.empty() || name[0] == '/' || name.contains('\\')) return false;
    int start = 0;
    while (start <= name.length()) {
        int slash = name.search("/", start);
        String part = name.at(start, slash < 0 ? name.length() : slash);
        if (part == "..") return false;
        if (slash < 0) break;
        start = slash + 1;
    }
    return true;
}

// The real path of an existing directory, or empty.
String RealDirectory(const String& path) {
    char resolved[PATH_MAX];
    if (realpath(path.chars(), resolved) == nullptr) return String();
    return String(resolved);
}

// Creates each missing directory of relative below root; every directory on the way
// must really be below root (no symbolic link leads out). 1, or 0 with *error.
int MakeDirectories(FileManager* fm, const String& root, const String& rootreal,
                    const String& relative, String* error) {
    String path = root;
    int start = 0;
    while (start < relative.length()) {
        int slash = relative.search("/", start);
        String part = relative.at(start, slash < 0 ? relative.length() : slash);
        start = slash < 0 ? relative.length() : slash + 1;
        if (part.empty() || part == ".") continue;
        path += "/" + part;
        if (!fm->IsDirectory(path)) {
            if (fm->Exists(path) || fm->MakeDirectory(path) <= 0) {
                *error = "Error creating directory '" + Entities(relative) +
                         "': " + Entities(fm->error());
                return 0;
            }
        }
        String real = RealDirectory(path);
        if (real.empty() || !(real == rootreal || real.search((rootreal + "/").chars()) == 0)) {
            *error = "'" + Entities(relative) + "' leads outside the directory it is extracted to";
            return 0;
        }
    }
    return 1;
}

}  // namespace

int ExtractArchive(Kelp* engine, const String& path, const String& displayname,
                   const String& directory, String* error) {
    FileManager* fm = engine->filemanager();
    String rootreal = RealDirectory(directory);
    if (rootreal.empty() || !fm->IsDirectory(directory)) {
        *error = "'" + Entities(directory) + "' is not a directory";
        return 0;
    }
    Tar tar(engine);
    if (!tar.Open(path, displayname)) {
        *error = tar.error();
        return 0;
    }
    // Every header is checked before anything is written.
    int n = tar.First();
    for (; n != 0 && tar.type() != TarEnd; n = tar.Next()) {
        if ((tar.type() == TarFile || tar.type() == TarDirectory) && !SafeName(tar.name())) {
            *error = "The archive entry '" + Entities(tar.name()) +
                     "' would be written outside the directory";
            return 0;
        }
    }
    if (n == 0) {
        *error = tar.error();
        return 0;
    }
    for (n = tar.First(); n != 0 && tar.type() != TarEnd; n = tar.Next()) {
        String name = tar.name();
        if (tar.type() == TarDirectory) {
            if (!MakeDirectories(fm, directory, rootreal, name, error)) return 0;
            continue;
        }
        if (tar.type() != TarFile) continue;
        int slash = name.length() - 1;
        while (slash >= 0 && name[slash] != '/') slash--;
        if (slash > 0 && !MakeDirectories(fm, directory, rootreal, name.before(slash), error))
            return 0;
        String target = directory + "/" + name;
        if (!tar.Write(target, name)) {
            *error = tar.error();
            return 0;
        }
    }
    if (n == 0) {
        *error = tar.error();
        return 0;
    }
    return 1;
}

namespace {

String Arg(VariableTree* a, const char* name) {
    Variable* v = a->Argument(name);
    return v ? v->value() : String();
}

Package* Find(ScriptParser* p, VariableTree* a) {
    return Host(p->engine())->FindPackage(Arg(a, "code").trimmed());
}

int PackageList(ScriptParser* p, VariableTree*, String* r) {
    r->clear();
    for (Package* package : Host(p->engine())->packages()) {
        if (!r->empty()) *r += ',';
        *r += package->code();
    }
    return 1;
}

template <const String& (Package::*kField)() const>
int PackageField(ScriptParser* p, VariableTree* a, String* r) {
    Package* package = Find(p, a);
    *r = package ? (package->*kField)() : String();
    return 1;
}

// kelp_package_extract(code, directory, license): "1" when the package's archive
// was unpacked into directory (its default path when empty), else "0"; the reason
// is in kelp_package_error.
int PackageExtract(ScriptParser* p, VariableTree* a, String* r) {
    Kelp* engine = p->engine();
    engine->EndRun();  // it writes files: a run of adds ends first
    Package* package = Find(p, a);
    String error;
    String directory = Arg(a, "directory").trimmed();
    String resolved;
    if (package == nullptr) {
        error = "There is no enabled package '" + Entities(Arg(a, "code")) + "'";
    } else {
        if (directory.empty()) directory = package->defaultpath();
        if (engine->ResolvePath(directory, DataPath, &resolved, &error)) {
            FileManager* fm = engine->filemanager();
            if (!fm->IsDirectory(resolved)) fm->MakeDirectory(resolved);
            ExtractArchive(engine, package->path(), package->code(), resolved, &error);
        }
    }
    p->variables()->SetVariable("kelp_package_error", error);
    *r = error.empty() ? "1" : "0";
    return 1;
}

const Builtin kPackageBuiltins[] = {
    {"kelp_package_list", "", PackageList},
    {"kelp_package_name", "code", PackageField<&Package::name>},
    {"kelp_package_description", "code", PackageField<&Package::description>},
    {"kelp_package_version", "code", PackageField<&Package::version>},
    {"kelp_package_defaultpath", "code", PackageField<&Package::defaultpath>},
    {"kelp_package_extract", "code, directory, license", PackageExtract},
};

}  // namespace

void InstallPackageBuiltins(ScriptParser* parser) {
    parser->AddBuiltins(kPackageBuiltins,
                        static_cast<int>(sizeof kPackageBuiltins / sizeof kPackageBuiltins[0]));
}
