// The virtual-host database: every setting accepted inside a matching VIRTUALHOST
// block of the configuration, kept as one record (host address, key, value) in an
// xBase table BASENAMEvh.dbf with the index BASENAMEvh.kpx (key: the address) in the
// configured work directory. The records document which settings each host has been
// served with; the configuration file stays the only source of settings.

#ifndef HOST_VIRTUAL_HOST_DB_H_
#define HOST_VIRTUAL_HOST_DB_H_

#include "foundation/string.h"

class FileManager;

struct VirtualHostSetting {
    String address;
    String key;
    String value;
};

// Adds each setting that is not recorded yet. The table and index are created when
// missing; a table that cannot be opened for writing is opened read-only and
// nothing is added. Returns 1, or 0 with *error ("The virtual host database is
// corrupt", or the table's own message).
int RecordVirtualHostSettings(FileManager* files, const String& workdir, const String& basename,
                              const VirtualHostSetting* settings, int count, String* error);

#endif  // HOST_VIRTUAL_HOST_DB_H_
