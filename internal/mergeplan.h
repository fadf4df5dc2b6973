/*
 * The merge plan: what mergeJobFile does with the stored job (Base) and
 * a newly received version of it (News), decided from the two trees
 * before any file changes. The library's merge builds it and then
 * performs it; jobtool compiles this module in (the library exports the
 * API only) and prints the same plan for --dry-run and refuses by it,
 * so it can never describe another merge than the one performed.
 */
#ifndef TANDEL_INTERNAL_MERGEPLAN_H
#define TANDEL_INTERNAL_MERGEPLAN_H

#include <vector>

#include "TandelCntrl.h"

namespace tandel {

/* News' job_handling bit that deletes Base (a kill order), and its
   job_type bit that makes Base a copy of News. */
constexpr int kKillBit = 0x100;
constexpr int kCopyBit = 0x20;

/* A lab measurement holding a result entered on the controller:
   done & 63 is 1. */
bool isEnteredResult(const qrx_Element *lab);

struct MergePlan {
    enum class Action {
        Refuse, /* refusal is the result; no file is touched */
        Kill,   /* Base (the end of its links) deleted, News kept */
        Create, /* no Base: News copied to it unread, News deleted */
        Copy,   /* Base becomes a byte copy of News, News deleted */
        Merge,  /* Base becomes the merged job, News deleted */
    };
    /* One index of a merged sample: the measurements of that index on
       either side, null where a side has none. */
    struct Place {
        int index;
        qrx_Element *baseProcess, *newsProcess, *baseLab, *newsLab;
        /* The process measurement copied, Base's before News'; null: none. */
        qrx_Element *process() const { return baseProcess ? baseProcess : newsProcess; }
        /* Base's process measurement takes News' text. */
        bool processTextFromNews() const { return baseProcess && newsProcess && newsProcess->value; }
        /* The lab measurement copied, News' before Base's; null: none. */
        qrx_Element *lab() const { return newsLab ? newsLab : baseLab; }
        /* Its done is exactly "4": it comes out open (-1.0, done 0). */
        bool labReopened() const;
    };
    /* A merged sample: attributes from News' sample, else Base's. */
    struct Sample {
        int number;
        qrx_Element *base, *news;
        std::vector<Place> places;
    };
    /* An entered result of Base that the plan does not keep as it
       stands: News brings that lab measurement (open, or with another
       result), the merge drops it, or a copy of News replaces it. */
    struct Replaced {
        qrx_Element *sample, *lab;
    };

    Action action = Action::Refuse;
    /* For Refuse: MERGE_SAME_FILE, MERGE_OTHER_JOB, or MERGE_COPY_FAILED
       for a tree without job element. */
    int refusal = 0;
    qrx_Element *baseJob = nullptr, *newsJob = nullptr;
    /* For Merge: the merged samples in order. */
    std::vector<Sample> samples;
    /* In Base's document order; none for Refuse, Kill and Create. */
    std::vector<Replaced> replaced;

    /* The measurement elements a Merge writes (mergeJobFile's result). */
    int measurements() const;
};

/*
 * The plan for Base and News, in the order of its checks:
 *   sameFile (one device and inode): Refuse MERGE_SAME_FILE, decided
 *       before either file is read (the roots may be null);
 *   baseRoot null (Base does not exist): Create, News not looked at;
 *   a root without "job" element: Refuse MERGE_COPY_FAILED;
 *   both job_ids given and different (read with atoi, as the lists
 *       read them): Refuse MERGE_OTHER_JOB;
 *   News' job_handling (sscanf "%d") has kKillBit: Kill;
 *   News' job_type has kCopyBit: Copy;
 *   else Merge: samples numbered 0, 1, ... up to the first number
 *       neither side has; in each, indexes 0, 1, ... up to the first
 *       index without measurement on either side (no sample when that
 *       is index 0).
 * The elements named stay the trees'. Throws std::bad_alloc.
 */
MergePlan planMerge(bool sameFile, qrx_Element *baseRoot, qrx_Element *newsRoot);

} // namespace tandel

#endif
