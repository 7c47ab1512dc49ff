/* A commerce plug-in for the tests. Its ACTION says what to do:
 *   "pay"    two iterations; sets commerce_* variables, reads prices.txt
 *   "fail"   reports an error in the second iteration
 *   "stop"   asks for no iteration at all
 *   "unsettle" changes the process's file mode mask, working directory and
 *            SIGPIPE handling, and asks for no iteration
 * Cleanup writes cleanup.txt in the data directory. Built without
 * kelp_commerce_error when SAMPLE_INCOMPLETE is defined. */

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kelp_commerce.h"

struct sample {
    char action[32];
    char error[128];
};

static void set_number(kelp_variabletree* vars, const char* name, long n) {
    char text[32];
    snprintf(text, sizeof text, "%ld", n);
    kelp_variabletree_setvariable(vars, name, text);
}

int kelp_commerce_init(kelp_interpreter* kelp, void** data, const char* method, const char* action,
                       kelp_variablelist* fields, kelp_variabletree* vars) {
    struct sample* s = kelp_alloc(sizeof *s);
    memset(s, 0, sizeof *s);
    snprintf(s->action, sizeof s->action, "%s", action);
    *data = s;
    if (strcmp(action, "stop") == 0) return KELP_COMMERCE_STOP;
    if (strcmp(action, "unsettle") == 0) {
        /* What a careless library may do to the process that loaded it. */
        umask(077);
        signal(SIGPIPE, SIG_DFL);
        if (chdir("/") != 0) return KELP_COMMERCE_STOP;
        return KELP_COMMERCE_STOP;
    }
    kelp_variabletree_setvariable(vars, "commerce_method", method);
    kelp_variable* amount = kelp_variablelist_find(fields, "amount");
    kelp_variabletree_setvariable(vars, "commerce_amount", amount ? kelp_variable_value(amount) : "none");
    char* url = kelp_variablelist_to_url(fields);
    kelp_variabletree_setvariable(vars, "commerce_fields", url);
    kelp_free(url);

    char buffer[256] = "";
    kelp_file* f = kelp_file_open(kelp, "prices.txt", KELP_PATH_DATA, KELP_FILE_READ);
    if (f != NULL) {
        long n = kelp_file_read(f, buffer, sizeof buffer - 1);
        buffer[n > 0 ? n : 0] = '\0';
        kelp_file_close(f);
    }
    kelp_variabletree_setvariable(vars, "commerce_file", f ? buffer : kelp_file_error(kelp, NULL));
    f = kelp_file_open(kelp, "../../../etc/passwd", KELP_PATH_DATA, KELP_FILE_READ);
    kelp_variabletree_setvariable(vars, "commerce_outside", f ? "opened!" : kelp_file_error(kelp, NULL));
    if (f) kelp_file_close(f);
    set_number(vars, "commerce_size", kelp_file_size(kelp, "prices.txt", KELP_PATH_DATA));
    kelp_variabletree_setvariable(vars, "commerce_markup", "<KpEVAL EXPR=6 * 7>");
    return KELP_COMMERCE_CONTINUE;
}

int kelp_commerce_loop(kelp_interpreter* kelp, void** data, const char* method, const char* action,
                       kelp_variablelist* fields, kelp_variabletree* vars, int iteration) {
    struct sample* s = *data;
    (void)kelp;
    (void)method;
    (void)action;
    set_number(vars, "commerce_iteration", iteration);
    if (strcmp(s->action, "fail") == 0 && iteration == 1) {
        kelp_variable* amount = kelp_variablelist_find(fields, "amount");
        snprintf(s->error, sizeof s->error, "Card declined for %s", amount ? kelp_variable_value(amount) : "?");
        return KELP_COMMERCE_ERROR;
    }
    return iteration >= 2 ? KELP_COMMERCE_STOP : KELP_COMMERCE_CONTINUE;
}

void kelp_commerce_cleanup(kelp_interpreter* kelp, void** data, const char* method, const char* action,
                           kelp_variablelist* fields) {
    (void)method;
    (void)fields;
    kelp_file* f = kelp_file_open(kelp, "cleanup.txt", KELP_PATH_DATA,
                                  KELP_FILE_WRITE | KELP_FILE_CREATE | KELP_FILE_APPEND);
    if (f != NULL) {
        char line[64];
        int n = snprintf(line, sizeof line, "cleaned up after %s\n", action);
        kelp_file_write(f, line, n);
        kelp_file_close(f);
    }
    kelp_free(*data);
    *data = NULL;
}

#ifndef SAMPLE_INCOMPLETE
const char* kelp_commerce_error(kelp_interpreter* kelp, void** data, const char* method, const char* action,
                                kelp_variablelist* fields) {
    struct sample* s = *data;
    (void)kelp;
    (void)method;
    (void)action;
    (void)fields;
    return s->error;
}
#endif
