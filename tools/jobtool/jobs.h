/*
 * The job directory as list, requests, add-result and remove-result
 * see it: the library's job list in a fixed order, the files it left
 * out and why, and the requests of one job.
 */
#ifndef JOBTOOL_JOBS_H
#define JOBTOOL_JOBS_H

#include <string>
#include <vector>

#include "io.h"

namespace jobtool {

struct JobList : tandel::Owned<JobDescrList, removeJobDescrList> {
    int count = 0;
};

using RequestList = tandel::Owned<MeasurementRequestList, removeMeasurementRequestList>;

/* dir without trailing slashes (the library joins "dir/name"). */
std::string jobDirectory(const std::string &dir);
/* The job list that both `list` and `requests DIR INDEX` number. */
void loadJobs(const std::string &dir, const char *name, int minKnown, JobList *jobs);

struct LeftOut {
    std::string name, reason;
};
/* The *.xml files of dir (only `only` when not null) not in jobs. */
std::vector<LeftOut> leftOutFiles(const std::string &dir, const char *only, int minKnown, const JobList &jobs);
/* Why a *.xml file of the directory is not in the list. */
std::string leftOutReason(const std::string &path, int minKnown);

/* Lab measurements of one listed job; negative when unreadable. */
int labTotal(JobDescrList *jobs, int index);

/* --min, or fallback when it was not given. */
int minKnownOf(const std::string &min, int fallback);

/* A UsageError for "-" where a file is needed. */
void refuseStdin(const std::string &path, const char *why);

/* The requests of one job: DIR and the INDEX that `list DIR` shows, or
   a job file (pos holds one or two). Leaves the job's tree in p; the
   job file's path. */
std::string loadRequests(const std::vector<std::string> &pos, const std::string &min, Parser &p, JobList *jobs,
                         RequestList *reqs);

} // namespace jobtool

#endif
