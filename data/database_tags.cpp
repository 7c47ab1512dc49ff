// The database tags: each finds the database and view it acts on, calls the driver
// and turns the outcome into the page's behaviour: success, "EOF" in the tag's
// _Error variable at end of file, or a runtime error with the driver's message.

#include "data/database_tags.h"

#include <stdlib.h>
#include <string.h>

#include "data/data_context.h"
#include "data/sql_database.h"
#include "data/xbase_database.h"
#include "script/encoding.h"
#include "script/engine.h"
#include "script/script_parser.h"
#include "script/tag_table.h"
#include "script/variables.h"

namespace {

Kelp* Engine(ScriptState* state) {
    return state->parser()->engine();
}

// The database and view a tag acts on (NAME and VIEW, else the primary ones); false
// after reporting why there is none (*result holds the tag's result then).
bool GetDatabase(ScriptState* state, Tag* tag, Database** db, DatabaseView** view, int* result) {
    Kelp* engine = Engine(state);
    NameValuePair* name = tag->Find("NAME");
    if (name != nullptr) {
        *db = DataContext::Of(engine)->FindDatabase(name->value());
        if (*db == nullptr) {
            *result =
                state->RuntimeError(tag, "Database '" + Entities(name->value()) + "' is not open");
            return false;
        }
    } else {
        *db = DataContext::Of(engine)->primarydatabase();
        if (*db == nullptr) {
            *result = state->RuntimeError(
                tag, "There is no primary database, and no database was specified");
            return false;
        }
    }
    NameValuePair* v = tag->Find("VIEW");
    if (view == nullptr) return true;
    if (v != nullptr) {
        *view = (*db)->FindView(v->value());
        if (*view == nullptr) {
            *result =
                state->RuntimeError(tag, "Database '" + Entities((*db)->name()) +
                                             "' has no view named '" + Entities(v->value()) + "'");
            return false;
        }
    } else {
        *view = (*db)->PrimaryView();
        if (*view == nullptr) {
            *result = state->RuntimeError(
                tag, "Database '" + Entities((*db)->name()) + "' has no primary view");
            return false;
        }
    }
    return true;
}

// The outcome of a move, search or change.
int Outcome(ScriptState* state, Tag* tag, DatabaseView* view, DatabaseResult r) {
    if (r == DatabaseDone) return StateDone;
    if (r == DatabaseEndOfFile) {
        state->parser()->variables()->SetVariable(tag->name() + "_Error", "EOF", false);
        return StateDone;
    }
    return state->RuntimeError(tag, view->error());
}

// A database-level operation: done, or a runtime error with the database's message.
int Done(ScriptState* state, Tag* tag, Database* db, bool ok) {
    return ok ? StateDone : state->RuntimeError(tag, db->error());
}

// KpOPEN and KpCREATE: a fresh database under NAME.
int OpenOrCreate(ScriptState* state, Tag* tag, bool create) {
    Kelp* engine = Engine(state);
    String name = tag->Value("NAME");
    if (DataContext::Of(engine)->FindDatabase(name) != nullptr) {
        return state->RuntimeError(
            tag, "A database with the name '" + Entities(name) + "' is already open");
    }
    String type = tag->Value("TYPE").trimmed();
    Database* db;
    if (type.matches("xbase3")) {
        db = new XBaseDatabase(state->parser(), name);
    } else if (type.matches("sqlite")) {
        db = new SqlDatabase(state->parser(), name, "sqlite");
    } else if (type.matches("postgresql")) {
        db = new SqlDatabase(state->parser(), name, "postgresql");
    } else {
        return state->RuntimeError(tag, "Unsupported database type '" + Entities(type) + "'");
    }
    bool ok = create ? db->Create(tag->Value("DATABASE"), tag->Value("FIELDS"))
                     : db->Open(tag->Value("DATABASE"), tag->Value("USER"), tag->Value("PASSWORD"));
    if (ok && !create && !tag->Value("INDEXES").trimmed().empty()) {
        ok = db->OpenIndexes(tag->Value("INDEXES"));
    }
    if (!ok) {
        String message = db->error();
        delete db;
        return state->RuntimeError(tag, message);
    }
    DataContext::Of(engine)->AddDatabase(db);
    return StateDone;
}

int ProcessKpOPEN(ScriptState* state, Tag* tag) {
    return OpenOrCreate(state, tag, false);
}

int ProcessKpCREATE(ScriptState* state, Tag* tag) {
    return OpenOrCreate(state, tag, true);
}

int ProcessKpCLOSE(ScriptState* state, Tag* tag) {
    Database* db;
    int result;
    if (!GetDatabase(state, tag, &db, nullptr, &result)) return result;
    DataContext::Of(Engine(state))->RemoveDatabase(db);
    return StateDone;
}

int ProcessKpPRIMARY(ScriptState* state, Tag* tag) {
    Database* db;
    int result;
    if (!GetDatabase(state, tag, &db, nullptr, &result)) return result;
    DataContext::Of(Engine(state))->SetPrimaryDatabase(db);
    NameValuePair* view = tag->Find("VIEW");
    if (view != nullptr) {
        DatabaseView* v = db->FindView(view->value());
        if (v == nullptr) {
            return state->RuntimeError(tag, "Database '" + Entities(db->name()) +
                                                "' has no view named '" + Entities(view->value()) +
                                                "'");
        }
        db->SetPrimaryView(v);
    }
    NameValuePair* index = tag->Find("INDEX");
    if (index != nullptr) return Done(state, tag, db, db->SetPrimaryIndex(index->value()));
    return StateDone;
}

// KpSKIP, KpGO, KpFIND, KpADD, KpUPDATE, KpDELETE and KpUNDELETE: a view operation.
int ViewOperation(ScriptState* state, Tag* tag) {
    Database* db;
    DatabaseView* view;
    int result;
    if (!GetDatabase(state, tag, &db, &view, &result)) return result;
    DatabaseResult r = DatabaseFailed;
    switch (tag->id()) {
        case TagKpSKIP: {
            // strtol() passes over the whitespace around the number itself; a single
            // digit, the usual count, is read without it.
            NameValuePair* rows = tag->Find("ROWS");
            const String* count = rows != nullptr ? &rows->value() : nullptr;
            long n = 0;
            if (count != nullptr && count->length() == 1 && (*count)[0] >= '0' &&
                (*count)[0] <= '9') {
                n = (*count)[0] - '0';
            } else if (count != nullptr) {
                n = strtol(count->chars(), nullptr, 10);
            }
            r = view->Skip(n);
            break;
        }
        case TagKpGO: {
            String row = tag->Value("ROW").trimmed();
            // -1 and -2 are top and bottom too; any other number below 1 is past the end.
            long n = row.matches("top")      ? -1
                     : row.matches("bottom") ? -2
                                             : strtol(row.chars(), nullptr, 10);
            r = view->Go(n);
            break;
        }
        case TagKpFIND:
            r = view->Find(tag->Value("VALUE"), tag->Find("EXACT") != nullptr);
            break;
        case TagKpADD:
            r = view->Add();
            break;
        case TagKpUPDATE:
            r = view->Update();
            break;
        case TagKpDELETE:
            r = view->Delete();
            break;
        case TagKpUNDELETE:
            r = view->UnDelete();
            break;
        default:
            break;
    }
    return Outcome(state, tag, view, r);
}

int ProcessKpMAKEINDEX(ScriptState* state, Tag* tag) {
    NameValuePair* expression = tag->Find("EXPR");
    if (expression == nullptr) expression = tag->Find("EXPRESSION");
    if (expression == nullptr) {
        state->parser()->SyntaxError(tag->name() + " requires the EXPR attribute to be specified");
        return StateError;
    }
    Database* db;
    int result;
    if (!GetDatabase(state, tag, &db, nullptr, &result)) return result;
    return Done(state, tag, db,
                db->CreateIndex(tag->Value("INDEXFILE"), expression->value(), tag->Value("FLAGS")));
}

// A query is the page's own text: outside text never reaches a database as SQL (its
// values are named as :variables and bound). False with *result the tag's result.
bool OwnQuery(ScriptState* state, Tag* tag, int* result) {
    NameValuePair* query = tag->Find("QUERY");
    if (query == nullptr || !query->outside()) return true;
    *result = state->RuntimeError(tag,
                                  "The query holds text from outside the page, which never "
                                  "reaches a database as SQL: name such values as :variables");
    return false;
}

// KpSETINDEX, KpPACK, KpREINDEX and KpQUERY: an operation of the whole database.
int DatabaseOperation(ScriptState* state, Tag* tag) {
    Database* db;
    int result;
    if (!GetDatabase(state, tag, &db, nullptr, &result)) return result;
    if (!OwnQuery(state, tag, &result)) return result;
    switch (tag->id()) {
        case TagKpSETINDEX:
            return Done(state, tag, db, db->OpenIndexes(tag->Value("INDEXES")));
        case TagKpPACK:
            return Done(state, tag, db, db->Pack());
        case TagKpREINDEX:
            return Done(state, tag, db, db->Reindex());
        default:
            return Done(state, tag, db, db->RunQuery(tag->Value("QUERY")));
    }
}

// KpREVEALSTRUCTURE and KpFILTER: an operation of a view that moves nowhere.
int ViewSetting(ScriptState* state, Tag* tag) {
    Database* db;
    DatabaseView* view;
    int result;
    if (!GetDatabase(state, tag, &db, &view, &result)) return result;
    bool ok = tag->id() == TagKpFILTER ? view->SetFilter(tag->Value("FILTER"))
                                       : view->RevealStructure(tag->Value("DATABASE"));
    return ok ? StateDone : state->RuntimeError(tag, view->error());
}

int ProcessKpOPENVIEW(ScriptState* state, Tag* tag) {
    Database* db;
    int result;
    if (!GetDatabase(state, tag, &db, nullptr, &result)) return result;
    if (!OwnQuery(state, tag, &result)) return result;
    String view = tag->Value("VIEW");
    if (db->FindView(view) != nullptr) {
        return state->RuntimeError(tag, "Database '" + Entities(db->name()) +
                                            "' already has a view named '" + Entities(view) + "'");
    }
    return Done(state, tag, db, db->OpenView(view, tag->Value("QUERY")));
}

int ProcessKpCLOSEVIEW(ScriptState* state, Tag* tag) {
    Database* db;
    DatabaseView* view;
    int result;
    if (!GetDatabase(state, tag, &db, &view, &result)) return result;
    // The one view of a table is the table itself: it goes when the table closes.
    if (strcmp(db->type(), "xbase3") == 0) return StateDone;
    db->RemoveView(view);
    Engine(state)->vars()->Invalidate();
    return StateDone;
}

}  // namespace

