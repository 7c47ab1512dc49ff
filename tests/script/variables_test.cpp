// Variables: scope prefixes, resolution order, assignment inside functions, form
// fields, dynamic variables and listings.

#include "script/variables.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "foundation/time_helpers.h"
#include "script/function.h"
#include "tests/support/print.h"
#include "tests/support/test_engine.h"

namespace {

// An engine with one open database "ORDERS" holding the field TOTAL.
class FieldEngine : public TestKelp, public FieldSource {
  public:
    FieldEngine() : total_("TOTAL", "99") { SetFieldSource(this); }
    Variable* FindField(const String& dbname, const String& varname) override {
        if (!dbname.empty() && dbname != "ORDERS") return nullptr;
        return varname == "TOTAL" ? &total_ : nullptr;
    }
    Variable total_;
};

String Names(VariableList& list) {
    String s;
    for (Variable* v = list.First(); v != nullptr; v = list.Next()) {
        if (!s.empty()) s += ",";
        s += v->name();
    }
    return s;
}

}  // namespace

TEST(Variables, ScopeCodes) {
    struct {
        const char* name;
        VariableScope scope;
        const char* varname;
        const char* dbname;
    } cases[] = {
        {"count", ScopeDefault, "COUNT", ""},
        {"l.count", ScopeLocal, "COUNT", ""},
        {"Local.count", ScopeLocal, "COUNT", ""},
        {"g.x", ScopeGlobal, "X", ""},
        {"GLOBAL.x", ScopeGlobal, "X", ""},
        {"s.path_info", ScopeSystem, "PATH_INFO", ""},
        {"system.x", ScopeSystem, "X", ""},
        {"d.total", ScopeDatabase, "TOTAL", ""},
        {"database.total", ScopeDatabase, "TOTAL", ""},
        {"orders.d.total", ScopeDatabase, "TOTAL", "ORDERS"},
        {"orders.database.total", ScopeDatabase, "TOTAL", "ORDERS"},
        {"lang.x", ScopeDefault, "X", ""},
        {"a.b", ScopeDefault, "A.B", ""},
        {"Gx", ScopeDefault, "GX", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        String varname, dbname;
        EXPECT_EQ(c.scope, Variables::Scope(c.name, &varname, &dbname));
        EXPECT_EQ(String(c.varname), varname);
        EXPECT_EQ(String(c.dbname), dbname);
    }
}

TEST(Variables, LocalAndGlobalAssignmentInsideAFunction) {
    TestKelp engine;
    Variables* v = engine.vars();
    v->SetVariable("l.outside", "1");  // no function: the global scope
    EXPECT_EQ(String("1"), v->Value("outside"));

    VariableTree* scope = new VariableTree(1);
    scope->SetVariable("PARAM", "p");
    v->PushLocalVars(scope);
    v->SetVariable("G.x", "gx");
    v->SetVariable("y", "created global");  // no local y: creates a global
    v->SetVariable("l.z", "local z");
    v->SetVariable("param", "changed");  // an existing local wins
    EXPECT_EQ(String("local z"), v->Value("z"));
    EXPECT_EQ(String("local z"), v->Value("l.z"));
    EXPECT_EQ(String(""), v->Value("g.z"));
    EXPECT_EQ(String("changed"), v->Value("param"));
    EXPECT_EQ(scope, v->PopLocalVars());
    delete scope;

    EXPECT_EQ(String("gx"), v->Value("x"));
    EXPECT_EQ(String("created global"), v->Value("y"));
    EXPECT_EQ(String(""), v->Value("z"));
    EXPECT_EQ(nullptr, v->PopLocalVars());
}

TEST(Variables, RememberedLookupsSeeFunctionScopesThatAppearLater) {
    TestKelp engine;
    Variables* v = engine.vars();
    v->SetVariable("count", "global");
    v->SetVariable("other", "other global");
    // Names resolved once and looked up again, as parsed expressions do.
    ScopedName count = Variables::Resolve("count");
    ScopedName other = Variables::Resolve("other");
    EXPECT_EQ(String("global"), v->Find(count)->value());

    VariableTree empty(1);
    v->PushLocalVars(&empty);
    EXPECT_EQ(String("global"), v->Find(count)->value());
    v->SetVariable("l.count", "made local");  // a name new to function scopes
    EXPECT_EQ(String("made local"), v->Find(count)->value());
    EXPECT_EQ(String("other global"), v->Find(other)->value());
    v->PopLocalVars();
    EXPECT_EQ(String("global"), v->Find(count)->value());

    VariableTree parameters(1);
    parameters.SetVariable("OTHER", "parameter");  // arrives with the scope
    v->PushLocalVars(&parameters);
    EXPECT_EQ(String("parameter"), v->Find(other)->value());
    v->PopLocalVars();
    EXPECT_EQ(String("other global"), v->Find(other)->value());

    // Past the names it can note, every look-up searches the function scope.
    VariableTree many(1);
    for (int i = 0; i < 300; i++) many.SetVariable(String("P").catint(i), "p");
    many.SetVariable("COUNT", "last");
    v->PushLocalVars(&many);
    EXPECT_EQ(String("last"), v->Find(count)->value());
    EXPECT_EQ(String("p"), v->Value("p299"));
    v->PopLocalVars();
}

// A look-up remembered in one call's scope is not the answer in the next call, even
// when the next call's scope is the same object or sits at the same address, nor in a
// call nested inside it, nor after the scope gained the name.
TEST(Variables, RememberedLocalLookupsBelongToOneCall) {
    TestKelp engine;
    Variables* v = engine.vars();
    ScopedName n = Variables::Resolve("n");
    ScopedName l = Variables::Resolve("l.n");
    for (int call = 0; call < 3; call++) {
        VariableTree arguments(1);  // the same address on every pass
        arguments.SetVariable("N", String().catint(call));
        v->PushLocalVars(&arguments);
        EXPECT_EQ(String().catint(call), v->Find(n)->value());
        EXPECT_EQ(String().catint(call), v->Find(l)->value());
        VariableTree inner(1);
        inner.SetVariable("N", "inner");
        v->PushLocalVars(&inner);
        EXPECT_EQ(String("inner"), v->Find(n)->value());
        v->PopLocalVars();
        EXPECT_EQ(String().catint(call), v->Find(n)->value());
        v->PopLocalVars();
    }
    VariableTree scope(1);
    v->PushLocalVars(&scope);
    EXPECT_EQ(nullptr, v->Find(l));
    v->SetVariable("l.n", "made");
    EXPECT_EQ(String("made"), v->Find(l)->value());
    EXPECT_EQ(String("made"), v->Find(n)->value());
    v->PopLocalVars();
    scope.SetVariable("N", "again");  // the same scope pushed once more
    v->PushLocalVars(&scope);
    EXPECT_EQ(String("again"), v->Find(n)->value());
    v->PopLocalVars();
}

// Argument scopes of one layout hold each parameter in the same slot: a look-up
// remembered in one call answers in the next and in recursive calls, never in a scope
// of another layout, and gives way to what the script makes or pushes meanwhile.
TEST(Variables, LayoutScopesFindParametersInTheirSlots) {
    TestKelp engine;
    Variables* v = engine.vars();
    v->SetVariable("b", "global b");
    ScopedName a = Variables::Resolve("a");
    ScopedName b = Variables::Resolve("b");
    ScopedName x = Variables::Resolve("x");
    auto scope = [](VariableTree* t, unsigned long layout, std::vector<const char*> names,
                    const String& tag) {
        t->layout = layout;
        t->slotcount = static_cast<int>(names.size());
        for (size_t i = 0; i < names.size(); i++) {
            Variable* p = new Variable(names[i], tag + names[i]);
            t->slots[i] = p;
            t->Insert(p);
        }
    };
    for (int depth = 0; depth < 3; depth++) {
        VariableTree f(1), g(1), f2(1);
        scope(&f, 901, {"A", "B"}, "f");
        scope(&g, 902, {"B"}, "g");
        scope(&f2, 901, {"A", "B"}, "inner f");
        v->PushLocalVars(&f);
        EXPECT_EQ(String("fA"), v->Find(a)->value());
        EXPECT_EQ(String("fB"), v->Find(b)->value());
        v->PushLocalVars(&g);  // another layout: A is not there, B in another slot
        EXPECT_EQ(nullptr, v->Find(a));
        EXPECT_EQ(String("gB"), v->Find(b)->value());
        v->PushLocalVars(&f2);
        EXPECT_EQ(String("inner fB"), v->Find(b)->value());
        v->PopLocalVars();
        EXPECT_EQ(String("gB"), v->Find(b)->value());
        v->PopLocalVars();
        EXPECT_EQ(String("fA"), v->Find(a)->value());
        EXPECT_EQ(nullptr, v->Find(x));
        v->SetVariable("l.x", "made in f");  // no slot: found by name
        EXPECT_EQ(String("made in f"), v->Find(x)->value());
        VariableTree block(1);
        block.SetVariable("A", "system");  // a block's scope hides the parameter
        v->PushSystemVars(&block);
        EXPECT_EQ(String("system"), v->Find(a)->value());
        v->PopSystemVars();
        EXPECT_EQ(String("fA"), v->Find(a)->value());
        v->PopLocalVars();
        EXPECT_EQ(String("global b"), v->Find(b)->value());
        EXPECT_EQ(nullptr, v->Find(x));
    }
    // Two parameters of one name would share a slot: such a function has no layout.
    Function twice("twice", 0, 1), two("two", 0, 1);
    twice.SetParameters("a, A");
    two.SetParameters("a, b");
    EXPECT_EQ(0u, twice.layout());
    EXPECT_NE(0u, two.layout());
}
TEST(Variables, NumbersAreReadOncePerValue) {
    TestKelp engine;
    Variables* v = engine.vars();
    v->SetVariable("n", "12abc");
    Variable* n = v->Find("n");
    bool whole = true;
    EXPECT_EQ(12, n->Number(&whole));
    EXPECT_FALSE(whole);
    v->SetVariable("n", "7");
    EXPECT_EQ(7, n->Number(&whole));
    EXPECT_TRUE(whole);
    // A value that comes with its number keeps it.
    NumberHint hint;
    hint.known = true;
    hint.number = 40;
    hint.whole = true;
    ASSERT_EQ(1, v->SetVariable(Variables::Resolve("n"), "40", &hint));
    EXPECT_EQ(40, n->Number(&whole));
    EXPECT_TRUE(whole);
    EXPECT_EQ(String("40"), n->value());

    // A whole number assigned as a number reads as its plain decimal text.
    ASSERT_EQ(1, v->SetNumber(Variables::Resolve("n"), -123456789012345.0));
    EXPECT_EQ(-123456789012345.0, n->Number(&whole));
    EXPECT_TRUE(whole);
    EXPECT_EQ(String("-123456789012345"), n->value());
    ASSERT_EQ(1, v->SetNumber(Variables::Resolve("fresh"), 5));  // created as a global
    EXPECT_EQ(String("5"), v->Value("g.fresh"));
    v->AddDynamicVariables();
    EXPECT_EQ(0, v->SetNumber(Variables::Resolve("dyn_time_t"), 1));
    EXPECT_EQ(String("'dyn_time_t' is dynamically generated by the system"), v->error());
}

TEST(Variables, ResolutionOrderSystemLocalDatabaseGlobal) {
    FieldEngine engine;
    Variables* v = engine.vars();
    v->AddGlobalVariable("total", "global");
    EXPECT_EQ(String("99"), v->Value("total"));  // the field hides the global
    EXPECT_EQ(String("global"), v->Value("g.total"));
    EXPECT_EQ(String("99"), v->Value("d.total"));
    EXPECT_EQ(String("99"), v->Value("orders.d.total"));
    EXPECT_EQ(String(""), v->Value("other.d.total"));

    VariableTree local(1);
    local.SetVariable("TOTAL", "local");
    v->PushLocalVars(&local);
    EXPECT_EQ(String("local"), v->Value("total"));
    v->AddSystemVariable("Total", "system");
    EXPECT_EQ(String("system"), v->Value("total"));  // system first
    VariableTree inner(1);
    inner.SetVariable("TOTAL", "inner system");
    v->PushSystemVars(&inner);
    EXPECT_EQ(String("inner system"), v->Value("s.total"));
    EXPECT_EQ(String("system"), v->GetSystemVariableValue("total"));

    // Unprefixed assignment goes to the first existing variable in that order.
    v->SetVariable("total", "1");
    EXPECT_EQ(String("1"), inner.Find("TOTAL")->value());
    EXPECT_EQ(&inner, v->PopSystemVars());
    EXPECT_EQ(nullptr, v->PopSystemVars());  // the base scope stays
    v->SetVariable("d.total", "5");
    EXPECT_EQ(String("5"), engine.total_.value());
    v->PopLocalVars();
}

TEST(Variables, ScriptsCannotCreateSystemOrFieldVariables) {
    TestKelp engine;
    Variables* v = engine.vars();
    EXPECT_EQ(1, v->SetVariable("s.new", "x"));
    EXPECT_EQ(1, v->SetVariable("d.new", "x"));
    EXPECT_EQ(nullptr, v->Find("s.new"));
    EXPECT_EQ(nullptr, v->Find("new"));
    v->AddSystemVariable("server_name", "example.com");
    EXPECT_EQ(1, v->SetVariable("s.server_name", "other"));
    EXPECT_EQ(String("other"), v->Value("server_name"));
}

TEST(Variables, NamesIgnoreCaseAndListInUpperCase) {
    TestKelp engine;
    Variables* v = engine.vars();
    v->SetVariable("Total", "3");
    EXPECT_EQ(String("3"), v->Value("TOTAL"));
    EXPECT_EQ(String("3"), v->Value("g.total"));
    v->AddGlobalVariable("apple", "a");
    v->AddFormVariable("colour", "red");
    v->AddFormVariable("COLOUR", "blue");
    EXPECT_EQ(String("red,blue"), v->Value("colour"));
    VariableList list(0);
    v->GetGlobalVariableList(list);
    EXPECT_EQ(String("apple,colour,TOTAL"), Names(list));
    VariableList locals(0);
    v->GetLocalVariableList(locals);  // outside functions: the globals
    EXPECT_EQ(3, locals.Entries());
}

TEST(Variables, SystemListingInnermostFirst) {
    TestKelp engine;
    Variables* v = engine.vars();
    v->AddSystemVariable("b", "1");
    v->AddSystemVariable("a", "1");
    VariableTree inner(1);
    inner.SetVariable("Z", "1");
    v->PushSystemVars(&inner);
    VariableList list(0);
    v->GetSystemVariableList(list);
    EXPECT_EQ(String("Z,a,b"), Names(list));
    v->PopSystemVars();
}

TEST(Variables, DynamicVariablesRefuseAssignment) {
    TestKelp engine;
    Variables* v = engine.vars();
    v->AddDynamicVariables();
    engine.script().SetLanguage("de-DE");
    EXPECT_EQ(String("de-DE"), v->Value("kelp_language"));
    EXPECT_EQ(String("en-US"), v->Value("kelp_defaultlanguage"));
    engine.script().SetLanguage("");
    EXPECT_EQ(String("de-DE"), v->Value("kelp_language"));
    EXPECT_EQ(String("-1"), v->Value("dyn_time_remaining"));
    engine.SetDeadline(time(nullptr) + 60);
    EXPECT_GE(atoi(v->Value("dyn_time_remaining").chars()), 59);

    EXPECT_EQ(0, v->SetVariable("kelp_language", "fr"));
    EXPECT_EQ(String("'kelp_language' is dynamically generated by the system"), v->error());
    EXPECT_EQ(0, v->SetVariable("s.dyn_time_t", "0"));
    EXPECT_EQ(String("'dyn_time_t' is dynamically generated by the system"), v->error());
    EXPECT_EQ(String("de-DE"), v->Value("kelp_language"));

    long before = time(nullptr);
    long now = atol(v->Value("dyn_time_t").chars());
    EXPECT_GE(now, before);
    EXPECT_LE(now, before + 2);
}

TEST(Variables, DynamicTimeFieldsFollowTheLocalClock) {
    setenv("TZ", "UTC", 1);
    tzset();
    TestKelp engine;
    Variables* v = engine.vars();
    v->AddDynamicVariables();
    time_t now = time(nullptr);
    struct tm t;
    gmtime_r(&now, &t);
    int mon = atoi(v->Value("dyn_tm_mon").chars());
    EXPECT_EQ(t.tm_mon + 1, mon);
    const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    EXPECT_EQ(String(months[mon - 1]), v->Value("dyn_stm_mon"));
    EXPECT_EQ(t.tm_year + 1900, atoi(v->Value("dyn_tm_year").chars()));
    int wday = atoi(v->Value("dyn_tm_wday").chars());
    EXPECT_GE(wday, 1);
    EXPECT_LE(wday, 7);
    EXPECT_EQ(String("0"), v->Value("dyn_tm_isdst"));
    EXPECT_EQ(t.tm_yday + 1, atoi(v->Value("dyn_tm_yday").chars()));
}

TEST(TimeHelpers, CongruentialAndShiftRegisterGenerators) {
    PseudoRND r;
    EXPECT_EQ(16807u, r.LCG());
    EXPECT_EQ(282475249u, r.LCG());
    r.LCGSeed(300000);
    EXPECT_EQ(747132705u, r.LCG());

    PseudoRND a, b;
    a.R250Seed(42);
    b.R250Seed(42);
    for (int i = 0; i < 1000; i++) ASSERT_EQ(a.R250(), b.R250());
    // The first word after seeding combines table words 0 and 103.
    PseudoRND c, d;
    c.R250Seed(7);
    d.LCGSeed(7);
    unsigned long table[250];
    for (unsigned long& w : table) w = d.LCG();
    for (unsigned long& w : table) {
        if (d.LCG() > 0x40000000UL) w |= 0x80000000UL;
    }
    unsigned long mask = 0xFFFFFFFFUL, msb = 0x80000000UL;
    for (int j = 0; j < 32; j++, mask >>= 1, msb >>= 1) {
        table[3 + 7 * j] = (table[3 + 7 * j] & mask) | msb;
    }
    EXPECT_EQ(table[0] ^ table[103], c.R250());
}

TEST(TimeHelpers, DatesReadAsUTC) {
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(0, kp_to_time_t(1970, 1, 1, 0, 0, 0));
    EXPECT_EQ(951782400, kp_to_time_t(2000, 2, 29, 0, 0, 0));
    EXPECT_EQ(kp_to_time_t(2001, 1, 1, 0, 0, 0), kp_to_time_t(2000, 13, 1, 0, 0, 0));
    setenv("TZ", "EST5EDT", 1);
    tzset();
    EXPECT_EQ(0, kp_to_time_t(1970, 1, 1, 0, 0, 0));
    EXPECT_EQ(1215907200, kp_to_time_t(2008, 7, 13, 0, 0, 0));  // in summer time too
    STRTM t;
    kp_gettimevalues(&t);
    EXPECT_STREQ("EDT", t.zone);  // the daylight-saving name, whatever the season
    setenv("TZ", "UTC", 1);
    tzset();
}

TEST(Variables, RequestTimeIsOneSnapshotReadWhenUsed) {
    TestKelp engine;
    Variables* v = engine.vars();
    time_t before = time(nullptr);
    v->AddTimeVariables();
    time_t after = time(nullptr);
    long seconds = atol(v->Value("time_t").chars());
    EXPECT_GE(seconds, static_cast<long>(before));
    EXPECT_LE(seconds, static_cast<long>(after));
    // Every field describes that same second, however late it is read.
    time_t at = seconds;
    struct tm local;
    localtime_r(&at, &local);
    EXPECT_EQ(String::FromInt(local.tm_hour), v->Value("tm_hour"));
    EXPECT_EQ(String::FromInt(local.tm_year + 1900), v->Value("tm_year"));
    EXPECT_EQ(String::FromInt(local.tm_yday + 1), v->Value("tm_yday"));
    EXPECT_EQ(v->Value("time_t"), v->Value("time_t"));
    // The values are system variables like any other: an assignment replaces them.
    EXPECT_EQ(1, v->SetVariable("tm_min", "77"));
    EXPECT_EQ(String("77"), v->Value("tm_min"));
    EXPECT_EQ(1, v->SetVariable("stm_zone", "ZZZ"));  // before its first read
    EXPECT_EQ(String("ZZZ"), v->Value("stm_zone"));
}

TEST(Variables, BuiltInsAreMadeWhenFirstNeeded) {
    TestKelp engine;
    Variables* v = engine.vars();
    v->AddSystemVariable("TM_SEC", "from the environment");  // given before the built-ins
    v->AddTimeVariables();
    v->AddDynamicVariables();
    VariableList none(0);
    v->GetGlobalVariableList(none);
    EXPECT_EQ(0, none.Entries());
    // Found in any case, through the system prefix and as a system variable's value.
    EXPECT_EQ(String("en-US"), v->Value("KELP_Language"));
    EXPECT_EQ(String("en-US"), v->Value("s.kelp_defaultlanguage"));
    EXPECT_EQ(v->Value("time_t"), v->GetSystemVariableValue("TIME_T"));
    EXPECT_EQ(String("from the environment"), v->Value("tm_sec"));
    v->AddProcessIdVariable();
    EXPECT_EQ(String::FromInt(getpid()), v->Value("Process_ID"));
    // A global of a built-in's name is hidden by it, as system variables hide globals.
    v->AddGlobalVariable("dyn_tm_year", "global");
    EXPECT_NE(String("global"), v->Value("dyn_tm_year"));
    EXPECT_EQ(String("global"), v->Value("g.dyn_tm_year"));
    // A listing holds every built-in once, beside the variable given before.
    VariableList list(0);
    v->GetSystemVariableList(list);
    int seconds = 0, builtins = 0;
    for (Variable* x = list.First(); x != nullptr; x = list.Next()) {
        if (CompareKeys(x->name().chars(), "tm_sec") == 0) seconds++;
        String name = x->name().lower();
        if (name.index("dyn_") == 0 || name.index("kelp_") == 0) builtins++;
    }
    EXPECT_EQ(1, seconds);
    EXPECT_EQ(14 + 3, builtins);
}

TEST(Variables, EnvironmentEntriesAreMadeWhenFirstNeeded) {
    TestKelp engine;
    Variables* v = engine.vars();
    char entries[][32] = {"QUERY_STRING=a=b", "PATH=/bin", "TM_HOUR=env", "Given=from env", "odd"};
    char* environment[] = {entries[0], entries[1], entries[2], entries[3], entries[4], nullptr};
    static const char* const kLeftOut[] = {"PATH", nullptr};
    v->AddEnvironment(environment, kLeftOut);
    v->AddTimeVariables();
    v->AddSystemVariable("given", "given");
    EXPECT_EQ(String("a=b"), v->Value("query_string"));
    EXPECT_EQ(String("a=b"), v->GetSystemVariableValue("QUERY_STRING"));
    EXPECT_EQ(String(""), v->Value("path"));        // left out
    EXPECT_EQ(String("given"), v->Value("GIVEN"));  // a variable given hides the entry
    EXPECT_EQ(String(""), v->Value("QUERY"));       // a prefix of a name is no match
    VariableList list(0);
    v->GetSystemVariableList(list);
    String names;
    for (Variable* x = list.First(); x != nullptr; x = list.Next()) {
        String name = x->name().lower();
        if (name == "tm_hour") {
            EXPECT_EQ(String("env"), x->value());  // the entry, not the built-in
        }
        if (name == "given" || name == "query_string" || name == "path" || name == "tm_hour") {
            names += name + ",";
        }
    }
    EXPECT_EQ(String("given,query_string,tm_hour,"), names);
}

// However many names were looked for in vain first (a loop's fields are), the
// environment's entries read the same: found, left out, hidden by a given variable.
TEST(Variables, EnvironmentReadsTheSameAfterManyMisses) {
    for (int misses : {0, 15, 16, 17, 200}) {
        TestKelp engine;
        Variables* v = engine.vars();
        char entries[][32] = {"QUERY_STRING=a=b", "PATH=/bin", "Given=from env", "dyn_time_t=env"};
        char* environment[] = {entries[0], entries[1], entries[2], entries[3], nullptr};
        static const char* const kLeftOut[] = {"PATH", nullptr};
        v->AddEnvironment(environment, kLeftOut);
        v->AddDynamicVariables();
        v->AddSystemVariable("given", "given");
        for (int i = 0; i < misses; i++) {
            EXPECT_EQ(String(""), v->Value("absent" + String::FromInt(i)));
        }
        EXPECT_EQ(String("a=b"), v->Value("query_string")) << misses;
        EXPECT_EQ(String(""), v->Value("path")) << misses;
        EXPECT_EQ(String("given"), v->Value("GIVEN")) << misses;
        EXPECT_EQ(String("env"), v->Value("dyn_time_t")) << misses;  // not the built-in
    }
}
