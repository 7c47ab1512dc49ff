// Arbitrary configuration text, site variables and authorization files.

#include "host/authorization.h"
#include "host/config.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    FuzzKelp engine(ScratchDirectory());
    String text(reinterpret_cast<const char*>(data), static_cast<int>(size));
    UNIXConfig config(&engine, false);
    config.ParseConfiguration(text);
    UNIXConfig::ParseSiteVars(&engine, text);
    String datadir, error;
    CheckAuthorizationText(text, "tester", &datadir, &error);
    return 0;
}
