// The tags the interpreter knows: their names, ids, end ids and attribute templates,
// and which of them the base dispatch handles or hands down.

#include "script/tag_table.h"

#include <algorithm>
#include <vector>

#include "foundation/key_compare.h"
#include "script/tag.h"
#include "script/tag_ids.h"

namespace {

// What the interpreter does with a tag of an id.
enum TagFlag {
    kHandled = 1,       // it has a handler of its own (the others are closing or inner tags)
    kPassedDown = 2,    // the base dispatch hands it down to the enclosing block that owns it
    kContinuesRun = 4,  // it may run between the adds of a run that keeps its table's write
                        // locks (see DataContext::HoldLocks): it computes, decides or loops, and
                        // neither waits nor touches a table; before any other tag the locks
                        // are let go
};

// The table of known tags: name, id, end id (0 for none), the attribute template
// ("NAME*" required, "NAME=value" with a default, "NAME" optional) and flags.
struct TagSpec {
    const char* name;
    int id;
    int endid;
    const char* attributes;
    int flags;
};

const TagSpec kTags[] = {
    {"IF", TagIF, TagEndIF, "", kHandled | kContinuesRun},
    {"/IF", TagEndIF, 0, "", kContinuesRun},
    {"IMPORT", TagIMPORT, TagEndIMPORT, "", kHandled},
    {"/IMPORT", TagEndIMPORT, 0, "", 0},
    {"EXPORT", TagEXPORT, 0, "", kHandled},
    {"LET", TagLET, 0, "", kHandled | kContinuesRun},
    {"EVAL", TagEVAL, 0, "", kHandled | kContinuesRun},
    {"EVALUATE", TagEVAL, 0, "", kHandled | kContinuesRun},
    {"HIDE", TagHIDE, 0, "", kHandled | kContinuesRun},
    {"FILE", TagFILE, 0, "", kHandled},
    {"MAIL", TagMAIL, TagEndMAIL, "", kHandled},
    {"/MAIL", TagEndMAIL, 0, "", 0},
    {"WHILE", TagWHILE, TagEndWHILE, "", kHandled | kContinuesRun},
    {"/WHILE", TagEndWHILE, 0, "", kContinuesRun},
    {"CALL", TagCALL, TagEndCALL, "", kHandled},
    {"/CALL", TagEndCALL, 0, "", 0},
    {"BRINDLE", TagBRINDLE, 0, "", kHandled},
    {"EXIT", TagEXIT, 0, "", 0},
    {"KpIF", TagKpIF, TagEndKpIF, "", kHandled | kContinuesRun},
    {"KpELSE", TagKpELSE, TagEndKpIF, "", kContinuesRun},
    {"/KpIF", TagEndKpIF, 0, "", kContinuesRun},
    {"KpIMPORT", TagKpIMPORT, TagEndKpIMPORT, "FILE*,FIELDS*,DELIMITER*", kHandled},
    {"KpIMPORTSTOP", TagKpIMPORTSTOP, 0, "", kPassedDown},
    {"/KpIMPORT", TagEndKpIMPORT, 0, "", 0},
    {"KpEXPORT", TagKpEXPORT, 0, "FILE*,FIELDS*,DELIMITER*", kHandled},
    {"KpLET", TagKpLET, 0, "", kHandled | kContinuesRun},
    {"KpASSIGN", TagKpASSIGN, 0, "NAME*,VALUE*", kHandled},
    {"KpEVAL", TagKpEVAL, 0, "", kHandled | kContinuesRun},
    {"KpEVALUATE", TagKpEVAL, 0, "", kHandled | kContinuesRun},
    {"KpHIDE", TagKpHIDE, 0, "FIELDS*", kHandled | kContinuesRun},
    {"KpPOP", TagKpPOP, TagEndKpPOP, "LOGIN*,PASSWORD*,DIRECTORY*,MAILHOST*", kHandled},
    {"KpPOPSTOP", TagKpPOPSTOP, 0, "", kPassedDown},
    {"KpPOPDELETE", TagKpPOPDELETE, 0, "", kPassedDown},
    {"/KpPOP", TagEndKpPOP, 0, "", 0},
    {"KpSMTP", TagKpSMTP, TagEndKpSMTP, "FROM*,TO*,MAILHOST*,SUBJECT=(no subject),CC", kHandled},
    {"/KpSMTP", TagEndKpSMTP, 0, "", 0},
    {"KpWHILE", TagKpWHILE, TagEndKpWHILE, "", kHandled | kContinuesRun},
    {"KpWHILESTOP", TagKpWHILESTOP, 0, "", kPassedDown | kContinuesRun},
    {"/KpWHILE", TagEndKpWHILE, 0, "", kContinuesRun},
    {"KpCALL", TagKpCALL, TagEndKpCALL, "ACTION*,METHOD*,FIELDS,FILES", kHandled},
    {"KpCALLSTOP", TagKpCALLSTOP, 0, "", kPassedDown},
    {"/KpCALL", TagEndKpCALL, 0, "", 0},
    {"KpFUNCTION", TagKpFUNCTION, TagEndKpFUNCTION, "NAME*,PARAMETERS", kHandled},
    {"KpFUNCRETURN", TagKpFUNCRETURN, 0, "VALUE", kPassedDown},
    {"KpFUNCTIONRETURN", TagKpFUNCRETURN, 0, "VALUE", kPassedDown},
    {"/KpFUNCTION", TagEndKpFUNCTION, 0, "", 0},
    {"KpCOMMERCE", TagKpCOMMERCE, TagEndKpCOMMERCE, "ACTION,FIELDS", kHandled},
    {"KpCOMMERCESTOP", TagKpCOMMERCESTOP, 0, "", kPassedDown},
    {"/KpCOMMERCE", TagEndKpCOMMERCE, 0, "", 0},
    {"KpCOMMENT", TagKpCOMMENT, TagEndKpCOMMENT, "", kContinuesRun},
    {"/KpCOMMENT", TagEndKpCOMMENT, 0, "", kContinuesRun},
    {"KpDO", TagKpDO, 0, "FILE*", kHandled},
    {"KpLOCKFILE", TagKpLOCKFILE, TagEndKpLOCKFILE, "FILE*", kHandled},
    {"/KpLOCKFILE", TagEndKpLOCKFILE, 0, "", 0},
    {"KpLOCALIZED", TagKpLOCALIZED, TagEndKpLOCALIZED, "NAME,ID", kHandled},
    {"/KpLOCALIZED", TagEndKpLOCALIZED, 0, "", 0},
    {"KpLOCALIZED-TOKEN", TagKpLOCALIZEDTOKEN, 0, "NAME*,VALUE*", 0},
    {"KpLOCALIZED-TEXT", TagKpLOCALIZEDTEXT, TagEndKpLOCALIZEDTEXT, "LANGUAGE*", 0},
    {"/KpLOCALIZED-TEXT", TagEndKpLOCALIZEDTEXT, 0, "", 0},
    {"KpEXIT", TagKpEXIT, 0, "", 0},
    {"KpOPEN", TagKpOPEN, 0, "NAME*,TYPE=xbase3,DATABASE*,USER,PASSWORD,INDEXES", kHandled},
    {"KpCLOSE", TagKpCLOSE, 0, "NAME", kHandled},
    {"KpSKIP", TagKpSKIP, 0, "NAME,VIEW,ROWS=1", kHandled},
    {"KpGO", TagKpGO, 0, "NAME,VIEW,ROW*", kHandled},
    {"KpPRIMARY", TagKpPRIMARY, 0, "NAME*", kHandled},
    {"KpFIND", TagKpFIND, 0, "NAME,VIEW,VALUE*", kHandled},
    {"KpSETINDEX", TagKpSETINDEX, 0, "NAME,VIEW,INDEXES*", kHandled},
    {"KpUPDATE", TagKpUPDATE, 0, "NAME,VIEW", kHandled},
    {"KpDELETE", TagKpDELETE, 0, "NAME,VIEW", kHandled},
    {"KpUNDELETE", TagKpUNDELETE, 0, "NAME,VIEW", kHandled},
    {"KpADD", TagKpADD, 0, "NAME,VIEW", kHandled | kContinuesRun},
    {"KpMAKEINDEX", TagKpMAKEINDEX, 0, "NAME,INDEXFILE*,FLAGS=ascending", kHandled},
    {"KpPACK", TagKpPACK, 0, "NAME", kHandled},
    {"KpREINDEX", TagKpREINDEX, 0, "NAME", kHandled},
    {"KpCREATE", TagKpCREATE, 0, "NAME*,TYPE=xbase3,DATABASE*,FIELDS*", kHandled},
    {"KpREVEALSTRUCTURE", TagKpREVEALSTRUCTURE, 0, "NAME,VIEW,DATABASE*", kHandled},
    {"KpOPENVIEW", TagKpOPENVIEW, 0, "NAME,VIEW*,QUERY", kHandled},
    {"KpCLOSEVIEW", TagKpCLOSEVIEW, 0, "NAME,VIEW", kHandled},
    {"KpQUERY", TagKpQUERY, 0, "NAME,QUERY*", kHandled},
    {"KpFILTER", TagKpFILTER, 0, "NAME,VIEW,FILTER", kHandled},
    {"KELP", TagKELP, 0, "", kHandled},
};

}  // namespace

