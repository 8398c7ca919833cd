#!/usr/bin/env python3
"""Recurring events expanded by Pellora and by python3-dateutil, compared week by week.

Generates recurring events of every frequency (ordinal BYDAY, negative BYMONTHDAY, BYSETPOS,
COUNT, UNTIL in UTC and as a date, EXDATE, RDATE, RECURRENCE-ID, all-day events) in zones with
skipped and repeated hours and half-hour shifts, writes each as an .ics file, and compares what
Pellora's reader returns for whole local weeks with dateutil's expansion of the same rule, read
the way iCalendar says: a skipped local time moves forward by the gap, a repeated one is the
first, an all-day event starts when its day starts. The weeks are the first of each series, the
weeks of every offset change of its zone and of the reading zone, and a few more.

Usage: recurrence_differential.py EXPAND-OCCURRENCES [--events N] [--seed S]
"""

import argparse
import os
import random
import subprocess
import sys
import tempfile
from datetime import date, datetime, timedelta, timezone
from zoneinfo import ZoneInfo

from dateutil import rrule

SERIES_ZONES = [None, "America/New_York", "Europe/Rome", "America/Santiago",
                "Australia/Lord_Howe", "Pacific/Chatham", "Asia/Kolkata", "America/St_Johns",
                "Europe/London", "UTC"]
READING_ZONES = ["Europe/Rome", "America/Santiago", "Australia/Lord_Howe"]
DAYS = ["MO", "TU", "WE", "TH", "FR", "SA", "SU"]
EPOCH = datetime(1970, 1, 1)


def zone_of(name):
    return timezone.utc if name == "UTC" else ZoneInfo(name)


def instant(wall, zone):
    """Seconds since 1970 of a wall time: a skipped time moves forward, a repeated one is the
    first (fold=0 reads both with the offset before the change)."""
    return int(wall.replace(tzinfo=zone, fold=0).timestamp())


def wall_of(seconds, zone):
    return datetime.fromtimestamp(seconds, zone).replace(tzinfo=None)


def ics_time(wall):
    return wall.strftime("%Y%m%dT%H%M%S")


_TRANSITIONS = {}


def transitions(zone, start, end):
    """Days on which the zone's offset changes between two dates (2025 to 2030 known)."""
    if zone is timezone.utc:
        return []
    if zone not in _TRANSITIONS:
        days = []
        day = datetime(2025, 1, 1)
        previous = zone.utcoffset(day)
        while day < datetime(2030, 12, 31):
            day += timedelta(days=1)
            offset = zone.utcoffset(day)
            if offset != previous:
                # The change happened during the day before this midnight.
                days.append((day - timedelta(days=1)).date())
            previous = offset
        _TRANSITIONS[zone] = days
    return [d for d in _TRANSITIONS[zone] if start <= d <= end]


