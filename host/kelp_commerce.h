/* The commerce plug-in interface of Kelp.
 *
 * A commerce plug-in is a shared library named by a COMMERCE-LIB line of the
 * configuration. For each KpCOMMERCE block that names its method, Kelp loads it
 * and calls, in this order:
 *
 *   kelp_commerce_init      once: 1 = error, 2 = stop (the block does not run),
 *                           anything else = go on;
 *   kelp_commerce_loop      with iteration 0, 1, 2, ...: 1 = error, 2 = done,
 *                           anything else = run the block once more;
 *   kelp_commerce_error     after a result of 1: the error text;
 *   kelp_commerce_cleanup   once at the end, whatever happened.
 *
 * All four receive the interpreter handle and the address of one pointer the
 * plug-in may use for its own data (NULL at first). vars is the block's variable
 * tree: what the plug-in sets there, the block reads by the variables' plain names.
 * fields holds the variables the tag's FIELDS attribute names, with their values.
 *
 * The kelp_ functions below are exported by the kelp program itself. Strings are
 * NUL-terminated; every handle is opaque. Paths are resolved as the page's own tags
 * resolve them (type KELP_PATH_DATA: below the data directory): a name that leads
 * outside its directory fails. Failures are reported through kelp_file_error and
 * kelp_network_error.
 */

#ifndef KELP_COMMERCE_H
#define KELP_COMMERCE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kelp_interpreter kelp_interpreter;
typedef struct kelp_variable kelp_variable;
typedef struct kelp_variablelist kelp_variablelist;
typedef struct kelp_variabletree kelp_variabletree;
typedef struct kelp_connection kelp_connection;
typedef struct kelp_file kelp_file;

/* The entry points a plug-in exports. */
int kelp_commerce_init(kelp_interpreter* kelp, void** data, const char* method, const char* action,
                       kelp_variablelist* fields, kelp_variabletree* vars);
int kelp_commerce_loop(kelp_interpreter* kelp, void** data, const char* method, const char* action,
                       kelp_variablelist* fields, kelp_variabletree* vars, int iteration);
void kelp_commerce_cleanup(kelp_interpreter* kelp, void** data, const char* method,
                           const char* action, kelp_variablelist* fields);
const char* kelp_commerce_error(kelp_interpreter* kelp, void** data, const char* method,
                                const char* action, kelp_variablelist* fields);

/* Results of the entry points. */
#define KELP_COMMERCE_ERROR 1
#define KELP_COMMERCE_STOP 2
#define KELP_COMMERCE_CONTINUE 0

/* Memory the plug-in and Kelp hand each other (kelp_variablelist_to_url). */
void* kelp_alloc(size_t size);
void* kelp_realloc(void* block, size_t size);
void kelp_free(void* block);

/* Variables. A value stays valid until the variable changes. */
const char* kelp_variable_name(kelp_variable* v);
const char* kelp_variable_value(kelp_variable* v);
int kelp_variable_setvalue(kelp_variable* v, const char* value); /* 1, or 0 when refused */
kelp_variable* kelp_variable_new(const char* name, const char* value);

/* Lists of variables, in order of insertion, with a cursor. */
kelp_variablelist* kelp_variablelist_new(void);
kelp_variable* kelp_variablelist_first(kelp_variablelist* list);
kelp_variable* kelp_variablelist_current(kelp_variablelist* list);
kelp_variable* kelp_variablelist_next(kelp_variablelist* list);
kelp_variable* kelp_variablelist_find(kelp_variablelist* list, const char* name);
int kelp_variablelist_setvariable(kelp_variablelist* list, const char* name, const char* value);
void kelp_variablelist_dump(kelp_variablelist* list);    /* removes and deletes every variable */
char* kelp_variablelist_to_url(kelp_variablelist* list); /* name=value&...; free with kelp_free */
void kelp_variablelist_delete(kelp_variablelist* list);

/* Trees of variables, found by name without regard to case. */
kelp_variabletree* kelp_variabletree_new(void);
kelp_variable* kelp_variabletree_find(kelp_variabletree* tree, const char* name);
int kelp_variabletree_setvariable(kelp_variabletree* tree, const char* name, const char* value);
void kelp_variabletree_insert(kelp_variabletree* tree, kelp_variable* v); /* the tree takes v */
void kelp_variabletree_dump(kelp_variabletree* tree);
void kelp_variabletree_delete(kelp_variabletree* tree);

/* The network. Times are in seconds. */
int kelp_network_isipaddress(const char* text);
int kelp_network_gethostaddress(kelp_interpreter* kelp, const char* host, char* address,
                                size_t size);
kelp_connection* kelp_network_connect(kelp_interpreter* kelp, const char* host, int port);
kelp_connection* kelp_network_openurl(kelp_interpreter* kelp, const char* url, const char* method,
                                      const char* contenttype, const char* body);
long kelp_network_read(kelp_connection* c, char* buffer, long size, int timeout);
/* One line, its line feed included, NUL-terminated: at most size - 1 bytes. */
long kelp_network_readline(kelp_connection* c, char* buffer, long size, int timeout);
long kelp_network_write(kelp_connection* c, const char* data, long length);
void kelp_network_close(kelp_connection* c); /* closes and frees */
/* The last error of c, or of the interpreter's network when c is NULL. */
const char* kelp_network_error(kelp_interpreter* kelp, kelp_connection* c);

/* Files. type: where a relative name is resolved. */
#define KELP_PATH_SCRIPT 0
#define KELP_PATH_DATA 1
#define KELP_PATH_TEMPORARY 2
/* File modes (combine with |). */
#define KELP_FILE_READ 1
#define KELP_FILE_WRITE 2
#define KELP_FILE_CREATE 4
#define KELP_FILE_TRUNCATE 8
#define KELP_FILE_APPEND 16
#define KELP_FILE_EXCLUSIVE 32

int kelp_file_resolve(kelp_interpreter* kelp, const char* name, int type, char* path, size_t size);
kelp_file* kelp_file_open(kelp_interpreter* kelp, const char* name, int type, int mode);
int kelp_file_delete(kelp_interpreter* kelp, const char* name, int type);
int kelp_file_rename(kelp_interpreter* kelp, const char* from, const char* to, int type);
int kelp_file_exists(kelp_interpreter* kelp, const char* name, int type);
long kelp_file_size(kelp_interpreter* kelp, const char* name, int type);
int kelp_file_isdirectory(kelp_interpreter* kelp, const char* name, int type);
int kelp_file_makedirectory(kelp_interpreter* kelp, const char* name, int type);
int kelp_file_removedirectory(kelp_interpreter* kelp, const char* name, int type);
int kelp_file_mode(kelp_interpreter* kelp, const char* name, int type);
int kelp_file_changemode(kelp_interpreter* kelp, const char* name, int type, int mode);
const char* kelp_file_pathseparator(kelp_interpreter* kelp);
long kelp_file_read(kelp_file* f, char* buffer, long size);
long kelp_file_write(kelp_file* f, const char* data, long size);
long kelp_file_seek(kelp_file* f, long position);
long kelp_file_tell(kelp_file* f);
long kelp_file_length(kelp_file* f);
int kelp_file_lock(kelp_file* f, int mode, long start, long length); /* mode 2: exclusive */
int kelp_file_release(kelp_file* f, long start, long length);
void kelp_file_close(kelp_file* f); /* closes and frees */
/* The last error of f, or of the interpreter's file operations when f is NULL. */
const char* kelp_file_error(kelp_interpreter* kelp, kelp_file* f);

#ifdef __cplusplus
}
#endif

#endif /* KELP_COMMERCE_H */
