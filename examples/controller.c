/*
 * controller: the rounds of a controller program, written from the
 * header alone: list the job directory, take a delivered sensor job file
 * in, show the newest job's requests and enter a lab result.
 *   controller JOBDIR LABVALUE [DELIVERY.sjb]
 * Every failure is reported with tandel_errstr, and with the system's
 * reason where the header says errno holds it; the exit status is 1.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "TandelCntrl.h"

/* The job families set errno on every failure: 0 when the file's content
   is at fault, which has no system reason to print. */
static int report(const char *what, tandel_Family family, int result, int err)
{
    fprintf(stderr, "controller: %s: %s (result %d)%s%s\n", what, tandel_errstr(family, result), result,
            err ? ": " : "", err ? strerror(err) : "");
    return 1;
}

/* Texts of records may be null. */
static const char *orDash(const char *text) { return text ? text : "-"; }

/* A record's date (seconds since 2000-01-01 UTC) in local time. */
static const char *dateText(int32_t date, char *text, size_t size)
{
    struct tm tm;
    /* Right past 2038 also where time_t has 32 bits. */
    if (tandel_localtime(TANDEL_EPOCH_2000 + date, &tm) != 0 || strftime(text, size, "%Y-%m-%d %H:%M", &tm) == 0)
        snprintf(text, size, "?");
    return text;
}

/* Lists the job directory, newest first, into *jobs. */
static int listJobs(const char *dir, JobDescrList **jobs)
{
    const int n = createJobDescrList(dir, NULL, jobs);
    if (n < 0)
        return report(dir, TANDEL_JOB_LIST, n, errno);
    printf("%d jobs in %s\n", n, dir);
    for (int i = 0; i < n; ++i) {
        const JobDescriptor *jd = (*jobs)->items[i];
        char date[32];
        printf("  job %d  %s  %s  %d results entered  %s\n", jd->jobId, dateText(jd->date, date, sizeof date),
               orDash(jd->sensorName), jd->labState1Count, jd->filePath);
    }
    return 0;
}

/* A measured value as its display format word asks, or "-". */
static const char *valueText(float value, int format, char *text)
{
    if (value == TANDEL_NO_VALUE || !formatMeasurementString(text, format, value))
        return "-";
    return text;
}

/* The requests of the newest job; the handle keeps that job's tree. */
static int showRequests(qrx_Parser *parser, JobDescrList *jobs, MeasurementRequestList **requests)
{
    const int n = createMeasurementRequestList(parser, jobs, 0, requests);
    if (n < 0)
        return report(jobs->items[0]->filePath, TANDEL_JOB_REQUESTS, n, errno);
    printf("%d requests of job %d\n", n, jobs->items[0]->jobId);
    for (int i = 0; i < n; ++i) {
        const MeasurementRequest *rq = (*requests)->items[i];
        char process[13], lab[13];
        const int entered = (rq->done & 63) == 1;
        printf("  #%d %s %s  process %s %s  lab ", rq->totalIndex, orDash(rq->label), orDash(rq->parameter),
               valueText(rq->processValue, rq->displayFormat, process), orDash(rq->unit));
        if (entered)
            printf("%s %s\n", valueText(rq->labValue, rq->displayFormat, lab), orDash(rq->labUnit));
        else
            printf("open\n");
    }
    return 0;
}

/* Enters value as the result of the first open request, through a copy
   of the record: the texts set here are ours, the list's stay its own. */
static int enterResult(const char *path, const MeasurementRequestList *requests, double value)
{
    for (int i = 0; i < requests->count; ++i) {
        if ((requests->items[i]->done & 63) == 1)
            continue;
        MeasurementRequest entry = *requests->items[i];
        entry.labValue = (float)value;
        entry.labTime = 0; /* now */
        entry.labUnit = entry.unit;
        entry.usedMethod = entry.defaultMethod;
        const int r = addMeasurementResult(path, &entry);
        if (r < 0)
            return report(path, TANDEL_LAB_RESULT, r, errno);
        printf("entered %g for request #%d (%s)\n", value, entry.totalIndex, orDash(entry.label));
        return 0;
    }
    printf("every result of %s is entered\n", path);
    return 0;
}

