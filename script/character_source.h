// CharacterSource: where the expression reader takes its characters from, a string
// or the script itself through the scanner.

#ifndef SCRIPT_CHARACTER_SOURCE_H_
#define SCRIPT_CHARACTER_SOURCE_H_

// Where expression text is read from: a string, or the script through the scanner
// (so that macros expand and line feeds count lines).
class CharacterSource {
  public:
    virtual ~CharacterSource() {}
    // The next character, or -1 at the end of the input.
    virtual int GetNextChar() = 0;
    // Pushes back the character c just read (never -1).
    virtual void UnGetChar(int c) = 0;
    // Whether the character just read is outside text (delivered by a macro whose
    // value did not come from the page): it is never part of the expression's syntax.
    virtual bool fromoutside() { return false; }
};

#endif  // SCRIPT_CHARACTER_SOURCE_H_
