// The flat-file tags: KpIMPORT (with KpIMPORTSTOP), KpEXPORT, and the legacy IMPORT
// and EXPORT.

#ifndef DATA_FLAT_FILE_TAGS_H_
#define DATA_FLAT_FILE_TAGS_H_

class ScriptParser;

// Declares the flat-file tags (once per process).
void DeclareFlatFileTags();

#endif  // DATA_FLAT_FILE_TAGS_H_
