// Config and UNIXConfig: the configuration file read at the start of every request,
// with its keys, macros, content types, virtual-host blocks and validation, and the
// site-variables files.
//
// File syntax: "key = value" lines ("#" starts a comment, a backslash keeps itself
// and the next character), and the tags <VIRTUALHOST host> ... </VIRTUALHOST>,
// <CONTENT-TYPE MIMETYPE=... EXTS=... DEFAULT>, <COMMERCE-LIB METHOD=... LIBRARY=...>
// <PACKAGE CODE=... NAME=... DESCRIPTION=... VERSION=... PATH=... DEFAULTPATH=...>
// and <SQL-CONNECTION NAME=... CONNECT=... ALLOW=...>.
// Key names ignore case; unknown keys and tags are ignored (and kept as warnings). Values may hold
// &[NAME] macros, replaced by environment variables.
//
// Configuration helpers return 0 for success and 1 for failure (reported through the
// engine's Error as a configuration error).

#ifndef HOST_CONFIG_H_
#define HOST_CONFIG_H_

#include <vector>

#include "foundation/list.h"
#include "foundation/splay_tree.h"
#include "foundation/string.h"
#include "host/virtual_host_db.h"
#include "script/settings.h"

class Kelp;

// One extension's content type.
struct MimeType {
    String extension;
    String type;
    const char* key() const { return extension.chars(); }
};

// A commerce library or a package declared in the configuration.
struct ConfigTag {
    String name;
    String values[6];
    const char* key() const { return name.chars(); }
};

class Config {
  public:
    enum KeyType { StringKey = 0, IntegerKey = 1, BooleanKey = 2, EndOfKeys = 3 };

    enum StringSetting {
        KelpRoot,
        UserDir,
        UserSiteVars,
        AuthFile,
        AuthUserDir,
        StdModeDataDir,
        KelpDefault,
        SiteVars,
        CommerceDir,
        Path,
        TempDir,
        WorkDir,
        LogFile,
        ServerAdmin,
        VirtualHostVariable,
        ValidExtensions,
        Packages,
        LockHostName,
        TLSCAFile,
        FastCGIAllow,
        StringSettings
    };
    enum IntegerSetting {
        LogLevel,
        SecurityOptions,
        GlobalTimeout,
        MailTimeout,
        CallTimeout,
        UseCookies,
        Nice,
        MaxCPU,
        MaxData,
        MaxStack,
        MaxFunctionDepth,
        ImportBufferSize,
        TemplateBufferSize,
        CallBufferSize,
        SMTPBufferSize,
        ContentBufferSize,
        OutputBufferSize,
        DNSLookup,
        RedirectOnly,
        ServerUserID,
        MaxFiles,
        LockExpiration,
        MaxContentLength,
        MaxFormFields,
        MaxHeaderLength,
        MaxResponseLength,
        FastCGIWorkers,
        FastCGIRequests,
        FastCGIPageCache,
        WarnUndefined,
        IntegerSettings
    };

    Config();
    virtual ~Config() {}

    // Sets a key: integers take digits (and a leading "-" only for nice and
    // serveruserid: times, sizes and limits are never negative), booleans
    // on/yes/true/1 or off/no/false/0 (any case), strings anything but a line break
    // (values reach header lines). 0 = accepted (or an unknown key), 1 = an invalid
    // value.
    virtual int SetConfigValue(const String& name, const String& value);

    const String& Get(StringSetting s) const {
        if (pendinghost_ & (1u << s)) FillHostDefaults();
        return strings_[s];
    }
    long Get(IntegerSetting i) const { return integers_[i]; }
    // Whether a string setting still stands for the machine's name, not yet looked up.
    bool MachineDefault(StringSetting s) const { return (pendinghost_ & (1u << s)) != 0; }
    void Set(StringSetting s, const String& v) {
        pendinghost_ &= ~(1u << s);
        strings_[s] = v;
    }
    void Set(IntegerSetting i, long v) { integers_[i] = v; }

    // Whether name is one of the keys above (case ignored).
    static bool KnownKey(const String& name);

    const String& brindleroot() const { return strings_[KelpRoot]; }
    const String& brindledefault() const { return strings_[KelpDefault]; }

  protected:
    // The defaults naming this machine are made when first read: most requests never
    // need them, and finding the name is a system call.
    void FillHostDefaults() const;

    mutable String strings_[StringSettings];
    long integers_[IntegerSettings];
    mutable unsigned pendinghost_;  // a bit per setting still to take its default
    bool lastkeyknown_ = false;     // the last SetConfigValue() named a known key
};

