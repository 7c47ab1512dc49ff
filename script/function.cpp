// Function.

#include "script/function.h"

#include "foundation/key_compare.h"

void Function::Split() const {
    if (split_) return;
    split_ = true;
    parameters_.Dump();
    layout_ = 0;
    String rest(parameterlist_);
    rest.StripWhitespace();
    if (rest.empty()) return;
    int start = 0;
    for (;;) {
        int comma = rest.search(",", start);
        String name = rest.at(start, comma < 0 ? rest.length() : comma);
        name.StripWhitespace();
        parameters_.Insert(new Variable(name, ""), ListTail);
        if (comma < 0) break;
        start = comma + 1;
    }
    if (parameters_.Entries() > VariableTree::kSlots) return;
    const char* names[VariableTree::kSlots];
    int n = 0;
    for (Variable* p = parameters_.First(); p != nullptr; p = parameters_.Next()) {
        for (int k = 0; k < n; k++) {
            if (CompareKeys(names[k], p->key()) == 0) return;
        }
        names[n++] = p->key();
    }
    static unsigned long layouts = 0;
    layout_ = ++layouts;
}
