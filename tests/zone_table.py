#!/usr/bin/env python3
# Writes what this machine's C library (64-bit time_t) gives as local
# time past 2037 in every zone file under /usr/share/zoneinfo and for the
# TZ rule strings of RULES: test_y2038 compares the library with it, also
# where its own time_t ends in 2038.
#
# Usage: zone_table.py OUTPUT RULES
# A line: TZ, seconds since 1970, "TEXT isdst=N wday=N yday=N" (tabs).
# The instants: a point every 960 days from 2038-01-01 to 2106-02-07 and,
# in zones that change at all (every 60 days), the second before and the
# second of every change of offset or DST flag, found by halving between
# points every 6 days and at 02:00Z each January 1 (the C library takes a
# rule's changes in the instant's UTC year).
import calendar
import os
import sys
import time

FIRST, LAST, DAY = 2145916800, 4294967295, 86400


def zone_names():
    for root, dirs, files in os.walk("/usr/share/zoneinfo"):
        dirs.sort()
        for f in sorted(files):
            path = os.path.join(root, f)
            if not os.path.islink(path) and open(path, "rb").read(4) == b"TZif":
                yield os.path.relpath(path, "/usr/share/zoneinfo")


def answer(t):
    tm = time.localtime(t)
    return tm.tm_gmtoff, tm.tm_isdst


def fields(t):
    tm = time.localtime(t)
    off = abs(tm.tm_gmtoff) // 60
    return "%04d-%02d-%02dT%02d:%02d:%02d%s%02d%02d isdst=%d wday=%d yday=%d" % (
        tm.tm_year, tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, "-+"[tm.tm_gmtoff >= 0],
        off // 60, off % 60, tm.tm_isdst, (tm.tm_wday + 1) % 7, tm.tm_yday - 1)


def instants():
    out = list(range(FIRST, LAST, 960 * DAY)) + [LAST]
    first = answer(FIRST)
    if all(answer(t) == first for t in range(FIRST, LAST, 60 * DAY)):
        return out
    scan = sorted(list(range(FIRST, LAST, 6 * DAY)) + [LAST] +
                  [calendar.timegm((y, 1, 1, 2, 0, 0)) for y in range(2038, 2107)])
    answers = [answer(t) for t in scan]
    for i in range(1, len(scan)):
        if answers[i - 1] == answers[i]:
            continue
        lo, hi = scan[i - 1], scan[i]
        while hi - lo > 1:
            mid = (lo + hi) // 2
            lo, hi = (mid, hi) if answer(mid) == answers[i - 1] else (lo, mid)
        out += [hi - 1, hi]
    return out


def main():
    output, rules = sys.argv[1], sys.argv[2]
    with open(rules) as fp:
        zones = list(zone_names()) + [l.strip() for l in fp if l.strip() and not l.startswith("#")]
    with open(output + ".part", "w") as out:
        for zone in zones:
            os.environ["TZ"] = zone
            time.tzset()
            for t in instants():
                out.write("%s\t%d\t%s\n" % (zone, t, fields(t)))
    os.replace(output + ".part", output)


if __name__ == "__main__":
    main()