def random_rule(rnd, all_day):
    freqs = ["YEARLY", "MONTHLY", "WEEKLY", "DAILY"]
    if not all_day:
        freqs += ["HOURLY", "MINUTELY", "SECONDLY"]
    freq = rnd.choice(freqs)
    parts = ["FREQ=" + freq]
    bounded = False  # sub-daily rules need COUNT, UNTIL or day limits to stay small per week
    if freq == "YEARLY":
        kind = rnd.randrange(6)
        if kind == 1:
            parts.append("BYMONTH=%d" % rnd.randint(1, 12))
            parts.append("BYDAY=%d%s" % (rnd.choice([1, 2, 3, 4, -1, -2]), rnd.choice(DAYS)))
        elif kind == 2:
            parts.append("BYMONTH=2;BYMONTHDAY=%s" % rnd.choice(["29", "-1", "28,29"]))
        elif kind == 3:
            parts.append("BYMONTH=%d,%d" % tuple(sorted(rnd.sample(range(1, 13), 2))))
            parts.append("BYMONTHDAY=%d" % rnd.choice([1, 15, -1, 31, -3]))
        elif kind == 4:
            parts.append("BYMONTH=%d;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=%s"
                         % (rnd.randint(1, 12), rnd.choice(["1", "-1", "2,-2"])))
        elif kind == 5:
            parts.append("BYYEARDAY=%s" % rnd.choice(["1", "-1", "100", "60,-60", "366"]))
        if rnd.random() < 0.2:
            parts.append("INTERVAL=2")
    elif freq == "MONTHLY":
        kind = rnd.randrange(6)
        if kind == 1:
            parts.append("BYMONTHDAY=%s" % rnd.choice(["-1", "-2", "31", "15,-1", "1,-7", "30"]))
        elif kind == 2:
            parts.append("BYDAY=%s" % ",".join(
                "%d%s" % (rnd.choice([1, 2, 3, 4, -1, -2, 5]), rnd.choice(DAYS))
                for _ in range(rnd.randint(1, 2))))
        elif kind == 3:
            parts.append("BYDAY=MO,TU,WE,TH,FR;BYSETPOS=%s" % rnd.choice(["-1", "1", "2,-2", "3"]))
        elif kind == 4:
            parts.append("BYDAY=FR;BYMONTHDAY=13")
        elif kind == 5:
            parts.append("BYDAY=%s;BYSETPOS=-1" % ",".join(sorted(rnd.sample(DAYS, 2),
                                                                key=DAYS.index)))
        if rnd.random() < 0.3:
            parts.append("INTERVAL=%d" % rnd.randint(2, 4))
    elif freq == "WEEKLY":
        if rnd.random() < 0.7:
            parts.append("BYDAY=" + ",".join(sorted(rnd.sample(DAYS, rnd.randint(1, 4)),
                                                    key=DAYS.index)))
        if rnd.random() < 0.4:
            parts.append("INTERVAL=%d" % rnd.randint(2, 3))
            if rnd.random() < 0.5:
                parts.append("WKST=SU")
    elif freq == "DAILY":
        kind = rnd.randrange(4)
        if kind == 1:
            parts.append("BYDAY=" + ",".join(sorted(rnd.sample(DAYS, 3), key=DAYS.index)))
        elif kind == 2:
            parts.append("BYMONTH=%s" % ",".join(str(m) for m in sorted(rnd.sample(range(1, 13), 4))))
        elif kind == 3:
            parts.append("BYMONTHDAY=-1,1,15")
        if rnd.random() < 0.4:
            parts.append("INTERVAL=%d" % rnd.randint(2, 5))
    elif freq == "HOURLY":
        if rnd.random() < 0.5:
            parts.append("BYDAY=%s;BYHOUR=%s" % (rnd.choice(DAYS), rnd.choice(["0,1,2,3", "9,17", "2"])))
            bounded = True
        else:
            parts.append("INTERVAL=%d" % rnd.choice([1, 2, 3, 5, 7, 13]))
    elif freq == "MINUTELY":
        if rnd.random() < 0.5:
            parts.append("BYDAY=%s;BYHOUR=%s;INTERVAL=%d"
                         % (rnd.choice(DAYS), rnd.choice(["1,2,3", "10"]), rnd.choice([15, 20, 90])))
            bounded = True
        else:
            parts.append("INTERVAL=%d" % rnd.choice([15, 30, 45, 90, 100]))
    else:
        parts.append("INTERVAL=%d" % rnd.choice([900, 1800, 3600, 5400]))
    return freq, parts, bounded


def make_event(rnd, index):
    """One recurring series, its overridden instance if any; None when the rule never occurs."""
    all_day = rnd.random() < 0.25
    zone_name = None if all_day else rnd.choice(SERIES_ZONES)
    freq, parts, bounded = random_rule(rnd, all_day)
    seed_day = date(2026, 1, 1) + timedelta(days=rnd.randrange(0, 540))
    if all_day:
        seed = datetime(seed_day.year, seed_day.month, seed_day.day)
    else:
        hour, minute = rnd.choice([(0, 0), (0, 30), (1, 30), (2, 0), (2, 15), (2, 30), (3, 0),
                                   (9, 0), (14, 30), (23, 45), (23, 0)])
        seed = datetime(seed_day.year, seed_day.month, seed_day.day, hour, minute)
    body = ";".join(parts)
    try:
        dtstart = rrule.rrulestr("RRULE:" + body, dtstart=seed, cache=False).after(seed, inc=True)
    except ValueError:  # dateutil refuses rules it can prove empty
        return None
    if dtstart is None:
        return None
    end_kind = rnd.random()
    count = until_utc = until_day = None
    if end_kind < 0.3 or (freq in ("HOURLY", "MINUTELY", "SECONDLY") and not bounded):
        count = rnd.randint(2, 60)
        body += ";COUNT=%d" % count
    elif end_kind < 0.55:
        span = timedelta(days=rnd.randint(1, 400)) if freq not in ("HOURLY", "MINUTELY", "SECONDLY") \
            else timedelta(hours=rnd.randint(3, 100))
        last = dtstart + span
        if all_day or rnd.random() < 0.2:
            until_day = last.date()
            body += ";UNTIL=" + until_day.strftime("%Y%m%d")
        else:
            # An instant, at times exactly an occurrence's.
            zone = zone_of(zone_name) if zone_name else None
            rule_walls = rrule.rrulestr("RRULE:" + body, dtstart=dtstart, cache=False)
            hit = rule_walls.before(last, inc=True) if rnd.random() < 0.5 else last
            hit = hit or last
            until_utc = instant(hit, zone) if zone else None
            if until_utc is None:
                until_utc = int((hit - EPOCH).total_seconds()) - 3600 * rnd.randint(-12, 12)
            body += ";UNTIL=" + datetime.fromtimestamp(until_utc, timezone.utc).strftime(
                "%Y%m%dT%H%M%SZ")
    event = {"index": index, "all_day": all_day, "zone": zone_name, "rule": body,
             "dtstart": dtstart, "count": count, "until_utc": until_utc, "until_day": until_day}
    if all_day:
        event["days"] = rnd.choice([None, 1, 2, 3])
    else:
        event["length"] = rnd.choice([("end", 15), ("end", 60), ("end", 150), ("duration", 45),
                                      ("duration", 120), ("end", 0)])
    walls = rrule.rrulestr("RRULE:" + body.split(";UNTIL=")[0], dtstart=dtstart, cache=False)
    early = [w for _, w in zip(range(12), walls)]
    event["exdates"] = rnd.sample(early[1:], min(len(early) - 1, rnd.choice([0, 0, 1, 2])))
    event["rdates"] = []
    if rnd.random() < 0.3:
        extra = dtstart + timedelta(days=rnd.randint(1, 40), hours=0 if all_day else 3)
        event["rdates"].append(extra)
    event["override"] = None
    remaining = [w for w in early[1:] if w not in event["exdates"]]
    if remaining and rnd.random() < 0.3:
        original = rnd.choice(remaining)
        moved = original + (timedelta(days=1) if all_day else timedelta(hours=2))
        event["override"] = (original, moved)
    return event


