#!/usr/bin/env python3
"""Writes the local times that this machine's C library (64-bit time_t)
gives past 2037 for every zone file under /usr/share/zoneinfo and the TZ
rule strings of a list: the reference for builds whose time_t ends in
2038, where test_y2038 cannot ask its own C library.

Usage: zone_table.py OUTPUT RULES

Each line: TZ value, seconds since 1970, tm_isdst and the text
"%Y-%m-%dT%H:%M:%S%z", tab-separated. The instants are the second before
and the second of every change of offset or daylight saving flag from
2038-01-01 to 2106-02-07 and a point every 960 days, chosen as test_y2038
chooses them.
"""
import calendar
import os
import sys
import time

FIRST = 2145916800  # 2038-01-01T00:00:00Z
LAST = 4294967295  # 2106-02-07T06:28:15Z
ZONEINFO = "/usr/share/zoneinfo"


def zone_names():
    names = []
    for root, dirs, files in os.walk(ZONEINFO):
        dirs.sort()
        for f in sorted(files):
            path = os.path.join(root, f)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            with open(path, "rb") as fp:
                if fp.read(4) == b"TZif":
                    names.append(os.path.relpath(path, ZONEINFO))
    return names


def answer(t):
    tm = time.localtime(t)
    return tm.tm_gmtoff, tm.tm_isdst


def text(t):
    tm = time.localtime(t)
    off = abs(tm.tm_gmtoff) // 60
    return "%04d-%02d-%02dT%02d:%02d:%02d%s%02d%02d" % (
        tm.tm_year, tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
        "-" if tm.tm_gmtoff < 0 else "+", off // 60, off % 60)


def instants():
    """The instants to compare for the zone in force."""
    coarse = range(FIRST, LAST, 60 * 86400)
    out = [t for t in coarse if (t - FIRST) % (960 * 86400) == 0] + [LAST]
    if all(answer(t) == answer(FIRST) for t in coarse):
        return out
    scan = sorted(list(range(FIRST, LAST, 6 * 86400)) + [LAST] +
                  [calendar.timegm((y, 1, 1, 2, 0, 0)) for y in range(2038, 2107)])
    answers = [answer(t) for t in scan]
    for i in range(1, len(scan)):
        if answers[i - 1] == answers[i]:
            continue
        lo, hi = scan[i - 1], scan[i]  # answer(lo) differs from answer(hi)
        while hi - lo > 1:
            mid = (lo + hi) // 2
            if answer(mid) == answer(lo):
                lo = mid
            else:
                hi = mid
        out += [hi - 1, hi]
    return out


def main():
    output, rules = sys.argv[1], sys.argv[2]
    with open(rules) as fp:
        zones = zone_names() + [l.strip() for l in fp if l.strip() and not l.startswith("#")]
    with open(output + ".part", "w") as out:
        for zone in zones:
            os.environ["TZ"] = zone
            time.tzset()
            for t in instants():
                out.write("%s\t%d\t%d\t%s\n" % (zone, t, time.localtime(t).tm_isdst, text(t)))
    os.replace(output + ".part", output)


if __name__ == "__main__":
    main()
