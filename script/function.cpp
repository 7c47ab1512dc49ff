// Function.

#include "script/function.h"

void Function::Split() const {
    if (split_) return;
    split_ = true;
    parameters_.Dump();
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
}