// Something in the configuration that is no error but likely a mistake; line 0 for
// the configuration as a whole.
struct ConfigWarning {
    int line;
    String text;
};

class UNIXConfig : public Config {
  public:
    // engine: not owned (errors, system variables, site variables).
    UNIXConfig(Kelp* engine, bool serversafe);

    // Reads and parses filename: 0, or 1 after reporting the error.
    int ReadConfiguration(const String& filename);
    // The same with the file's text already read; null text: it could not be read.
    int UseConfiguration(const String* text);
    // Whether the last parse read anything of its request (an &[NAME] macro, a
    // VIRTUALHOST block): what it gave holds for that request alone.
    bool readrequest() const { return readrequest_; }
    // Takes what parsing gave other (the same text, in the same working directory,
    // read nothing of its request), as UseConfiguration() would have, without parsing
    // again; the request's host is then read as UseConfiguration() reads it.
    void UseParsed(const UNIXConfig& other);
    // Reads configuration text (the file's content); name is used in messages.
    int ParseConfiguration(const String& text);
    int ValidateConfiguration();
    int SetConfigValue(const String& name, const String& value) override;
    // Replaces every &[NAME] by the environment variable NAME.
    static void ProcessMacros(String* value);

    int ReadSiteVars();
    int ReadUserSiteVars();
    // Site variables of one file: "name=value" lines. A missing file is an error only
    // when required.
    int ReadSiteVarsFile(const String& filename, bool required);
    static void ParseSiteVars(Kelp* engine, const String& text);

    void AddContentType(const String& extensions, const String& type);
    String GetContentType(const String& extension) const;
    bool IsValidExtension(const String& extension) const;

    // The program's base name, which names the virtual-host database.
    void SetProgramName(const String& name) { programname_ = name; }
    // Settings accepted inside the matching VIRTUALHOST block, in file order.
    const std::vector<VirtualHostSetting>& hostsettings() const { return hostsettings_; }

    const String& virtualhost() const { return virtualhost_; }
    void SetVirtualHost(const String& host) { virtualhost_ = host; }
    const String& defaultmimetype() const { return defaultmimetype_; }
    bool serversafemode() const { return serversafe_; }
    const String& workingdirectory() const { return workingdirectory_; }
    List<ConfigTag>& commercelibs() { return commercelibs_; }
    List<ConfigTag>& packagetags() { return packages_; }
    const std::vector<SqlConnectionSetting>& sqlconnections() const { return sqlconnections_; }
    // Unknown keys and tags of the last parse, and a data directory inside kelproot
    // once validated.
    const std::vector<ConfigWarning>& warnings() const { return warnings_; }
    // The error that made the last step fail (line 0: not a line's).
    const ConfigWarning& failure() const { return failure_; }
    // Whether path is root or below it (both absolute, compared as written).
    static bool Below(const String& path, const String& root);

  private:
    int Fail(const String& message);
    void Warn(int line, const String& text);
    int SyntaxFail(int line, const String& message);
    // One pass over the file's text: lines and tags in order.
    int Scan(const String& text);
    int ProcessLine(int line, const String& text);
    int ProcessTag(int line, const String& tag);
    // The host name the request asks for.
    String RequestedHost() const;
    // After a parse: the requested host, unless one was given.
    void ReadRequestedHost();
    // Whether a VIRTUALHOST block for host (whose address is given when dnslookup is
    // on) applies: it names the requested host (case ignored), or, when no block does,
    // it has the requested host's address.
    bool HostMatches(const String& host, const String& address);

    Kelp* engine_;  // not owned
    bool serversafe_;
    String virtualhost_;
    String workingdirectory_;
    String defaultmimetype_;
    mutable SplayTree<MimeType, const char*> mimetypes_;  // owns elements
    List<ConfigTag> commercelibs_;                        // owns elements
    List<ConfigTag> packages_;                            // owns elements
    int blockstate_;           // 0 outside VIRTUALHOST, 1 in a matching block, 2 in another
    String blockaddress_;      // the matching block's host, as an address when resolved
    bool prescan_ = false;     // the first pass: only looking for an exact block
    bool exactblock_ = false;  // some block names the requested host itself
    bool requestaddressknown_ = false;
    String requestaddress_;  // the requested host's address, looked up once
    String programname_;
    std::vector<VirtualHostSetting> hostsettings_;
    std::vector<SqlConnectionSetting> sqlconnections_;
    std::vector<ConfigWarning> warnings_;
    ConfigWarning failure_;
    bool readrequest_ = false;
};

#endif  // HOST_CONFIG_H_
