/*
 * mergeplan.cpp - deciding a merge of two job trees before performing it.
 */
#include "mergeplan.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>

#include "numbered.h"

namespace tandel {

namespace {

const char *attrText(const qrx_Element *el, const char *name)
{
    return el ? qrx_GetAttribute(name, nullptr, el, nullptr) : nullptr;
}

/* News' bits as the merge reads them: sscanf "%d", absent or no number: none. */
bool hasBit(const qrx_Element *job, const char *name, int bit)
{
    const char *v = attrText(job, name);
    int n = 0;
    return v && std::sscanf(v, "%d", &n) == 1 && (n & bit) != 0;
}

bool otherJobs(const qrx_Element *baseJob, const qrx_Element *newsJob)
{
    const char *base = attrText(baseJob, "job_id");
    const char *news = attrText(newsJob, "job_id");
    return base && news && std::atoi(base) != std::atoi(news);
}

/* News' lab measurement holds the very result Base's holds: a merge
   that takes News' keeps it as it stands. */
bool sameResult(const qrx_Element *newsLab, const qrx_Element *baseLab)
{
    return newsLab && isEnteredResult(newsLab) && str_equal(newsLab->value, baseLab->value) &&
           str_equal(attrText(newsLab, "lab_time"), attrText(baseLab, "lab_time"));
}

/* The places of one sample number, up to the first index neither side has. */
std::vector<MergePlan::Place> placesOf(qrx_Element *bs, qrx_Element *ns)
{
    NumberedIndex bPrc(bs, jobref_prcMeas, "index"), bLab(bs, jobref_labMeas, "index");
    NumberedIndex nPrc(ns, jobref_prcMeas, "index"), nLab(ns, jobref_labMeas, "index");
    std::vector<MergePlan::Place> places;
    for (int i = 0;; ++i) {
        MergePlan::Place at{i, bPrc.find(i), nPrc.find(i), bLab.find(i), nLab.find(i)};
        if (!at.process() && !at.lab())
            return places;
        places.push_back(at);
    }
}

void planSamples(MergePlan *plan, qrx_Element *baseRoot, qrx_Element *newsRoot)
{
    NumberedIndex baseSamples(baseRoot, jobref_sample, "number");
    NumberedIndex newsSamples(newsRoot, jobref_sample, "number");
    for (int n = 0;; ++n) {
        qrx_Element *bs = baseSamples.find(n), *ns = newsSamples.find(n);
        if (!bs && !ns)
            return;
        MergePlan::Sample sample{n, bs, ns, placesOf(bs, ns)};
        if (!sample.places.empty())
            plan->samples.push_back(std::move(sample));
    }
}

/* f(sample, lab) for each entered result of the job, in document order. */
template <typename F> void forEachEntered(qrx_Element *job, F f)
{
    for (qrx_Element *s = job->children; s; s = s->next)
        for (qrx_Element *lab = str_equal(s->name, "sample") ? s->children : nullptr; lab; lab = lab->next)
            if (str_equal(lab->name, "lab_measurement") && isEnteredResult(lab))
                f(s, lab);
}

/* The entered results of Base that the plan keeps as they stand. */
std::set<const qrx_Element *> keptResults(const MergePlan &plan, qrx_Element *newsRoot)
{
    std::set<const qrx_Element *> kept;
    if (plan.action == MergePlan::Action::Merge) {
        for (const MergePlan::Sample &s : plan.samples)
            for (const MergePlan::Place &at : s.places)
                if (at.baseLab && (!at.newsLab || sameResult(at.newsLab, at.baseLab)))
                    kept.insert(at.baseLab);
        return kept;
    }
    /* A copy keeps what News holds at the same sample and index. */
    NumberedIndex newsSamples(newsRoot, jobref_sample, "number");
    forEachEntered(plan.baseJob, [&](qrx_Element *s, qrx_Element *lab) {
        const char *number = attrText(s, "number"), *index = attrText(lab, "index");
        qrx_Element *ns = number ? newsSamples.find(number) : nullptr;
        if (ns && index && sameResult(NumberedIndex(ns, jobref_labMeas, "index").find(index), lab))
            kept.insert(lab);
    });
    return kept;
}

void planReplaced(MergePlan *plan, qrx_Element *newsRoot)
{
    const std::set<const qrx_Element *> kept = keptResults(*plan, newsRoot);
    forEachEntered(plan->baseJob, [&](qrx_Element *s, qrx_Element *lab) {
        if (!kept.count(lab))
            plan->replaced.push_back({s, lab});
    });
}

MergePlan refused(int code)
{
    MergePlan plan;
    plan.refusal = code;
    return plan;
}

} // namespace

bool isEnteredResult(const qrx_Element *lab)
{
    const char *done = attrText(lab, "done");
    return done && (std::atoi(done) & 63) == 1;
}

bool MergePlan::Place::labReopened() const { return str_equal(attrText(lab(), "done"), "4"); }

int MergePlan::measurements() const
{
    int count = 0;
    for (const Sample &s : samples)
        for (const Place &at : s.places)
            count += (at.process() != nullptr) + (at.lab() != nullptr);
    return count;
}

MergePlan planMerge(bool sameFile, qrx_Element *baseRoot, qrx_Element *newsRoot)
{
    if (sameFile)
        return refused(MERGE_SAME_FILE);
    MergePlan plan;
    if (!baseRoot) {
        plan.action = MergePlan::Action::Create;
        return plan;
    }
    plan.baseJob = findElement(baseRoot, jobref_job, nullptr, nullptr);
    plan.newsJob = newsRoot ? findElement(newsRoot, jobref_job, nullptr, nullptr) : nullptr;
    if (!plan.baseJob || !plan.newsJob)
        plan.refusal = MERGE_COPY_FAILED;
    else if (otherJobs(plan.baseJob, plan.newsJob))
        plan.refusal = MERGE_OTHER_JOB;
    else if (hasBit(plan.newsJob, "job_handling", kKillBit))
        plan.action = MergePlan::Action::Kill;
    else if (hasBit(plan.newsJob, "job_type", kCopyBit))
        plan.action = MergePlan::Action::Copy;
    else
        plan.action = MergePlan::Action::Merge;
    if (plan.action == MergePlan::Action::Merge)
        planSamples(&plan, baseRoot, newsRoot);
    if (plan.action == MergePlan::Action::Merge || plan.action == MergePlan::Action::Copy)
        planReplaced(&plan, newsRoot);
    return plan;
}

} // namespace tandel
