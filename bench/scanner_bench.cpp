// Scanner throughput on 1 MB and 10 MB pages of the same mix (text lines, known and
// unknown tags, comments, and one attribute holding a tenth of the page). Scanning
// must be linear: the MB/s of both sizes are reported with their ratio.

#include <benchmark/benchmark.h>
#include <stdio.h>

#include <map>
#include <string>

#include "script/buffer.h"
#include "script/parser.h"
#include "tests/support/test_engine.h"

namespace {

class NullParser : public Parser {
  public:
    NullParser(Kelp* engine, Buffer* source) : Parser(engine, source) { SetupSupportedTags(); }
    void SetupSupportedTags() override {
        tags().Insert(new Tag("KpEVAL", 26, 0));
        tags().Insert(new Tag("KpIF", 17, 19));
        tags().Insert(new Tag("/KpIF", 19, 0));
    }
    int ProcessKnownTag(Tag*) override { return 1; }
    int ProcessUnknownTag(const String&) override { return 1; }
    int ProcessText(const String&) override { return 1; }
    int ProcessNewLine(const String&) override { return 1; }
};

std::string MakePage(size_t megabytes) {
    size_t size = megabytes << 20;
    std::string page;
    page.reserve(size + 4096);
    page += "<KpEVAL DATA=\"" + std::string(size / 10, 'd') + "\">\n";
    const char* chunk =
        "<p class=\"row\">Some text of a page, &amp; an entity</p>\n"
        "<KpIF EXPR=\"a EQ 1\">yes<KpEVAL EXPR=x></KpIF>\r\n"
        "<!-- a comment --><## a script comment ##>\n";
    while (page.size() < size) page += chunk;
    return page;
}

void BM_ScanPage(benchmark::State& state) {
    TempDir dir;
    std::string page = MakePage(state.range(0));
    String path = dir.Write("page.kp", page.data(), static_cast<int>(page.size()));
    TestKelp engine;
    for (auto _ : state) {
        Buffer source(engine.filemanager(), 8192);
        source.Open(path, "page.kp");
        NullParser parser(&engine, &source);
        if (!parser.Parse()) state.SkipWithError("scan failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * page.size());
}
BENCHMARK(BM_ScanPage)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

// Console output plus the throughput ratio of the largest page to the smallest.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end()) rates_[r.benchmark_name()] = it->second;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        double small = rates_["BM_ScanPage/1"], large = rates_["BM_ScanPage/10"];
        if (small > 0 && large > 0) {
            printf("scan MB/s: 1 MB page %.1f, 10 MB page %.1f, ratio 10MB/1MB %.2f\n",
                   small / (1 << 20), large / (1 << 20), large / small);
        }
    }

  private:
    std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