def ics_value(name, wall, event):
    if event["all_day"]:
        return "%s;VALUE=DATE:%s\r\n" % (name, wall.strftime("%Y%m%d"))
    if event["zone"] is None:
        return "%s:%s\r\n" % (name, ics_time(wall))
    if event["zone"] == "UTC":
        return "%s:%sZ\r\n" % (name, ics_time(wall))
    return "%s;TZID=%s:%s\r\n" % (name, event["zone"], ics_time(wall))


def ics_text(event):
    uid = "series-%d" % event["index"]
    start = event["dtstart"]
    lines = ["BEGIN:VEVENT\r\n", "UID:%s\r\n" % uid, "SUMMARY:Series %d\r\n" % event["index"],
             ics_value("DTSTART", start, event)]
    if event["all_day"]:
        if event["days"]:
            lines.append(ics_value("DTEND", start + timedelta(days=event["days"]), event))
    else:
        kind, minutes = event["length"]
        if kind == "end":
            lines.append(ics_value("DTEND", start + timedelta(minutes=minutes), event))
        else:
            lines.append("DURATION:PT%dM\r\n" % minutes)
    lines.append("RRULE:%s\r\n" % event["rule"])
    for wall in event["exdates"]:
        lines.append(ics_value("EXDATE", wall, event))
    for wall in event["rdates"]:
        lines.append(ics_value("RDATE", wall, event))
    lines.append("END:VEVENT\r\n")
    if event["override"]:
        original, moved = event["override"]
        lines += ["BEGIN:VEVENT\r\n", "UID:%s\r\n" % uid, ics_value("RECURRENCE-ID", original, event),
                  "SUMMARY:Moved\r\n", ics_value("DTSTART", moved, event)]
        if not event["all_day"]:
            lines.append("DURATION:PT30M\r\n")
        lines.append("END:VEVENT\r\n")
    return ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Pellora differential//EN\r\n" +
            "".join(lines) + "END:VCALENDAR\r\n")


