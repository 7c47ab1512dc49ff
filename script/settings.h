// Settings: what the configuration says, as one plain value. A host fills it in before
// the page runs (read once from the configuration file); nothing changes it while the
// page runs. Each room reads the settings it needs; the defaults are those of a
// request without a configuration.

#ifndef SCRIPT_SETTINGS_H_
#define SCRIPT_SETTINGS_H_

#include <vector>

#include "foundation/string.h"

// A connection to an SQL server the configuration names (<SQL-CONNECTION>): the
// connection string (passwords live here, not in pages) and what of it a page may
// set itself (words of "dbname", "user", "password").
struct SqlConnectionSetting {
    String name;
    String connect;
    String allow;
};

struct Settings {
    // The request.
    int globaltimeout = 0;  // seconds; 0: no limit
    bool usecookies = false;
    int contentbuffersize = 8192;
    long maxcontentlength = 16L * 1024 * 1024;  // a visitor's body
    int maxformfields = 1000;
    // The directories that script, data and temporary names resolve below; empty: the
    // working directory.
    String scriptdirectory;
    String datadirectory;
    String tempdirectory;
    // The interpreter.
    int templatebuffersize = 8192;  // block size of the script reader
    int maxfunctiondepth = 23;      // deepest nesting of user-function calls
    // Files: most open at once (0 = no limit); the host name written into lock files
    // (empty: the machine's) and the age in seconds after which a lock file of another
    // host counts as stale (0 = never); the read buffer of the import tags.
    int maxfiles = 0;
    String lockhostname;
    int lockexpiration = 90;
    int importbuffersize = 8192;
    // The network: time-outs in seconds and buffer sizes of KpCALL and the mail tags,
    // the most bytes a server may send in one response or message, and a file of PEM
    // certificates that TLS peers are verified against instead of the system's store
    // (empty: the system's).
    int calltimeout = 30;
    int callbuffersize = 8192;
    int mailtimeout = 30;
    int smtpbuffersize = 8192;
    long maxresponselength = 16L * 1024 * 1024;
    String tlscafile;
    // Databases: the SQL servers pages may connect to, by name.
    std::vector<SqlConnectionSetting> sqlconnections;
};

#endif  // SCRIPT_SETTINGS_H_
