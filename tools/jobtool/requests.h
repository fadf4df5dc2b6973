/* What requests and the lab result commands both say of a request. */
#ifndef JOBTOOL_REQUESTS_H
#define JOBTOOL_REQUESTS_H

#include "TandelCntrl.h"

namespace jobtool {

/* Whether a lab result is entered (state 1). */
bool hasLab(const MeasurementRequest *r);
/* The display format word the lab value is shown with. */
int labWord(const MeasurementRequest *r);

} // namespace jobtool

#endif
