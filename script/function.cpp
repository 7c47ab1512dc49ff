// Function.

#include "script/function.h"

void Function::SetParameters(const String& list) {
    parameters_.Dump();
    String rest(list);
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