namespace {

Tag* MakeTemplate(const TagSpec& spec) {
    Tag* t = new Tag(spec.name, spec.id, spec.endid);
    String list(spec.attributes);
    String parts[8];
    int n = list.empty() ? 0 : split(list, parts, 8, String(","));
    for (int i = 0; i < n; i++) {
        String& a = parts[i];
        int required = 0;
        String value;
        if (a.matches('*', a.length() - 1)) {
            required = 1;
            a = a.before(a.length() - 1);
        } else if (a.contains('=', 0)) {
            value = a.after('=');
            a = a.before('=');
        }
        t->AddNameValuePair(a, value, required);
    }
    return t;
}

// The specifications in name order, made once per process.
const std::vector<const TagSpec*>& SortedTags() {
    static const std::vector<const TagSpec*> sorted = [] {
        std::vector<const TagSpec*> v;
        for (const TagSpec& spec : kTags) v.push_back(&spec);
        std::sort(v.begin(), v.end(), [](const TagSpec* a, const TagSpec* b) {
            return CompareKeys(a->name, b->name) < 0;
        });
        return v;
    }();
    return sorted;
}

}  // namespace

Tag* MakeTagTemplate(const char* name) {
    const std::vector<const TagSpec*>& sorted = SortedTags();
    auto it = std::lower_bound(
        sorted.begin(), sorted.end(), name,
        [](const TagSpec* spec, const char* n) { return CompareKeys(spec->name, n) < 0; });
    if (it == sorted.end() || CompareKeys((*it)->name, name) != 0) return nullptr;
    return MakeTemplate(**it);
}

int KnownTagCount() {
    return static_cast<int>(sizeof kTags / sizeof kTags[0]);
}

namespace {

// The flags of each id, worked out once.
int FlagsOf(int id) {
    static const std::vector<int> flags = [] {
        std::vector<int> f(TagKELP + 1, 0);
        for (const TagSpec& spec : kTags) {
            if (spec.id >= 0 && spec.id <= TagKELP) f[spec.id] |= spec.flags;
        }
        return f;
    }();
    return id >= 0 && id <= TagKELP ? flags[id] : 0;
}

}  // namespace

bool TagPassedDown(int id) {
    return (FlagsOf(id) & kPassedDown) != 0;
}

bool TagDispatched(int id) {
    return (FlagsOf(id) & kHandled) != 0;
}

bool TagContinuesRunOfAdds(int id) {
    return (FlagsOf(id) & kContinuesRun) != 0;
}

const char* TagSpelling(int endid) {
    for (const TagSpec& spec : kTags) {
        if (spec.id == endid) return spec.name;
    }
    return "";
}

void AddTagTarget(TagTable* table, const char* name, int id, int endid) {
    table->Insert(new Tag(name, id, endid));
}
