// NetContext: the network room's part of a request: its network manager, made when a
// page first connects somewhere. Its time-outs and buffer sizes are settings.

#ifndef NET_NET_CONTEXT_H_
#define NET_NET_CONTEXT_H_

#include "foundation/string.h"
#include "script/request_context.h"

class Kelp;
class NetworkManager;

class NetContext : public RequestContext {
  public:
    explicit NetContext(Kelp*) {}
    ~NetContext() override;
    // The request's network manager, made on first use.
    static NetworkManager* Manager(Kelp* engine);
    // The server's DNS name (for the mail greeting): SERVER_NAME when it is a plain
    // host name, else the machine's.
    static String HostName();

  private:
    NetworkManager* manager_ = nullptr;  // owned
};

#endif  // NET_NET_CONTEXT_H_