/* A number attribute of the job element, 0 when absent. */
static int jobNumber(qrx_Parser *parser, const char *name)
{
    const char *text = qrx_GetAttribute(name, NULL, findElement(parser->root, jobref_job, NULL, NULL), NULL);
    return text ? atoi(text) : 0;
}

/* Writes the decoded delivery as News, a file the job list does not
   take for a job (its name does not end in ".xml"). */
static int writeNews(qrx_Parser *parser, const char *path)
{
    FILE *out = fopen(path, "w");
    if (!out) {
        perror(path);
        return 1;
    }
    const int n = qrx_PrintDOMTree(parser, out);
    if (fclose(out) != 0 && n >= 0) {
        perror(path);
        return 1;
    }
    return n < 0 ? report(path, TANDEL_XML_PRINT, n, 0) : 0;
}

/* Folds News into the job's file; after a kill, News is ours to delete. */
static int mergeNews(const char *base, const char *news, int kill)
{
    const int r = mergeJobFile(base, news);
    if (r < 0) {
        report(base, TANDEL_MERGE, r, errno);
        fprintf(stderr, "controller: the delivery waits in %s\n", news);
        return 1;
    }
    if (kill && access(base, F_OK) != 0) {
        printf("job killed: %s deleted\n", base);
        if (unlink(news) != 0)
            perror(news);
    } else {
        printf("delivery taken into %s: %d measurements\n", base, r);
    }
    return 0;
}

/* Decodes a delivered sensor job file into the job directory and merges it. */
static int takeDelivery(const char *dir, const char *delivery)
{
    qrx_Parser *parser = NULL;
    int r = qrx_init(&parser, 4);
    if (r != 0)
        return report("qrx_init", TANDEL_XML_SETUP, r, 0);
    r = sjob_SensorJobFile2DOMTree(delivery, parser);
    if (r != 0) {
        report(delivery, TANDEL_SJOB_DECODE, r, r == SJOB_FILE_ERROR ? errno : 0);
        qrx_deinit(&parser);
        return 1;
    }
    const int jobId = jobNumber(parser, "job_id");
    const int kill = (jobNumber(parser, "job_handling") & 0x100) != 0;
    char base[4096], news[4096];
    snprintf(base, sizeof base, "%s/job-%d.xml", dir, jobId);
    snprintf(news, sizeof news, "%s/job-%d.xml.new", dir, jobId);
    const int failed = writeNews(parser, news);
    qrx_deinit(&parser);
    return failed ? 1 : mergeNews(base, news, kill);
}

int main(int argc, char **argv)
{
    char *end = NULL;
    const double value = argc >= 3 ? strtod(argv[2], &end) : 0;
    if (argc < 3 || argc > 4 || end == argv[2] || *end) {
        fprintf(stderr, "usage: controller JOBDIR LABVALUE [DELIVERY.sjb]\n");
        return 2;
    }
    const char *dir = argv[1];
    JobDescrList *jobs = NULL;
    MeasurementRequestList *requests = NULL;
    qrx_Parser *parser = NULL;
    int failed = listJobs(dir, &jobs);
    if (!failed && argc == 4) {
        removeJobDescrList(&jobs); /* a new list goes into a null variable only */
        failed = takeDelivery(dir, argv[3]) || listJobs(dir, &jobs);
    }
    if (!failed && jobs->count > 0) {
        const int r = qrx_init(&parser, 4); /* the depth of job documents */
        failed = r != 0 ? report("qrx_init", TANDEL_XML_SETUP, r, 0)
                        : showRequests(parser, jobs, &requests) ||
                              enterResult(jobs->items[0]->filePath, requests, value);
    }
    /* Each frees and nulls what it is given; null is nothing to free. */
    removeMeasurementRequestList(&requests);
    removeJobDescrList(&jobs);
    if (parser)
        qrx_deinit(&parser);
    return failed ? 1 : 0;
}
