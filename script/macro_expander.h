// MacroExpander: the character source that replaces &[name]; references with the
// value of the variable name while the script is read, so that the scanner, the
// expression reader and the skip mode all see expanded text.

#ifndef SCRIPT_MACRO_EXPANDER_H_
#define SCRIPT_MACRO_EXPANDER_H_

#include "script/buffer.h"
#include "script/encoding.h"
#include "script/variables.h"

class Kelp;

// The text of a reference between its brackets, read: the variable's name and how
// its value is written. Without an encoding of its own (explicit false), the engine's
// default at the time the value is delivered applies.
struct MacroReference {
    String name;
    // The name resolved once, for a reference read again on every pass.
    ScopedName scoped;
    bool resolved = false;
    MacroEncoding encoding = MacroEncodingNone;
    bool explicitencoding = false;
    bool script = false;  // ":script": the page runs the value as its own text
};
MacroReference ReadMacroReference(const String& inside);

// A reference is "&[" or "&amp;[", the name, "]" and an optional ";". The name may
// carry an encoding after a colon (&[name:entities]; &[name:attribute]; &[name:none];),
// otherwise the engine's default encoding applies. An unknown or empty variable, and
// a reference cut off by the end of the file, produce nothing. Macros do not nest:
// the text of a reference is read raw.
//
// While a value is delivered, inmacro() is true (its line feeds count no lines) and
// CurrentFilePosition() points before the reference, so a position remembered there
// re-expands the reference (with a fresh look-up) when read again. Stepping back
// over a value's first character pushes the whole reference back to the file.
//
// The value of a variable holding outside text (request input, files, tables, the
// network) is delivered with inoutside() true: the scanner and the expression reader
// take its characters as plain text, never as markup or syntax, unless the reference
// says ":script" (&[template:script];): the page then runs the value as its own text.
class MacroExpander final : public Buffer {
  public:
    // engine: not owned; supplies the variables and the default encoding.
    MacroExpander(Kelp* engine, int size);

    long CurrentFilePosition() override { return RawPosition() - (index_ >= 0 ? consumed_ : 0); }
    bool Seek(long offset) override {
        // Loops and calls seek back and forth inside one block: the common case.
        if (index_ < 0 && consumed_ == 0 && offset >= 0 && SeekInBlock(offset)) return true;
        return SeekFar(offset);
    }
    int GetNextChar() override;
    void UnGetChar() override;
    bool inmacro() override { return index_ >= 0; }
    bool inoutside() override { return index_ >= 0 && outside_; }
    // How many "&" characters have been read from the file so far: text without any
    // reads the same on every pass, whatever the variables hold.
    long ampersands() const { return ampersands_; }
    // How many values of outside text have begun to be delivered so far: text read
    // while the count stays the same holds none.
    long outsidevalues() const { return outsidevalues_; }
    void SetExpandMacros(int flag) override { expand_ = flag; }
    int expandmacros() const { return expand_; }

    // A complete reading position, also inside a macro value, to return to later.
    struct Position {
        long offset = 0;  // raw file position of the next character to read
        int index = -1;
        String value;
        int consumed = 0;
        bool outside = false;
    };
    void SavePosition(Position* p);
    bool RestorePosition(const Position& p);

    // Called after an "&" was read: whether a reference follows. If so it is consumed
    // and *value receives the (encoded) value, and *outside whether the variable holds
    // outside text; if not, nothing is consumed.
    bool CheckForMacro(String* value, bool* outside);
    // The value a reference delivers now (encoded) into *value, and in *outside
    // whether it is outside text. An undefined name is warned of when the script asks
    // for that.
    void ReferenceValue(const MacroReference& reference, bool* outside, String* value);
    // The file's characters from one position to another, read as they stand (no
    // reference expanded, nothing counted); the reading position is left at to.
    // False when they cannot all be read. Only outside a macro value.
    bool RawText(long from, long to, String* text);

  private:
    bool SeekFar(long offset);
    void ClearMacro();
    // Pushes back n characters read with the plain reader.
    void PushBack(int n);

    Kelp* engine_;  // not owned
    int expand_;
    int index_;  // next character of value_ to deliver; -1 outside a macro
    String value_;
    int consumed_;  // raw characters of the reference being delivered
    bool outside_;  // the value being delivered is outside text
    String name_;
    MacroEncoding encoding_;
    long ampersands_;
    long outsidevalues_;
};

#endif  // SCRIPT_MACRO_EXPANDER_H_
