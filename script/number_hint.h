// NumberHint: what ToNumber() reads from a value, when whoever computed the value
// knows it already (an arithmetic result is formatted from its number).

#ifndef SCRIPT_NUMBER_HINT_H_
#define SCRIPT_NUMBER_HINT_H_

struct NumberHint {
    bool known = false;
    double number = 0;   // ToNumber() of the value
    bool whole = false;  // and whether all of the value is that number
};

#endif  // SCRIPT_NUMBER_HINT_H_
