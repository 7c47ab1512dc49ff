// Table and index throughput: N records appended with one index (as a page's run of
// adds makes them: marked until the key is in, the files held between appends), N exact look-ups
// through the index, and a walk of the whole index in key order. Prints the
// records per second of each phase: "append R lookup R walk R".

#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>

#include "data/data_context.h"
#include "data/index_file.h"
#include "data/xbase_table.h"
#include "tests/support/test_engine.h"

namespace {

double Now() {
    struct timeval t;
    gettimeofday(&t, nullptr);
    return t.tv_sec + t.tv_usec / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    long n = argc > 1 ? atol(argv[1]) : 100000;
    TestKelp engine;
    TempDir dir;
    List<XBaseFieldSpec> specs(1);
    specs.Insert(new XBaseFieldSpec{"ID", XBaseNumber, 8, 0}, ListTail);
    specs.Insert(new XBaseFieldSpec{"NAME", XBaseCharacter, 20, 0}, ListTail);
    XBaseTable table(engine.filemanager());
    BrnIndexFile index(engine.filemanager());
    if (!table.Create(dir.File("t.dbf"), "t.dbf", "", "", specs) ||
        !index.Create(dir.File("t.kpx"), "t.kpx", "ID", IndexUnique)) {
        fprintf(stderr, "cannot create the table\n");
        return 1;
    }
    XBaseField* id = table.fields().First();
    XBaseField* name = table.fields().Next();
    double start = Now();
    // As a page's run of adds does it: the table and the index held, let go and
    // taken again whenever they have been held for the engine's limit.
    double heldsince = 0;
    for (long i = 0; i < n; i++) {
        if (Now() - heldsince >= DataContext::kHeldLocksMilliseconds / 1000.0) {
            index.ReleaseHold();
            table.ReleaseHold();
            if (!table.Hold() || !index.Hold()) {
                fprintf(stderr, "cannot lock: %s%s\n", table.error().chars(),
                        index.error().chars());
                return 1;
            }
            heldsince = Now();
        }
        long key = (i * 7919) % n;  // all keys, in scattered order
        id->Set(String::FromInt(key));
        name->Set("name " + String::FromInt(key));
        if (!table.Append(true) || !index.Insert(table.recordnum(), String::FromInt(key)) ||
            !table.ConfirmAppend()) {
            fprintf(stderr, "append failed: %s%s\n", table.error().chars(), index.error().chars());
            return 1;
        }
    }
    index.ReleaseHold();
    table.ReleaseHold();
    double appended = Now();
    for (long i = 0; i < n; i++) {
        long recno;
        long key = (i * 104729) % n;
        if (!index._Find(String::FromInt(key), true, &recno) || recno == 0 || !table.Goto(recno)) {
            fprintf(stderr, "look-up of %ld failed\n", key);
            return 1;
        }
    }
    // The walk starts with nothing cached, as in a request of its own.
    BrnIndexFile walker(engine.filemanager());
    if (!walker.Open(dir.File("t.kpx"), "t.kpx", FileRead)) {
        fprintf(stderr, "cannot open the index: %s\n", walker.error().chars());
        return 1;
    }
    double looked = Now();
    long count = 0, recno;
    for (walker._First(&recno); recno != 0; walker._Next(&recno)) count++;
    double walked = Now();
    if (count != n) {
        fprintf(stderr, "walk found %ld of %ld\n", count, n);
        return 1;
    }
    printf("append %.0f lookup %.0f walk %.0f\n", n / (appended - start), n / (looked - appended),
           n / (walked - looked));
    return 0;
}
