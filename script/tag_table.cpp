// The tags the interpreter knows: their names, ids, end ids and attribute templates,
// and which of them the base dispatch handles or hands down.

#include "script/tag_table.h"

#include <algorithm>
#include <vector>

#include "foundation/key_compare.h"
#include "script/tag.h"
#include "script/tag_ids.h"

namespace {

// The table of known tags: name, id, end id (0 for none) and the attribute template
// ("NAME*" required, "NAME=value" with a default, "NAME" optional).
struct TagSpec {
    const char* name;
    int id;
    int endid;
    const char* attributes;
};

const TagSpec kTags[] = {
    {"IF", TagIF, TagEndIF, ""},
    {"/IF", TagEndIF, 0, ""},
    {"IMPORT", TagIMPORT, TagEndIMPORT, ""},
    {"/IMPORT", TagEndIMPORT, 0, ""},
    {"EXPORT", TagEXPORT, 0, ""},
    {"LET", TagLET, 0, ""},
    {"EVAL", TagEVAL, 0, ""},
    {"EVALUATE", TagEVAL, 0, ""},
    {"HIDE", TagHIDE, 0, ""},
    {"FILE", TagFILE, 0, ""},
    {"MAIL", TagMAIL, TagEndMAIL, ""},
    {"/MAIL", TagEndMAIL, 0, ""},
    {"WHILE", TagWHILE, TagEndWHILE, ""},
    {"/WHILE", TagEndWHILE, 0, ""},
    {"CALL", TagCALL, TagEndCALL, ""},
    {"/CALL", TagEndCALL, 0, ""},
    {"BRINDLE", TagBRINDLE, 0, ""},
    {"EXIT", TagEXIT, 0, ""},
    {"KpIF", TagKpIF, TagEndKpIF, ""},
    {"KpELSE", TagKpELSE, TagEndKpIF, ""},
    {"/KpIF", TagEndKpIF, 0, ""},
    {"KpIMPORT", TagKpIMPORT, TagEndKpIMPORT, "FILE*,FIELDS*,DELIMITER*"},
    {"KpIMPORTSTOP", TagKpIMPORTSTOP, 0, ""},
    {"/KpIMPORT", TagEndKpIMPORT, 0, ""},
    {"KpEXPORT", TagKpEXPORT, 0, "FILE*,FIELDS*,DELIMITER*"},
    {"KpLET", TagKpLET, 0, ""},
    {"KpASSIGN", TagKpASSIGN, 0, "NAME*,VALUE*"},
    {"KpEVAL", TagKpEVAL, 0, ""},
    {"KpEVALUATE", TagKpEVAL, 0, ""},
    {"KpHIDE", TagKpHIDE, 0, "FIELDS*"},
    {"KpPOP", TagKpPOP, TagEndKpPOP, "LOGIN*,PASSWORD*,DIRECTORY*,MAILHOST*"},
    {"KpPOPSTOP", TagKpPOPSTOP, 0, ""},
    {"KpPOPDELETE", TagKpPOPDELETE, 0, ""},
    {"/KpPOP", TagEndKpPOP, 0, ""},
    {"KpSMTP", TagKpSMTP, TagEndKpSMTP, "FROM*,TO*,MAILHOST*,SUBJECT=(no subject),CC"},
    {"/KpSMTP", TagEndKpSMTP, 0, ""},
    {"KpWHILE", TagKpWHILE, TagEndKpWHILE, ""},
    {"KpWHILESTOP", TagKpWHILESTOP, 0, ""},
    {"/KpWHILE", TagEndKpWHILE, 0, ""},
    {"KpCALL", TagKpCALL, TagEndKpCALL, "ACTION*,METHOD*,FIELDS,FILES"},
    {"KpCALLSTOP", TagKpCALLSTOP, 0, ""},
    {"/KpCALL", TagEndKpCALL, 0, ""},
    {"KpFUNCTION", TagKpFUNCTION, TagEndKpFUNCTION, "NAME*,PARAMETERS"},
    {"KpFUNCRETURN", TagKpFUNCRETURN, 0, "VALUE"},
    {"KpFUNCTIONRETURN", TagKpFUNCRETURN, 0, "VALUE"},
    {"/KpFUNCTION", TagEndKpFUNCTION, 0, ""},
    {"KpCOMMERCE", TagKpCOMMERCE, TagEndKpCOMMERCE, "ACTION,FIELDS"},
    {"KpCOMMERCESTOP", TagKpCOMMERCESTOP, 0, ""},
    {"/KpCOMMERCE", TagEndKpCOMMERCE, 0, ""},
    {"KpCOMMENT", TagKpCOMMENT, TagEndKpCOMMENT, ""},
    {"/KpCOMMENT", TagEndKpCOMMENT, 0, ""},
    {"KpDO", TagKpDO, 0, "FILE*"},
    {"KpLOCKFILE", TagKpLOCKFILE, TagEndKpLOCKFILE, "FILE*"},
    {"/KpLOCKFILE", TagEndKpLOCKFILE, 0, ""},
    {"KpLOCALIZED", TagKpLOCALIZED, TagEndKpLOCALIZED, "NAME,ID"},
    {"/KpLOCALIZED", TagEndKpLOCALIZED, 0, ""},
    {"KpLOCALIZED-TOKEN", TagKpLOCALIZEDTOKEN, 0, "NAME*,VALUE*"},
    {"KpLOCALIZED-TEXT", TagKpLOCALIZEDTEXT, TagEndKpLOCALIZEDTEXT, "LANGUAGE*"},
    {"/KpLOCALIZED-TEXT", TagEndKpLOCALIZEDTEXT, 0, ""},
    {"KpEXIT", TagKpEXIT, 0, ""},
    {"KpOPEN", TagKpOPEN, 0, "NAME*,TYPE=xbase3,DATABASE*,USER,PASSWORD,INDEXES"},
    {"KpCLOSE", TagKpCLOSE, 0, "NAME"},
    {"KpSKIP", TagKpSKIP, 0, "NAME,VIEW,ROWS=1"},
    {"KpGO", TagKpGO, 0, "NAME,VIEW,ROW*"},
    {"KpPRIMARY", TagKpPRIMARY, 0, "NAME*"},
    {"KpFIND", TagKpFIND, 0, "NAME,VIEW,VALUE*"},
    {"KpSETINDEX", TagKpSETINDEX, 0, "NAME,VIEW,INDEXES*"},
    {"KpUPDATE", TagKpUPDATE, 0, "NAME,VIEW"},
    {"KpDELETE", TagKpDELETE, 0, "NAME,VIEW"},
    {"KpUNDELETE", TagKpUNDELETE, 0, "NAME,VIEW"},
    {"KpADD", TagKpADD, 0, "NAME,VIEW"},
    {"KpMAKEINDEX", TagKpMAKEINDEX, 0, "NAME,INDEXFILE*,FLAGS=ascending"},
    {"KpPACK", TagKpPACK, 0, "NAME"},
    {"KpREINDEX", TagKpREINDEX, 0, "NAME"},
    {"KpCREATE", TagKpCREATE, 0, "NAME*,TYPE=xbase3,DATABASE*,FIELDS*"},
    {"KpREVEALSTRUCTURE", TagKpREVEALSTRUCTURE, 0, "NAME,VIEW,DATABASE*"},
    {"KpOPENVIEW", TagKpOPENVIEW, 0, "NAME,VIEW*,QUERY"},
    {"KpCLOSEVIEW", TagKpCLOSEVIEW, 0, "NAME,VIEW"},
    {"KpQUERY", TagKpQUERY, 0, "NAME,QUERY*"},
    {"KpFILTER", TagKpFILTER, 0, "NAME,VIEW,FILTER"},
    {"KELP", TagKELP, 0, ""},
};

}  // namespace

