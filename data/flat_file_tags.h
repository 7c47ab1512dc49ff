// The flat-file tags: KpIMPORT (with KpIMPORTSTOP), KpEXPORT, and the legacy IMPORT
// and EXPORT.

#ifndef DATA_FLAT_FILE_TAGS_H_
#define DATA_FLAT_FILE_TAGS_H_

class ScriptParser;

// Registers the handlers of the flat-file tags with parser.
void InstallFlatFileTags(ScriptParser* parser);

#endif  // DATA_FLAT_FILE_TAGS_H_
