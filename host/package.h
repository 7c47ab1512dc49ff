// Packages: add-ons a site installs from tar archives (Package, as the
// configuration declares them), the tar reader (Tar) and the kelp_package_*
// built-in functions.

#ifndef HOST_PACKAGE_H_
#define HOST_PACKAGE_H_

#include "foundation/string.h"

class File;
class Kelp;
class ScriptParser;

class Package {
  public:
    Package(const String& code, const String& name, const String& description,
            const String& version, const String& path, const String& defaultpath)
        : code_(code),
          name_(name),
          description_(description),
          version_(version),
          path_(path),
          defaultpath_(defaultpath) {}

    const String& code() const { return code_; }
    const String& name() const { return name_; }
    const String& description() const { return description_; }
    const String& version() const { return version_; }
    // The archive.
    const String& path() const { return path_; }
    // Where it unpacks when the page names no directory; empty when not configured.
    const String& defaultpath() const { return defaultpath_; }

  private:
    String code_, name_, description_, version_, path_, defaultpath_;
};

// Entry types of a tar archive.
enum TarType {
    TarFile = 0,
    TarHardLink = 1,
    TarSymbolicLink = 2,
    TarDirectory = 3,
    TarOther = 4,
    TarEnd = 5,
};

// Reads a POSIX (ustar) tar archive one header at a time.
class Tar {
  public:
    explicit Tar(Kelp* engine) : engine_(engine) {}
    ~Tar();
    Tar(const Tar&) = delete;
    Tar& operator=(const Tar&) = delete;

    bool Open(const String& path, const String& displayname);
    void Close();
    // The first header: 1, or 0 when none could be read.
    int First();
    // The header after the current entry: the entry's number, or 0 on failure.
    int Next();
    int Current() const { return current_; }
    bool ReadNextHeader();
    // Copies the current entry's data (a regular file) to a new file at path.
    bool Write(const String& path, const String& displayname);

    const String& name() const { return name_; }
    long mode() const { return mode_; }
    long uid() const { return uid_; }
    long gid() const { return gid_; }
    long size() const { return size_; }
    long timestamp() const { return timestamp_; }
    int type() const { return type_; }
    const String& link() const { return link_; }
    const String& user() const { return user_; }
    const String& group() const { return group_; }
    long majordev() const { return majordev_; }
    long minordev() const { return minordev_; }

    void Error(const String& text) { error_ = text; }
    const String& error() const { return error_; }

  private:
    void Clear();

    Kelp* engine_;          // not owned
    File* file_ = nullptr;  // owned
    String displayname_;
    long header_ = 0;  // where the current header starts
    long data_ = 0;    // where its data starts
    long next_ = 0;    // where the next header starts
    int current_ = 0;
    String name_, link_, user_, group_;
    long mode_ = 0, uid_ = 0, gid_ = 0, size_ = 0, timestamp_ = 0, majordev_ = 0, minordev_ = 0;
    int type_ = TarEnd;
    String error_;
};

// Unpacks the archive at path into directory (resolved, inside the data directory):
// directories and regular files; links and other entries are passed over. An entry
// whose name is absolute or holds "..", or that would be written through a symbolic
// link, stops the extraction before anything is written. 1, or 0 with *error.
int ExtractArchive(Kelp* engine, const String& path, const String& displayname,
                   const String& directory, String* error);

// Registers the kelp_package_* built-in functions with parser.
void InstallPackageBuiltins(ScriptParser* parser);

#endif  // HOST_PACKAGE_H_
