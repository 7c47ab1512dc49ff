// Recording VIRTUALHOST settings.

#include "host/virtual_host_db.h"

#include "data/index_file.h"
#include "data/xbase_table.h"
#include "foundation/file.h"

namespace {

XBaseField* FieldNamed(XBaseTable* table, const char* name) {
    List<XBaseField>& fields = table->fields();
    for (XBaseField* f = fields.First(); f != nullptr; f = fields.Next()) {
        if (f->name() == name) return f;
    }
    return nullptr;
}

enum RecordedResult { NotRecorded, AlreadyRecorded, RecordUnreadable };

// Whether the table holds a live record equal to s. The scan stops at the first
// record it cannot read: a damaged table is reported, never read past.
RecordedResult Recorded(XBaseTable* table, XBaseField* ip, XBaseField* name, XBaseField* value,
                        const VirtualHostSetting& s) {
    for (long r = 1; r <= table->numrecords(); r++) {
        if (!table->Goto(r)) return RecordUnreadable;
        if (table->deleted()) continue;
        if (String(ip->data()).trimmed() == s.address.trimmed() &&
            String(name->data()).trimmed() == s.key.trimmed() &&
            String(value->data()).trimmed() == s.value.trimmed()) {
            return AlreadyRecorded;
        }
    }
    return NotRecorded;
}

}  // namespace

int RecordVirtualHostSettings(FileManager* files, const String& workdir, const String& basename,
                              const VirtualHostSetting* settings, int count, String* error) {
    if (count == 0 || workdir.empty()) return 1;
    String base = workdir;
    if (!base.matches('/', base.length() - 1)) base += "/";
    String tablepath = base + basename + "vh.dbf";
    String indexpath = base + basename + "vh.kpx";
    String tablename = basename + "vh.dbf";
    String indexname = basename + "vh.kpx";
    XBaseTable table(files);
    BrnIndexFile index(files);
    bool writable = true;
    if (!files->Exists(tablepath)) {
        List<XBaseFieldSpec> specs(1);
        specs.Insert(new XBaseFieldSpec{"IP", XBaseCharacter, 96, 0}, ListTail);
        specs.Insert(new XBaseFieldSpec{"NAME", XBaseCharacter, 20, 0}, ListTail);
        specs.Insert(new XBaseFieldSpec{"VALUE", XBaseCharacter, 254, 0}, ListTail);
        if (!table.Create(tablepath, tablename, "", "", specs)) {
            *error = table.error();
            return 0;
        }
        if (!index.Create(indexpath, indexname, "d.ip", IndexString)) {
            *error = index.error();
            return 0;
        }
    } else if (!table.Open(tablepath, tablename, FileRead | FileWrite)) {
        writable = false;
        if (!table.Open(tablepath, tablename, FileRead)) {
            *error = "The virtual host database is corrupt";
            return 0;
        }
    } else if (!index.Open(indexpath, indexname, FileRead | FileWrite)) {
        *error = "The virtual host database is corrupt";
        return 0;
    }
    XBaseField* ip = FieldNamed(&table, "IP");
    XBaseField* name = FieldNamed(&table, "NAME");
    XBaseField* value = FieldNamed(&table, "VALUE");
    if (ip == nullptr || name == nullptr || value == nullptr) {
        *error = "The virtual host database is corrupt";
        return 0;
    }
    if (!writable) return 1;
    for (int i = 0; i < count; i++) {
        const VirtualHostSetting& s = settings[i];
        RecordedResult recorded = Recorded(&table, ip, name, value, s);
        if (recorded == AlreadyRecorded) continue;
        if (recorded == RecordUnreadable) {
            *error = "The virtual host database is corrupt";
            return 0;
        }
        ip->Set(s.address);
        name->Set(s.key);
        value->Set(s.value);
        if (!table.Append()) {
            *error = table.error();
            return 0;
        }
        if (!index.Insert(table.recordnum(), s.address)) {
            // No live record without its index entry: the new one is marked deleted.
            table.UpdateDeleted(true);
            *error = "The virtual host database is corrupt";
            return 0;
        }
    }
    return 1;
}
