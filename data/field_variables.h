// Field variables: the columns of an open table's current record, and a few record
// variables, as script variables of the database scope (d.NAME, alias.d.NAME, or
// NAME alone). Reading one reads the field; assigning validates the text and stores
// it in the field, to be written by the next add or update.
//
// What a field holds came from the table, not from the page: every field variable
// is outside text, whatever a page assigns to it.
//
// Assignment errors (the texts hold TAB characters between some words, as shown):
//   number  "Value\tassigned to numeric field contains more\tthan one decimal point"
//           "Value\tassigned to numeric field contains a non-numeric character"
//           "Value\tassigned to numeric field is too long"
//   date    "Value\tassigned to date field contains\ta non-numeric character"
//           "Invalid month" (1-12), "Invalid day" (0-31), "Invalid year" (0-9999)

#ifndef DATA_FIELD_VARIABLES_H_
#define DATA_FIELD_VARIABLES_H_

#include "data/xbase_table.h"
#include "script/variables.h"

// A column of the current record.
class XBaseVariable : public Variable {
  public:
    // field: not owned (the table's); lives as long as the table's field list.
    XBaseVariable(const String& name, XBaseField* field) : Variable(name, ""), field_(field) {
        KeepOutside();
    }
    const String& value() override {
        Read(&text_);
        return text_;
    }
    int SetValue(const String& value) override { return Assign(value); }
    int SetNumber(double number) override;
    bool stable() const override { return false; }

  protected:
    // The value as scripts read it, into text.
    virtual void Read(String* text) { text->assign(field_->data()); }
    // Validates, converts and stores; 0 with error() set when refused.
    virtual int Assign(const String& value) {
        field_->Set(value);
        return 1;
    }

    XBaseField* field_;  // not owned
    String text_;
};

// C and M fields: the text as it stands.
typedef XBaseVariable XBaseCharVariable;

// N fields: read without leading blanks; assigned as validated, formatted digits.
class XBaseNumberVariable : public XBaseVariable {
  public:
    using XBaseVariable::XBaseVariable;

  protected:
    void Read(String* text) override;
    int Assign(const String& value) override;
};

// D fields as a time value: midnight of the date, local time, in seconds.
class XBaseDateTimeTVariable : public XBaseVariable {
  public:
    using XBaseVariable::XBaseVariable;

  protected:
    void Read(String* text) override;
    int Assign(const String& value) override;
};

// NAME_month, NAME_day, NAME_year and NAME_raw of a D field.
enum DatePart { DateMonth, DateDay, DateYear, DateRaw };

class XBaseDatePartVariable : public XBaseVariable {
  public:
    XBaseDatePartVariable(const String& name, XBaseField* field, DatePart part)
        : XBaseVariable(name, field), part_(part) {}

  protected:
    void Read(String* text) override;
    int Assign(const String& value) override;

  private:
    DatePart part_;
};

// L fields: "1" for Y, y, T, t, else "0"; assigned T for a true value, else F.
class XBaseBoolVariable : public XBaseVariable {
  public:
    using XBaseVariable::XBaseVariable;

  protected:
    void Read(String* text) override;
    int Assign(const String& value) override;
};

// totrec, recno, deleted and eof: read from the table or the view, never assigned
// (an assignment is ignored).
class XBaseRecordVariable : public Variable {
  public:
    // reader: computes the value; it lives as long as the variable.
    typedef String (*Reader)(const void* source);
    XBaseRecordVariable(const String& name, const void* source, Reader reader)
        : Variable(name, ""), source_(source), reader_(reader) {
        KeepOutside();
    }
    const String& value() override {
        text_ = reader_(source_);
        return text_;
    }
    int SetValue(const String&) override { return 1; }
    int SetNumber(double) override { return 1; }
    bool stable() const override { return false; }

  private:
    const void* source_;  // not owned
    Reader reader_;
    String text_;
};

#endif  // DATA_FIELD_VARIABLES_H_
