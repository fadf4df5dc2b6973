/*
 * The numbered lookups of a job document: samples by "number",
 * measurements by "index". The job handler's walks (requests, results)
 * and the merge plan, which jobtool compiles in too, read a job through
 * them, so the two never number a document differently.
 */
#ifndef TANDEL_INTERNAL_NUMBERED_H
#define TANDEL_INTERNAL_NUMBERED_H

#include <string>
#include <unordered_map>

#include "TandelCntrl.h"

namespace tandel {

/* The answers findElement(start, path, attr, text) would give, for every
   text at once: one pass in the search's own order, first entry wins.
   A job is read in linear time so. */
class NumberedIndex {
public:
    NumberedIndex() = default;
    NumberedIndex(qrx_Element *start, const char *const *path, const char *attr)
    {
        if (start)
            add(start, path, attr);
    }
    qrx_Element *find(int n) const { return find(std::to_string(n)); }
    /* By the attribute's text as it stands ("01" is not 1). */
    qrx_Element *find(const std::string &text) const
    {
        auto it = map_.find(text);
        return it == map_.end() ? nullptr : it->second;
    }

private:
    void add(qrx_Element *el, const char *const *path, const char *attr)
    {
        if (!*path) {
            for (const qrx_Attribute *at = el->attributes; at; at = at->next)
                if (at->value && str_equal(at->name, attr))
                    map_.emplace(at->value, el);
            return;
        }
        for (qrx_Element *child = el->children; child; child = child->next)
            if (str_equal(child->name, *path))
                add(child, path + 1, attr);
    }
    std::unordered_map<std::string, qrx_Element *> map_;
};

} // namespace tandel

#endif
