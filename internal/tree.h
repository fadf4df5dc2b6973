/* Tree building internals that the codec, the job handler and the tests share. */
#ifndef TANDEL_INTERNAL_TREE_H
#define TANDEL_INTERNAL_TREE_H

#include "TandelCntrl.h"

/* The tree builder's event callback. userData may carry the builder's
   per-depth bookkeeping; null works too (slower appends). */
int qrx_buildtree_sax_callback(qrx_Parser *hp, int mode, const char *elName, const char *attrName,
                               const char *value, void *userData);

/* An unlinked child record for parent (index set, value copied, parent
   set); null when memory runs out. For appenders that keep their own tail. */
qrx_Element *qrx_newChild(const char *name, const char *value, qrx_Element *parent);

#ifdef __cplusplus
namespace tandel {
/* Whether an attribute value printed by the writer parses back as the
   same text: within the parser's length limit, and not holding both
   quote kinds (the writer escapes nothing). */
bool attributeReadsBack(const char *value);
} // namespace tandel
#endif

#endif
