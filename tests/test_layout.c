/*
 * Compile-time check of the public records' layout: field order, exact
 * field types and offsets, for the 32-bit controller (ILP32, 8-byte
 * aligned 64-bit integers) and for 64-bit hosts. Built twice, with and
 * without 64-bit time_t, to show that both kinds of caller see the same
 * records. Running it only reports that it was built.
 */
#ifdef TANDEL_LAYOUT_TIME32
#undef _TIME_BITS
#undef _FILE_OFFSET_BITS
#endif

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>
#include <time.h>

#include "TandelCntrl.h"

#if UINTPTR_MAX == 0xFFFFFFFFu
#define ILP32 1
#else
#define ILP32 0
#endif

/* Member type, then its offset on a 32-bit and on a 64-bit target. */
#define FIELD(rec, field, type, off32, off64)                                                               \
    _Static_assert(_Generic(((rec *)0)->field, type : 1, default : 0), #rec "." #field " has type " #type); \
    _Static_assert(sizeof(((rec *)0)->field) == sizeof(type), #rec "." #field " width");                    \
    _Static_assert(offsetof(rec, field) == (ILP32 ? (off32) : (off64)), #rec "." #field " offset")
#define SIZE(rec, size32, size64) _Static_assert(sizeof(rec) == (ILP32 ? (size32) : (size64)), #rec " size")

#if ILP32
_Static_assert(sizeof(void *) == 4 && sizeof(long) == 4, "32-bit target");
_Static_assert(_Alignof(int64_t) == 8, "EABI aligns 64-bit integers to 8");
#endif
#if defined(__arm__) && !defined(_TIME_BITS)
_Static_assert(sizeof(time_t) == 4, "the 32-bit-time caller really has 32-bit time_t");
#else
_Static_assert(sizeof(time_t) == 8, "the project is built with 64-bit time_t");
#endif
#ifndef TANDEL_LAYOUT_TIME32
_Static_assert(sizeof(off_t) == 8, "the project is built with 64-bit file offsets");
#endif

FIELD(qrx_Element, next, qrx_Element *, 0, 0);
FIELD(qrx_Element, children, qrx_Element *, 4, 8);
FIELD(qrx_Element, attributes, qrx_Attribute *, 8, 16);
FIELD(qrx_Element, parent, qrx_Element *, 12, 24);
FIELD(qrx_Element, index, int32_t, 16, 32);
FIELD(qrx_Element, name, char *, 20, 40);
FIELD(qrx_Element, value, char *, 24, 48);
SIZE(qrx_Element, 28, 56);

FIELD(qrx_Attribute, next, qrx_Attribute *, 0, 0);
FIELD(qrx_Attribute, element, qrx_Element *, 4, 8);
FIELD(qrx_Attribute, name, char *, 8, 16);
FIELD(qrx_Attribute, value, char *, 12, 24);
SIZE(qrx_Attribute, 16, 32);

FIELD(qrx_Parser, state, int32_t, 0, 0);
FIELD(qrx_Parser, maxDepth, int32_t, 4, 4);
FIELD(qrx_Parser, deepest, int32_t, 8, 8);
FIELD(qrx_Parser, depth, int32_t, 12, 12);
FIELD(qrx_Parser, root, qrx_Element *, 16, 16);
FIELD(qrx_Parser, last, qrx_Element *, 20, 24);
_Static_assert(offsetof(qrx_Parser, openNames) == (ILP32 ? 24 : 32), "qrx_Parser.openNames offset");
_Static_assert(sizeof(((qrx_Parser *)0)->openNames[0]) == sizeof(char *), "qrx_Parser.openNames slots");
SIZE(qrx_Parser, 24, 32);

FIELD(JobDescriptor, sensorSerialNumber, uint64_t, 0, 0);
FIELD(JobDescriptor, sensorDeviceId, int32_t, 8, 8);
FIELD(JobDescriptor, sensorManufacturerId, int32_t, 12, 12);
FIELD(JobDescriptor, sensorName, char *, 16, 16);
FIELD(JobDescriptor, sensorLocation, char *, 20, 24);
FIELD(JobDescriptor, controllerManufacturerId, int32_t, 24, 32);
FIELD(JobDescriptor, controllerDeviceId, int32_t, 28, 36);
FIELD(JobDescriptor, controllerSerialNumber, uint64_t, 32, 40);
FIELD(JobDescriptor, controllerIpAddress, char *, 40, 48);
FIELD(JobDescriptor, admitAutojob, int32_t, 44, 56);
FIELD(JobDescriptor, jobId, int32_t, 48, 60);
FIELD(JobDescriptor, date, int32_t, 52, 64);
FIELD(JobDescriptor, jobType, int32_t, 56, 68);
FIELD(JobDescriptor, jobHandling, int32_t, 60, 72);
FIELD(JobDescriptor, flags, uint32_t, 64, 76);
FIELD(JobDescriptor, containedSamples, int32_t, 68, 80);
FIELD(JobDescriptor, requestedSamples, int32_t, 72, 84);
FIELD(JobDescriptor, reserved0, int32_t, 76, 88);
FIELD(JobDescriptor, labAttributeCount, int32_t, 80, 92);
FIELD(JobDescriptor, labState1Count, int32_t, 84, 96);
FIELD(JobDescriptor, labState2Count, int32_t, 88, 100);
FIELD(JobDescriptor, knownAttributeCount, int32_t, 92, 104);
FIELD(JobDescriptor, filePath, char *, 96, 112);
FIELD(JobDescriptor, userName, char *, 100, 120);
FIELD(JobDescriptor, controllerFacility, char *, 104, 128);
FIELD(JobDescriptor, controllerName, char *, 108, 136);
FIELD(JobDescriptor, controllerLocation, char *, 112, 144);
SIZE(JobDescriptor, 120, 152);

FIELD(JobDescrList, count, int32_t, 0, 0);
_Static_assert(offsetof(JobDescrList, items) == (ILP32 ? 4 : 8), "JobDescrList.items offset");
_Static_assert(_Generic(((JobDescrList *)0)->items[0], JobDescriptor * : 1, default : 0),
               "JobDescrList slots");

FIELD(MeasurementRequest, jobId, int32_t, 0, 0);
FIELD(MeasurementRequest, jobDate, int32_t, 4, 4);
FIELD(MeasurementRequest, sensorManufacturerId, int32_t, 8, 8);
FIELD(MeasurementRequest, sensorDeviceId, int32_t, 12, 12);
FIELD(MeasurementRequest, sensorSerialNumber, int64_t, 16, 16);
FIELD(MeasurementRequest, sampleNumber, int32_t, 24, 24);
FIELD(MeasurementRequest, sampleId, char *, 28, 32);
FIELD(MeasurementRequest, label, char *, 32, 40);
FIELD(MeasurementRequest, sampleDate, int32_t, 36, 48);
FIELD(MeasurementRequest, totalIndex, int32_t, 40, 52);
FIELD(MeasurementRequest, parameter, char *, 44, 56);
FIELD(MeasurementRequest, unit, char *, 48, 64);
FIELD(MeasurementRequest, dataType, int32_t, 52, 72);
FIELD(MeasurementRequest, done, uint16_t, 56, 76);
FIELD(MeasurementRequest, processValue, float, 60, 80);
FIELD(MeasurementRequest, labValue, float, 64, 84);
FIELD(MeasurementRequest, reserved0, int32_t, 68, 88);
FIELD(MeasurementRequest, displayFormat, int32_t, 72, 92);
FIELD(MeasurementRequest, spareText, char *, 76, 96);
_Static_assert(offsetof(MeasurementRequest, reserved1) == (ILP32 ? 80 : 104), "MeasurementRequest.reserved1");
_Static_assert(sizeof(((MeasurementRequest *)0)->reserved1) == 16, "MeasurementRequest.reserved1 width");
FIELD(MeasurementRequest, labTime, uint32_t, 96, 120);
FIELD(MeasurementRequest, defaultMethod, char *, 100, 128);
FIELD(MeasurementRequest, usedMethod, char *, 104, 136);
FIELD(MeasurementRequest, sensorData, uint8_t *, 108, 144);
FIELD(MeasurementRequest, labUnit, char *, 112, 152);
SIZE(MeasurementRequest, 120, 160);

FIELD(MeasurementRequestList, count, int32_t, 0, 0);
_Static_assert(offsetof(MeasurementRequestList, items) == (ILP32 ? 4 : 8),
               "MeasurementRequestList.items offset");
_Static_assert(_Generic(((MeasurementRequestList *)0)->items[0], MeasurementRequest * : 1, default : 0),
               "MeasurementRequestList slots");

int main(void)
{
    printf("record layout checked at compile time (%s, %u-bit time_t)\n", ILP32 ? "ILP32" : "LP64",
           (unsigned)(8 * sizeof(time_t)));
    return 0;
}
