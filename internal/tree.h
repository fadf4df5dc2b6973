/* Tree building internals that the codec, the job handler and the tests share. */
#ifndef TANDEL_INTERNAL_TREE_H
#define TANDEL_INTERNAL_TREE_H

#include "TandelCntrl.h"

/* The tree builder's event callback. userData may carry the builder's
   per-depth bookkeeping; null works too (slower appends). */
int qrx_buildtree_sax_callback(qrx_Parser *hp, int mode, const char *elName, const char *attrName,
                               const char *value, void *userData);

#ifdef __cplusplus
namespace tandel {
/* An unlinked child record for parent (index set, value copied, parent
   set); null when memory runs out. For appenders that keep their own tail. */
qrx_Element *newChild(const char *name, const char *value, qrx_Element *parent);

/* What the writer prints parses back as the same tree exactly when
   treeReadsBack holds. The writer escapes nothing, so these are the
   parser's own rules. */

/* An attribute value: within the parser's length limit, and not holding
   both quote kinds. */
bool attributeReadsBack(const char *value);
/* An element text: 1 to 8189 characters, no '<', no blank (space, tab,
   CR, LF) at either end. */
bool textReadsBack(const char *text);
/* An element or attribute name: 1 to 125 characters, none of them a
   blank or one of < > = / ! ; an element name not starting with '?'. */
bool nameReadsBack(const char *name, bool element);
/* The whole tree below root, read by a handle of that depth limit: every
   name, value and text passes, no element is deeper, and the root has
   no text or attributes of its own (they are not printed). */
bool treeReadsBack(const qrx_Element *root, int maxDepth);
} // namespace tandel
#endif

#endif
