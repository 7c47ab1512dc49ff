// kelp-check: reads pages without running them and reports every problem it can
// find, one line each, "FILE:LINE: message" (the form editors and CI read).

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "foundation/output.h"
#include "host/config.h"
#include "script/macro_expander.h"
#include "tools/page_checker.h"
#include "tools/tool_engine.h"

namespace {

const char kUsage[] =
    "usage: kelp-check [-q] [--format=json] PAGE...\n"
    "       kelp-check [-q] [--format=json] --config FILE\n"
    "\n"
    "Reads each page without running it and reports, one line each as FILE:LINE: message,\n"
    "syntax errors, blocks left open, middle tags outside their block, expression errors,\n"
    "calls of unknown functions and wrong argument counts, functions declared twice, and\n"
    "unknown Kp tags (warnings).\n"
    "With --config, reads a configuration file as kelp does and reports its syntax errors,\n"
    "unknown keys and tags, and a data directory inside kelproot (warnings).\n"
    "\n"
    "  -q              print only the number of problems\n"
    "  --format=json   print the problems as a JSON array\n"
    "\n"
    "Exit status: 0 clean, 1 something was reported, 2 usage or a page that cannot be read.\n";

// Output that goes nowhere: a checker writes no page.
class NoOutput : public Output {
  public:
    NoOutput() : Output(4096) {}
    int DoWrite(const char*, int n) override { return n; }
};

String Directory(const String& path) {
    int slash = -1;
    for (int i = 0; i < path.length(); i++) {
        if (path[i] == '/') slash = i;
    }
    return slash < 0 ? String(".") : path.at(0, slash == 0 ? 1 : slash);
}

bool Readable(const String& path) {
    FILE* f = fopen(path.chars(), "rb");
    if (f == nullptr) return false;
    fclose(f);
    return true;
}

// The largest included page that is read.
const long kLargestInclude = 4L << 20;

// Whether an included page is followed: a regular file of at most kLargestInclude
// bytes below root (the checked page's directory), symbolic links resolved. Devices
// and pipes would never end, and a page of the site includes nothing from elsewhere.
bool Includable(const String& path, const String& root) {
    char* real = realpath(path.chars(), nullptr);
    char* top = realpath(root.chars(), nullptr);
    bool below = false;
    if (real != nullptr && top != nullptr) {
        size_t n = strlen(top);
        below = strncmp(real, top, n) == 0 && (real[n] == '/' || (n == 1 && top[0] == '/'));
    }
    struct stat st;
    bool ok = below && stat(real, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kLargestInclude;
    free(real);
    free(top);
    return ok;
}

// Checks one page. Problems of the page itself go to *problems. A KpDO VALUE
// expression is evaluated with the functions of the file it names: that file (found
// from the page's directory) is read for its declarations, each file once.
void CheckPage(const String& path, std::vector<CheckProblem>* problems) {
    ToolKelp engine;
    NoOutput out;
    MacroExpander source(&engine, 16);
    source.Open(path, path);
    PageChecker checker(&engine, &source, &out, path);
    checker.Check(problems);
    std::map<std::string, std::map<std::string, DeclaredFunction>> files;
    std::set<std::string> unreadable;
    auto functionsof = [&](const String& file) -> const std::map<std::string, DeclaredFunction>* {
        String include = file.matches('/', 0) ? file : Directory(path) + "/" + file;
        auto known = files.find(include.chars());
        if (known != files.end()) return &known->second;
        if (unreadable.count(include.chars()) != 0) return nullptr;
        if (!Includable(include, Directory(path))) {
            unreadable.insert(include.chars());
            return nullptr;
        }
        ToolKelp e;
        NoOutput o;
        MacroExpander s(&e, 16);
        s.Open(include, include);
        PageChecker c(&e, &s, &o, include);
        std::vector<CheckProblem> ignored;
        c.Check(&ignored);
        return &(files[include.chars()] = c.declared());
    };
    checker.Resolve(functionsof, problems);
}

void JSON(const String& text, std::string* out) {
    out->push_back('"');
    for (const char* p = text.chars(); *p != '\0'; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            char e[8];
            snprintf(e, sizeof e, "\\u%04x", c);
            out->append(e);
        } else {
            out->push_back(static_cast<char>(c));
        }
    }
    out->push_back('"');
}

// Reads a configuration file as the engine does at the start of a request.
bool CheckConfiguration(const String& path, std::vector<CheckProblem>* problems) {
    String text;
    if (!FileManager::ReadTextFile(path, &text)) return false;
    UNIXConfig config(nullptr, false);
    bool parsed = config.UseConfiguration(&text) == 0;
    bool valid = parsed && config.ValidateConfiguration() == 0;
    for (const ConfigWarning& w : config.warnings())
        problems->push_back(CheckProblem{path, w.line, true, "Warning: " + w.text});
    if (!valid)
        problems->push_back(
            CheckProblem{path, config.failure().line, false, config.failure().text});
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool quiet = false, json = false;
    std::vector<String> pages;
    std::vector<String> configs;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--config") == 0 && i + 1 < argc) {
            configs.push_back(String(argv[++i]));
        } else if (strncmp(argv[i], "--config=", 9) == 0) {
            configs.push_back(String(argv[i] + 9));
        } else if (strcmp(argv[i], "-q") == 0) {
            quiet = true;
        } else if (strcmp(argv[i], "--format=json") == 0) {
            json = true;
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(kUsage, stdout);
            return 0;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            fputs(kUsage, stderr);
            return 2;
        } else {
            pages.push_back(String(argv[i]));
        }
    }
    if (pages.empty() && configs.empty()) {
        fputs(kUsage, stderr);
        return 2;
    }
    std::vector<CheckProblem> problems;
    bool unreadable = false;
    for (const String& config : configs) {
        if (!CheckConfiguration(config, &problems)) {
            fprintf(stderr, "kelp-check: %s cannot be read\n", config.chars());
            unreadable = true;
        }
    }
    for (const String& page : pages) {
        if (!Readable(page)) {
            fprintf(stderr, "kelp-check: %s cannot be read\n", page.chars());
            unreadable = true;
            continue;
        }
        std::vector<CheckProblem> found;
        CheckPage(page, &found);
        std::stable_sort(
            found.begin(), found.end(),
            [](const CheckProblem& a, const CheckProblem& b) { return a.line < b.line; });
        problems.insert(problems.end(), found.begin(), found.end());
    }
    if (quiet) {
        printf("%zu\n", problems.size());
    } else if (json) {
        std::string out = "[";
        for (size_t i = 0; i < problems.size(); i++) {
            const CheckProblem& p = problems[i];
            out += i == 0 ? "\n  {\"file\": " : ",\n  {\"file\": ";
            JSON(p.file, &out);
            out += ", \"line\": " + std::to_string(p.line) + ", \"severity\": ";
            out += p.warning ? "\"warning\"" : "\"error\"";
            out += ", \"message\": ";
            JSON(p.message, &out);
            out += "}";
        }
        out += problems.empty() ? "]\n" : "\n]\n";
        fputs(out.c_str(), stdout);
    } else {
        for (const CheckProblem& p : problems) {
            if (p.line > 0) {
                printf("%s:%d: %s\n", p.file.chars(), p.line, p.message.chars());
            } else {
                printf("%s: %s\n", p.file.chars(), p.message.chars());
            }
        }
    }
    if (unreadable) return 2;
    return problems.empty() ? 0 : 1;
}
