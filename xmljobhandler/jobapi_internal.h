/*
 * Internals of the job handler that the tests reach: the routine behind
 * addMeasurementResult/removeMeasurementResult, the atomic file
 * replacement, the time text helpers and the powers of ten.
 */
#ifndef TANDEL_JOBAPI_INTERNAL_H
#define TANDEL_JOBAPI_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "TandelCntrl.h"

/* What changeMeasurementResult does with the request's lab measurement. */
enum class ResultChange {
    Enter,    /* enter the request's lab value (addMeasurementResult) */
    TakeBack, /* open it again (removeMeasurementResult) */
};
int changeMeasurementResult(const char *path, const MeasurementRequest *request, ResultChange change);

/* Replaces path (the end of its links) by the document of the handle,
   through a temporary file beside it, synced once. 0, or the errno of the
   step that failed (the old file and no temporary file remain then). */
int jobapi_writeTreeReplacing(const char *path, qrx_Parser *handle);

/* "%Y-%m-%dT%H:%M:%S%z" text of seconds since 1970 in local time, also
   where time_t has 32 bits; when the zone cannot be read, the UTC
   fields with "+0000". size >= 26. Returns the length, or 0 when it
   does not fit. */
int jobapi_formatLabTime(char *text, size_t size, uint32_t seconds);

/* The UTC form of the above (fields of UTC, "+0000"). */
int jobapi_formatUtcTime(char *text, size_t size, int64_t seconds);

/* 10 to the power n >= 0, as pow(10, n) gives it (HUGE_VAL past 1e308). */
double jobapi_tenTo(int n);

#endif
