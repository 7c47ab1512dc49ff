// The database tags: KpOPEN, KpCREATE, KpCLOSE, KpPRIMARY, KpSETINDEX, KpSKIP, KpGO,
// KpFIND, KpADD, KpUPDATE, KpDELETE, KpUNDELETE, KpMAKEINDEX, KpPACK, KpREINDEX,
// KpREVEALSTRUCTURE, KpFILTER, KpOPENVIEW, KpCLOSEVIEW and KpQUERY.

#ifndef DATA_DATABASE_TAGS_H_
#define DATA_DATABASE_TAGS_H_

class ScriptParser;

// Declares the database tags (once per process).
void DeclareDatabaseTags();

#endif  // DATA_DATABASE_TAGS_H_
