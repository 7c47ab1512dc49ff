// NumberHint: what ToNumber() reads from a value, when whoever computed the value
// knows it already (an arithmetic result is formatted from its number).

#ifndef SCRIPT_NUMBER_HINT_H_
#define SCRIPT_NUMBER_HINT_H_

struct NumberHint {
    bool known = false;
    double number = 0;   // ToNumber() of the value
    bool whole = false;  // and whether all of the value is that number
    // Set by the caller: the value's text may be left unwritten when it is the
    // whole number's plain form; then deferred is set and the text is
    // FormatNumber(number), to be written when someone reads it.
    bool maydefer = false;
    bool deferred = false;
};

#endif  // SCRIPT_NUMBER_HINT_H_
