// The network and mail tags: KpCALL (CALL) with KpCALLSTOP, KpSMTP (MAIL that
// sends) and KpPOP (MAIL that retrieves) with KpPOPDELETE and KpPOPSTOP.

#ifndef NET_NETWORK_TAGS_H_
#define NET_NETWORK_TAGS_H_

class ScriptParser;

// Declares the network and mail tags (once per process).
void DeclareNetworkTags();

#endif  // NET_NETWORK_TAGS_H_
