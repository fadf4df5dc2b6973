/* What requests and the lab result commands both say of a request. */
#ifndef JOBTOOL_REQUESTS_H
#define JOBTOOL_REQUESTS_H

#include <string>

#include "TandelCntrl.h"
#include "show.h"

namespace jobtool {

/* Whether a lab result is entered (state 1). */
bool hasLab(const MeasurementRequest *r);
/* The lab_measurement element of request total in the tree the list
   was made from: its index is its place among the sample's requests. */
const qrx_Element *labElement(const qrx_Parser *p, const MeasurementRequestList *list, int total);
/* The lab value as stored, with the lab unit; "-" when none is entered. */
std::string labText(const MeasurementRequest *r);
/* The lab time of the request's element in local time as format shows
   it ("-" when it has none), or its text when that does not read. */
std::string labTime(const qrx_Element *lab, const char *format);
/* The same for JSON: ISO 8601 local time, the text, or null. */
Json labTimeJson(const qrx_Element *lab);

} // namespace jobtool

#endif
