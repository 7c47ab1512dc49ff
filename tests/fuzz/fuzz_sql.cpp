// Query text and values through the sqlite driver: the input's first part is a
// query naming :x and :y, the rest the values. Names become placeholders only
// outside quotes and comments, and a value comes back from the database byte for
// byte whatever it holds (NUL bytes, bytes that are no UTF-8, digits past any
// number's range).

#include <string.h>

#include "data/sql_database.h"
#include "data/sql_drivers.h"
#include "script/variables.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    const char* bytes = reinterpret_cast<const char*>(data);
    const char* cut = static_cast<const char*>(memchr(bytes, '\n', size));
    int querylength = cut != nullptr ? static_cast<int>(cut - bytes) : static_cast<int>(size);
    String query(bytes, querylength);
    String rest =
        cut != nullptr ? String(cut + 1, static_cast<int>(size) - querylength - 1) : String();
    const char* middle = static_cast<const char*>(memchr(rest.chars(), '\t', rest.length()));
    int xlength = middle != nullptr ? static_cast<int>(middle - rest.chars()) : rest.length();
    String x(rest.chars(), xlength);
    String y = middle != nullptr ? String(middle + 1, rest.length() - xlength - 1) : String();

    FuzzKelp engine(ScratchDirectory());
    engine.SetStepBudget(20000);
    engine.vars()->SetVariable("x", x);
    engine.vars()->SetVariable("y", y);
    String error;
    SqlConnection* c = OpenSqlite(&engine, "fuzz.db", true, &error);
    if (c == nullptr) __builtin_trap();
    SqlStatement s;
    if (BindQuery(c, engine.vars(), query, &s, &error)) {
        if (!query.contains(':') && (s.text != query || !s.values.empty())) __builtin_trap();
        SqlRows rows;
        c->Run(s, &rows, &error);
    }
    // Values round trip.
    if (!BindQuery(c, engine.vars(), "SELECT :x, :y", &s, &error)) __builtin_trap();
    SqlRows rows;
    if (!c->Run(s, &rows, &error)) __builtin_trap();
    if (rows.rows() != 1 || rows.at(0, 0).text != x || rows.at(0, 1).text != y) __builtin_trap();
    delete c;
    return 0;
}
