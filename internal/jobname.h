/*
 * Which directory entries are job files, by name alone. The job list
 * and jobtool (which names the files the list left out) share it.
 */
#ifndef TANDEL_INTERNAL_JOBNAME_H
#define TANDEL_INTERNAL_JOBNAME_H

#include <cstring>

namespace tandel {

/* Longer than ".xml" and ending in it, case-sensitive: "job.XML" and
   ".xml" itself are no job files. */
inline bool isJobFileName(const char *name)
{
    const size_t len = std::strlen(name);
    return len > 4 && std::strcmp(name + len - 4, ".xml") == 0;
}

} // namespace tandel

#endif
