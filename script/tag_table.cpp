// The table of known tags, filled by the rooms' declarations.

#include "script/tag_table.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "foundation/key_compare.h"
#include "script/tag.h"
#include "script/tag_ids.h"

namespace {

struct Registry {
    std::vector<const TagSpec*> declared;  // the first row of each declaration
    std::vector<const TagSpec*> rows;      // every row, in the order declared
    std::vector<const TagSpec*> byid;      // the first row of each id
    std::vector<const TagSpec*> sorted;    // by name; made again after a declaration
    bool sortedvalid = false;
    // The shapes of the names, made with sorted: for a name with a leading "/" or
    // without, and its first character after it (folded), a bit per length of the
    // rest (31: that long or longer). A name of no such shape is no tag's, and an
    // HTML tag is turned away without a look-up.
    uint32_t shapes[2][256];
};

// The shape of a name: its table, its slot and its bit.
struct Shape {
    int closing;
    unsigned char first;
    uint32_t bit;
};

Shape ShapeOf(const char* name) {
    int closing = name[0] == '/' ? 1 : 0;
    const char* rest = name + closing;
    size_t length = strlen(rest);
    return Shape{closing,
                 static_cast<unsigned char>(FoldKeyChar(static_cast<unsigned char>(rest[0]))),
                 1u << (length < 31 ? length : 31)};
}

Registry& Table() {
    static Registry registry;
    return registry;
}

const std::vector<const TagSpec*>& SortedRows() {
    Registry& r = Table();
    if (!r.sortedvalid) {
        r.sorted = r.rows;
        std::sort(r.sorted.begin(), r.sorted.end(), [](const TagSpec* a, const TagSpec* b) {
            return CompareKeys(a->name, b->name) < 0;
        });
        memset(r.shapes, 0, sizeof r.shapes);
        for (const TagSpec* spec : r.sorted) {
            Shape shape = ShapeOf(spec->name);
            r.shapes[shape.closing][shape.first] |= shape.bit;
        }
        r.sortedvalid = true;
    }
    return r.sorted;
}

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

// Whether name is one of the comma-separated names of list ("*": any).
bool Listed(const char* list, const String& name) {
    if (strcmp(list, "*") == 0) return true;
    const char* start = list;
    for (;;) {
        const char* comma = strchr(start, ',');
        int n =
            comma != nullptr ? static_cast<int>(comma - start) : static_cast<int>(strlen(start));
        if (n == name.length() && strncasecmp(start, name.chars(), static_cast<size_t>(n)) == 0)
            return true;
        if (comma == nullptr) return false;
        start = comma + 1;
    }
}

}  // namespace

void DeclareTags(const TagSpec* specs, int count) {
    Registry& r = Table();
    for (const TagSpec* d : r.declared) {
        if (d == specs) return;
    }
    r.declared.push_back(specs);
    if (r.byid.empty()) r.byid.assign(TagIdCount, nullptr);
    for (int i = 0; i < count; i++) {
        const TagSpec* spec = &specs[i];
        r.rows.push_back(spec);
        if (spec->id >= 0 && spec->id < TagIdCount && r.byid[spec->id] == nullptr)
            r.byid[spec->id] = spec;
    }
    r.sortedvalid = false;
}

const TagSpec* TagSpecOf(int id) {
    const Registry& r = Table();
    return id >= 0 && id < static_cast<int>(r.byid.size()) ? r.byid[id] : nullptr;
}

bool TagHasFlag(int id, int flag) {
    const TagSpec* spec = TagSpecOf(id);
    return spec != nullptr && (spec->flags & flag) != 0;
}

AttributeMode AttributeModeOf(int id, const String& name) {
    const TagSpec* spec = TagSpecOf(id);
    if (spec == nullptr || spec->rules == nullptr) return AttributeEvaluated;
    for (const AttributeRule* rule = spec->rules; rule->names != nullptr; rule++) {
        if (Listed(rule->names, name)) return rule->mode;
    }
    return AttributeEvaluated;
}

bool MayBeTagName(const char* name) {
    SortedRows();
    Shape shape = ShapeOf(name);
    return (Table().shapes[shape.closing][shape.first] & shape.bit) != 0;
}

Tag* MakeTagTemplate(const char* name) {
    const std::vector<const TagSpec*>& sorted = SortedRows();
    auto it = std::lower_bound(
        sorted.begin(), sorted.end(), name,
        [](const TagSpec* spec, const char* n) { return CompareKeys(spec->name, n) < 0; });
    if (it == sorted.end() || CompareKeys((*it)->name, name) != 0) return nullptr;
    return MakeTemplate(**it);
}

int KnownTagCount() {
    return static_cast<int>(Table().rows.size());
}

const char* TagSpelling(int id) {
    const TagSpec* spec = TagSpecOf(id);
    return spec != nullptr ? spec->name : "";
}

void AddTagTarget(TagTable* table, const char* name, int id, int endid) {
    table->Insert(new Tag(name, id, endid));
}