namespace {

const AttributeRule kMakeIndexRules[] = {{"EXPR,EXPRESSION", AttributeSource},
                                         {nullptr, AttributeEvaluated}};
const AttributeRule kFilterRules[] = {{"FILTER", AttributeSource}, {nullptr, AttributeEvaluated}};
const int kGoesOn = kNonFatal;
const TagSpec kDatabaseTags[] = {
    {"KpOPEN", TagKpOPEN, 0, "NAME*,TYPE=xbase3,DATABASE*,USER,PASSWORD,INDEXES", kGoesOn,
     ProcessKpOPEN, nullptr, nullptr},
    {"KpCLOSE", TagKpCLOSE, 0, "NAME", kGoesOn, ProcessKpCLOSE, nullptr, nullptr},
    {"KpSKIP", TagKpSKIP, 0, "NAME,VIEW,ROWS=1", kGoesOn | kInPlace, ViewOperation, nullptr,
     nullptr},
    {"KpGO", TagKpGO, 0, "NAME,VIEW,ROW*", kGoesOn | kInPlace, ViewOperation, nullptr, nullptr},
    {"KpPRIMARY", TagKpPRIMARY, 0, "NAME*", 0, ProcessKpPRIMARY, nullptr, nullptr},
    {"KpFIND", TagKpFIND, 0, "NAME,VIEW,VALUE*", kGoesOn | kInPlace, ViewOperation, nullptr,
     nullptr},
    {"KpSETINDEX", TagKpSETINDEX, 0, "NAME,VIEW,INDEXES*", kGoesOn, DatabaseOperation, nullptr,
     nullptr},
    {"KpUPDATE", TagKpUPDATE, 0, "NAME,VIEW", kGoesOn, ViewOperation, nullptr, nullptr},
    {"KpDELETE", TagKpDELETE, 0, "NAME,VIEW", kGoesOn, ViewOperation, nullptr, nullptr},
    {"KpUNDELETE", TagKpUNDELETE, 0, "NAME,VIEW", kGoesOn, ViewOperation, nullptr, nullptr},
    // A run of adds keeps the table's write locks from one KpADD to the next.
    {"KpADD", TagKpADD, 0, "NAME,VIEW", kGoesOn | kContinuesRun, ViewOperation, nullptr, nullptr},
    {"KpMAKEINDEX", TagKpMAKEINDEX, 0, "NAME,INDEXFILE*,FLAGS=ascending", 0, ProcessKpMAKEINDEX,
     nullptr, kMakeIndexRules},
    {"KpPACK", TagKpPACK, 0, "NAME", kGoesOn, DatabaseOperation, nullptr, nullptr},
    {"KpREINDEX", TagKpREINDEX, 0, "NAME", kGoesOn, DatabaseOperation, nullptr, nullptr},
    {"KpCREATE", TagKpCREATE, 0, "NAME*,TYPE=xbase3,DATABASE*,FIELDS*", kGoesOn, ProcessKpCREATE,
     nullptr, nullptr},
    {"KpREVEALSTRUCTURE", TagKpREVEALSTRUCTURE, 0, "NAME,VIEW,DATABASE*", kGoesOn, ViewSetting,
     nullptr, nullptr},
    {"KpOPENVIEW", TagKpOPENVIEW, 0, "NAME,VIEW*,QUERY", kGoesOn, ProcessKpOPENVIEW, nullptr,
     nullptr},
    {"KpCLOSEVIEW", TagKpCLOSEVIEW, 0, "NAME,VIEW", kGoesOn, ProcessKpCLOSEVIEW, nullptr, nullptr},
    {"KpQUERY", TagKpQUERY, 0, "NAME,QUERY*", kGoesOn, DatabaseOperation, nullptr, nullptr},
    {"KpFILTER", TagKpFILTER, 0, "NAME,VIEW,FILTER", kGoesOn, ViewSetting, nullptr, kFilterRules},
};

}  // namespace

void DeclareDatabaseTags() {
    DeclareTags(kDatabaseTags);
}
