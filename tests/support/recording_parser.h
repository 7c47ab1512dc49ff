// RecordingParser and Scan: run a page through the tag scanner and describe every
// event it produces, for scanner and macro tests.

#ifndef TESTS_SUPPORT_RECORDING_PARSER_H_
#define TESTS_SUPPORT_RECORDING_PARSER_H_

#include <gtest/gtest.h>

#include <string>

#include "script/buffer.h"
#include "script/macro_expander.h"
#include "script/parser.h"
#include "tests/support/test_engine.h"

// Describes every event in a log: T[text] N[line break] U[unknown tag]
// K[name attr=value ...] with CR and LF shown as \r and \n.
class RecordingParser : public Parser {
  public:
    RecordingParser(Kelp* engine, Buffer* source) : Parser(engine, source) { SetupSupportedTags(); }

    void SetupSupportedTags() override {
        Tag* t = new Tag("KpIF", 17, 19);
        tags().Insert(t);
        tags().Insert(new Tag("KpELSE", 18, 19));
        tags().Insert(new Tag("/KpIF", 19, 0));
        t = new Tag("KpASSIGN", 25, 0);
        t->AddNameValuePair("NAME", "", 1);
        t->AddNameValuePair("VALUE", "", 1);
        tags().Insert(t);
        t = new Tag("KpSMTP", 32, 33);
        t->AddNameValuePair("FROM", "", 1);
        t->AddNameValuePair("SUBJECT", "(no subject)", 0);
        t->AddNameValuePair("CC", "", 0);
        tags().Insert(t);
        tags().Insert(new Tag("KpEXIT", 56, 0));
        tags().Insert(new Tag("KpSKIP", 59, 0));
    }

    int ProcessKnownTag(Tag* tag) override {
        log += "K[" + std::string(tag->name().chars());
        SearchableList<NameValuePair, const char*>& a = tag->attributes();
        for (NameValuePair* p = a.First(); p != nullptr; p = a.Next()) {
            log += " " + std::string(p->name().chars()) + "=" + p->value().chars();
        }
        log += "]";
        lines += std::to_string(line()) + " ";
        if (tag->id() == 56) return 3;  // KpEXIT stops the scan
        return 1;
    }
    int ProcessUnknownTag(const String& text) override { return Record("U", text); }
    int ProcessText(const String& text) override { return Record("T", text); }
    int ProcessNewLine(const String& text) override { return Record("N", text); }

    int Record(const char* kind, const String& text) {
        log += kind;
        log += "[";
        for (int i = 0; i < text.length(); i++) {
            char c = text[i];
            log += c == '\r' ? "\\r" : (c == '\n' ? "\\n" : std::string(1, c));
        }
        log += "]";
        return 1;
    }

    using Parser::GetNextLine;
    std::string log;
    std::string lines;  // the line number at each known tag
};

// Runs a page through a RecordingParser with a small block size, so that block
// boundaries fall everywhere. Variables for macros are set on engine before Parse().
struct Scan {
    explicit Scan(const char* page, int n = -1, int block = 7, bool parse = true)
        : source(&engine, block), result(-1) {
        String path = dir.Write("page.kp", page, n);
        EXPECT_TRUE(source.Open(path, "page.kp"));
        parser = new RecordingParser(&engine, &source);
        if (parse) result = parser->Parse();
    }
    ~Scan() { delete parser; }
    // The page the engine wrote: the error message lines.
    std::string errors() { return engine.page().chars(); }

    TestKelp engine;
    TempDir dir;
    MacroExpander source;  // expands macros; plain text reads as with a Buffer
    RecordingParser* parser;
    int result;
};

#endif  // TESTS_SUPPORT_RECORDING_PARSER_H_
