// The network room's part of a request.

#include "net/net_context.h"

#include <stdlib.h>
#include <string.h>

#include "foundation/file.h"
#include "net/cgi_network.h"
#include "script/engine.h"

NetContext::~NetContext() {
    delete manager_;
}

NetworkManager* NetContext::Manager(Kelp* engine) {
    NetContext* context = engine->PartOf<NetContext>(NetContextSlot);
    if (context->manager_ == nullptr) context->manager_ = new CGINetworkManager(engine);
    return context->manager_;
}

String NetContext::HostName() {
    // SERVER_NAME comes from the visitor's Host header on many servers: only a
    // plain host name is used.
    const char* name = getenv("SERVER_NAME");
    if (name == nullptr || *name == '\0' || strlen(name) > 253) return FileManager::MachineName();
    for (const char* p = name; *p != '\0'; p++) {
        char c = *p;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-')) {
            return FileManager::MachineName();
        }
    }
    return String(name);
}
