#!/usr/bin/env python3
"""Checks a Chrome trace-event file written by translaters-report --perfetto.

usage: perfetto_check.py JSON

The file must parse as {"traceEvents": [...], "displayTimeUnit": "ms"} and:
  - every thread that has events is named (an "M" thread_name), the process too;
  - the "X" slices of each thread nest: none ends before it starts, and two of
    them are either disjoint or one inside the other;
  - every flow id has one "s" and one "f" ("bp": "e"), the start no later than
    the finish, each inside an "X" slice of its own thread;
  - every counter stays at 0 or above and ends at 0.

(The file against the trace it was made from is checked by the report tests,
which read the trace through the shared decoder.)

Prints each problem found; exits 0 if there is none, 1 if there is any, 2 for
a usage error.
"""

import json
import sys
from collections import defaultdict


def ns(value):
    """A ts or dur in microseconds, back in whole nanoseconds."""
    return round(value * 1000)


def check_shape(document, problems):
    if not isinstance(document, dict) or not isinstance(document.get("traceEvents"), list):
        problems.append('not {"traceEvents": [...]}')
        return []
    if document.get("displayTimeUnit") != "ms":
        problems.append('displayTimeUnit is not "ms"')
    events = document["traceEvents"]
    for index, event in enumerate(events):
        if not isinstance(event, dict) or not {"ph", "pid", "tid", "name"} <= event.keys():
            problems.append(f"event {index} lacks ph, pid, tid or name: {event}")
        elif event["ph"] != "M" and not (isinstance(event.get("ts"), (int, float))
                                         and event["ts"] >= 0):
            problems.append(f"event {index} has no ts of zero or more: {event}")
    return [event for event in events if isinstance(event, dict) and
            {"ph", "pid", "tid", "name"} <= event.keys()]


def check_names(events, problems):
    named = {(e["pid"], e["tid"]) for e in events if e["ph"] == "M" and e["name"] == "thread_name"
             and e.get("args", {}).get("name")}
    processes = {e["pid"] for e in events if e["ph"] == "M" and e["name"] == "process_name"}
    for track in sorted({(e["pid"], e["tid"]) for e in events if e["ph"] not in "MC"}):
        if track not in named:
            problems.append(f"thread {track[1]} has events but no thread_name")
        if track[0] not in processes:
            problems.append(f"process {track[0]} has no process_name")
    return named


def slices_by_track(events, problems):
    tracks = defaultdict(list)
    for event in events:
        if event["ph"] != "X":
            continue
        begin, length = ns(event["ts"]), ns(event.get("dur", -1))
        if length < 0:
            problems.append(f"slice ends before it starts: {event}")
            continue
        tracks[(event["pid"], event["tid"])].append((begin, begin + length, event["name"]))
    return tracks


def check_nesting(tracks, problems):
    for track, slices in tracks.items():
        open_slices = []
        for begin, end, name in sorted(slices, key=lambda s: (s[0], -(s[1] - s[0]))):
            while open_slices and open_slices[-1][1] <= begin:
                open_slices.pop()
            if open_slices and end > open_slices[-1][1]:
                outer = open_slices[-1]
                problems.append(f"thread {track[1]}: slice '{name}' [{begin}, {end}] ns overlaps "
                                f"'{outer[2]}' [{outer[0]}, {outer[1]}] ns partly")
            open_slices.append((begin, end, name))


def inside_slice(tracks, track, at):
    return any(begin <= at <= end for begin, end, _ in tracks.get(track, []))


def check_flows(events, tracks, problems):
    ends = defaultdict(list)
    for event in events:
        if event["ph"] in ("s", "f"):
            ends[event.get("id")].append(event)
    flows = {}
    for flow_id, pair in ends.items():
        phases = sorted(event["ph"] for event in pair)
        if flow_id is None or phases != ["f", "s"]:
            problems.append(f"flow id {flow_id}: ends {phases}, not one s and one f")
            continue
        start = next(event for event in pair if event["ph"] == "s")
        finish = next(event for event in pair if event["ph"] == "f")
        if finish.get("bp") != "e":
            problems.append(f"flow id {flow_id}: its f has no \"bp\": \"e\"")
        if ns(start["ts"]) > ns(finish["ts"]):
            problems.append(f"flow id {flow_id} ends before it starts")
        for end in (start, finish):
            if not inside_slice(tracks, (end["pid"], end["tid"]), ns(end["ts"])):
                problems.append(f"flow id {flow_id}: its {end['ph']} at {end['ts']} us is in no "
                                f"slice of thread {end['tid']}")
        flows[flow_id] = ((start["tid"], ns(start["ts"])), (finish["tid"], ns(finish["ts"])))
    return flows


def counters(events):
    series = defaultdict(list)
    for event in events:
        if event["ph"] == "C":
            for key, value in event.get("args", {}).items():
                series[(event["pid"], event["name"], key)].append((ns(event["ts"]), value))
    return {name: [value for _, value in sorted(values, key=lambda v: v[0])]
            for name, values in series.items()}


def check_counters(series, problems):
    for (_, name, key), values in series.items():
        if any(not isinstance(value, (int, float)) or value < 0 for value in values):
            problems.append(f"counter '{name}' ({key}) goes below 0 or is not a number")
        if not values or values[-1] != 0:
            problems.append(f"counter '{name}' ({key}) does not end at 0")


def main(argv):
    if len(argv) != 2:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    problems = []
    try:
        with open(argv[1], encoding="utf-8") as json_file:
            document = json.load(json_file)
    except (OSError, ValueError) as error:
        print(f"perfetto_check: {argv[1]} does not parse: {error}")
        return 1
    events = check_shape(document, problems)
    named = check_names(events, problems)
    tracks = slices_by_track(events, problems)
    check_nesting(tracks, problems)
    flows = check_flows(events, tracks, problems)
    series = counters(events)
    check_counters(series, problems)
    for problem in problems[:40]:
        print(f"perfetto_check: {problem}")
    if len(problems) > 40:
        print(f"perfetto_check: and {len(problems) - 40} more")
    if not problems:
        print(f"perfetto_check: clean: {len(events)} events, {len(named)} named threads, "
              f"{sum(len(s) for s in tracks.values())} slices, {len(flows)} flows, "
              f"{len(series)} counters")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