class Expected:
    """The occurrences of one series as iCalendar defines them, from dateutil's wall times."""

    def __init__(self, event, local):
        self.event = event
        self.local = local
        self.zone = zone_of(event["zone"]) if event["zone"] else local
        start = event["dtstart"]
        if event["all_day"]:
            self.exact = None
        else:
            kind, minutes = event["length"]
            first = instant(start, self.zone)
            if kind == "duration":
                self.exact = minutes * 60
            else:
                end_wall = start + timedelta(minutes=minutes)
                self.exact = instant(end_wall, self.zone) - first
                if wall_of(first, self.zone) != start:  # a skipped start keeps its length
                    self.exact = minutes * 60
        self.walls = rrule.rrulestr("RRULE:" + event["rule"].split(";UNTIL=")[0],
                                    dtstart=start, cache=False)
        self.excluded = {self.start_of(w) for w in event["exdates"]}
        if event["override"]:
            self.excluded.add(self.start_of(event["override"][0]))

    def start_of(self, wall):
        if self.event["all_day"]:
            return instant(datetime(wall.year, wall.month, wall.day), self.local)
        return instant(wall, self.zone)

    def span(self, wall):
        start = self.start_of(wall)
        if self.event["all_day"]:
            days = self.event["days"] or 1
            following = wall + timedelta(days=days)
            return start, instant(datetime(following.year, following.month, following.day),
                                  self.local)
        return start, start + self.exact

    def passed_until(self, wall, start):
        if self.event["until_day"] is not None:
            return wall.date() > self.event["until_day"]
        if self.event["until_utc"] is not None:
            return start > self.event["until_utc"]
        return False

    def occurrences(self, frm, to):
        found = {}

        def consider(wall):
            start, end = self.span(wall)
            if start in self.excluded:
                return
            if start < to and (end > frm or (end == start and start >= frm)):
                found.setdefault(start, end)

        low = wall_of(frm, timezone.utc) - timedelta(days=5)
        high = wall_of(to, timezone.utc) + timedelta(days=2)
        consider(self.event["dtstart"])
        for wall in self.walls.between(low, high, inc=True):
            if not self.passed_until(wall, self.start_of(wall)):
                consider(wall)
        for wall in self.event["rdates"]:
            consider(wall)
        result = sorted(found.items())
        if self.event["override"]:  # an item of its own, also where it meets an occurrence
            moved = self.event["override"][1]
            if self.event["all_day"]:  # one day: the moved instance has no DTEND
                start = self.start_of(moved)
                following = moved + timedelta(days=1)
                end = instant(datetime(following.year, following.month, following.day), self.local)
            else:
                start = instant(moved, self.zone)
                end = start + 1800
            if start < to and (end > frm or (end == start and start >= frm)):
                result = sorted(result + [(start, end)])
        return result


def weeks_for(event, local, rnd):
    """Monday-to-Monday local weeks: the first, those of offset changes, and a few more."""
    start_day = event["dtstart"].date()
    mondays = {start_day - timedelta(days=start_day.weekday())}
    zones = [local] + ([zone_of(event["zone"])] if event["zone"] else [])
    for zone in zones:
        for day in transitions(zone, start_day - timedelta(days=7), start_day + timedelta(days=800)):
            mondays.add(day - timedelta(days=day.weekday()))
    for _ in range(2):
        day = start_day + timedelta(days=rnd.randint(7, 700))
        mondays.add(day - timedelta(days=day.weekday()))
    for monday in sorted(mondays):
        following = monday + timedelta(days=7)
        yield (instant(datetime(monday.year, monday.month, monday.day), local),
               instant(datetime(following.year, following.month, following.day), local))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tool")
    parser.add_argument("--events", type=int, default=300)
    parser.add_argument("--seed", type=int, default=20261207)
    args = parser.parse_args()
    rnd = random.Random(args.seed)
    events = []
    while len(events) < args.events:
        event = make_event(rnd, len(events))
        if event is not None:
            events.append(event)

    weeks = occurrences = 0
    differences = []
    with tempfile.TemporaryDirectory(prefix="pellora-differential-") as folder:
        for event in events:
            event["path"] = os.path.join(folder, "series-%d.ics" % event["index"])
            with open(event["path"], "w", newline="") as out:
                out.write(ics_text(event))
        for reading in READING_ZONES:
            local = ZoneInfo(reading)
            jobs = []
            for event in events:
                for frm, to in weeks_for(event, local, rnd):
                    jobs.append((event, frm, to))
            request = "".join("%s %d %d\n" % (e["path"], frm, to) for e, frm, to in jobs)
            answer = subprocess.run([args.tool, reading], input=request, capture_output=True,
                                    text=True, check=True).stdout.split(".\n")
            for (event, frm, to), text in zip(jobs, answer):
                got = sorted(tuple(int(v) for v in line.split()[:2])
                             for line in text.splitlines() if line)
                want = Expected(event, local).occurrences(frm, to)
                weeks += 1
                occurrences += len(want)
                if got != want:
                    differences.append((reading, event, frm, got, want))

    agreeing = weeks - len(differences)
    print("differential: %d series, %d reading zones, %d series-weeks, %d occurrences expected; "
          "%d weeks agree (%.2f%%)" % (len(events), len(READING_ZONES), weeks, occurrences,
                                       agreeing, 100.0 * agreeing / max(weeks, 1)))
    for reading, event, frm, got, want in differences[:15]:
        week = datetime.fromtimestamp(frm, ZoneInfo(reading)).date()
        print("\nread in %s, week of %s\n%s" % (reading, week, ics_text(event).replace("\r", "")))
        print("  pellora : %s" % [datetime.fromtimestamp(s, timezone.utc).isoformat() for s, _ in got])
        print("  dateutil: %s" % [datetime.fromtimestamp(s, timezone.utc).isoformat() for s, _ in want])
        print("  pellora spans : %s" % got)
        print("  dateutil spans: %s" % want)
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
