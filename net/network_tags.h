// The network and mail tags: KpCALL (CALL) with KpCALLSTOP, KpSMTP (MAIL that
// sends) and KpPOP (MAIL that retrieves) with KpPOPDELETE and KpPOPSTOP.

#ifndef NET_NETWORK_TAGS_H_
#define NET_NETWORK_TAGS_H_

class ScriptParser;

// Registers the handlers of the network and mail tags with parser.
void InstallNetworkTags(ScriptParser* parser);

#endif  // NET_NETWORK_TAGS_H_
