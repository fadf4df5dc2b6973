/*
 * printjob: reads a job document into a tree and prints it back in the
 * library's own layout. A minimal C user of libTandelCntrl.so.
 *   printjob FILE.xml [OUT.xml]
 */
#include <stdio.h>

#include "TandelCntrl.h"

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: printjob FILE.xml [OUT.xml]\n");
        return 2;
    }
    FILE *in = fopen(argv[1], "r");
    if (!in) {
        perror(argv[1]);
        return 1;
    }
    qrx_Parser *parser = NULL;
    if (qrx_init(&parser, 4) != 0) {
        fclose(in);
        return 1;
    }
    int rc = qrx_BuildDOMTree(parser, in);
    fclose(in);
    if (rc < 0) {
        fprintf(stderr, "%s: %s (result %d)\n", argv[1], tandel_errstr(TANDEL_XML_PARSE, rc), rc);
        qrx_deinit(&parser);
        return 1;
    }
    FILE *out = argc == 3 ? fopen(argv[2], "w") : stdout;
    if (!out) {
        perror(argv[2]);
        qrx_deinit(&parser);
        return 1;
    }
    /* A named file is a job file (synced, mode 0666); standard output
       is any stream and keeps what it is. */
    int n = out == stdout ? qrx_WriteDOMTree(parser, out) : qrx_PrintDOMTree(parser, out);
    if (out != stdout)
        fclose(out);
    qrx_deinit(&parser);
    return n < 0 ? 1 : 0;
}