// Tags that the base dispatch hands down to the enclosing block that owns them.
bool TagPassedDown(int id) {
    switch (id) {
        case TagKpIMPORTSTOP:
        case TagKpPOPSTOP:
        case TagKpPOPDELETE:
        case TagKpWHILESTOP:
        case TagKpCALLSTOP:
        case TagKpFUNCRETURN:
        case TagKpCOMMERCESTOP:
            return true;
        default:
            return false;
    }
}

// Tags with a handler of their own (the others are closing or inner tags).
bool TagDispatched(int id) {
    switch (id) {
        case TagIF:
        case TagIMPORT:
        case TagEXPORT:
        case TagLET:
        case TagEVAL:
        case TagHIDE:
        case TagFILE:
        case TagMAIL:
        case TagWHILE:
        case TagCALL:
        case TagBRINDLE:
        case TagKpIF:
        case TagKpIMPORT:
        case TagKpEXPORT:
        case TagKpLET:
        case TagKpASSIGN:
        case TagKpEVAL:
        case TagKpHIDE:
        case TagKpPOP:
        case TagKpSMTP:
        case TagKpWHILE:
        case TagKpCALL:
        case TagKpFUNCTION:
        case TagKpCOMMERCE:
        case TagKpDO:
        case TagKpLOCKFILE:
        case TagKpLOCALIZED:
        case TagKELP:
            return true;
        default:
            return id >= TagKpOPEN && id <= TagKpFILTER;
    }
}

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

const char* TagSpelling(int endid) {
    for (const TagSpec& spec : kTags) {
        if (spec.id == endid) return spec.name;
    }
    return "";
}

void AddTagTarget(TagTable* table, const char* name, int id, int endid) {
    table->Insert(new Tag(name, id, endid));
}
