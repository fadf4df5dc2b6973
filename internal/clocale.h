/*
 * Numbers in documents, files and messages always use '.', whatever
 * locale the calling program chose: every operation that prints or
 * scans them holds a CNumbers for its duration (this thread only).
 */
#ifndef TANDEL_INTERNAL_CLOCALE_H
#define TANDEL_INTERNAL_CLOCALE_H

#include <clocale>
#include <locale.h>

namespace tandel {

class CNumbers {
public:
    /* glibc hands out its built-in "C" object here: nothing to allocate
       or free, so this cannot fail for lack of memory. */
    CNumbers() : c_(newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0)))
    {
        if (c_)
            old_ = uselocale(c_);
    }
    CNumbers(const CNumbers &) = delete;
    CNumbers &operator=(const CNumbers &) = delete;
    ~CNumbers()
    {
        if (c_) {
            uselocale(old_);
            freelocale(c_);
        }
    }

private:
    locale_t c_;
    locale_t old_ = static_cast<locale_t>(0);
};

} // namespace tandel

#endif
