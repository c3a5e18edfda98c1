"""Reads what translaters-check and translaters-report write with --format tsv:
tables of tab-separated records, each table after a header line of "#", its
name and its columns' names (tools/logcheck/records.h writes them; the tools'
manual pages describe their tables). The scripts read the tools' output only
this way, never from the tables written for people, so that those can change
their wording freely."""

import subprocess


class RecordsError(Exception):
    """A tool wrote no records, or records of another form."""


def parse(text):
    """The tables of a tool's records: name -> a list of records, each a dict
    of column -> field."""
    columns = {}
    tables = {}
    for number, line in enumerate(text.splitlines(), 1):
        name, *fields = line.split("\t")
        if name.startswith("#"):
            columns[name[1:]] = fields
            tables[name[1:]] = []
        elif name in columns and len(fields) == len(columns[name]):
            tables[name].append(dict(zip(columns[name], fields)))
        else:
            raise RecordsError(f"line {number} is no record of a table begun before it: {line!r}")
    return tables


def only(tables, name, columns):
    """The one record of a table (the run's), with the columns asked for."""
    rows = tables.get(name, [])
    if len(rows) != 1:
        raise RecordsError(f"{len(rows)} records of table {name!r}, not one")
    missing = [column for column in columns if column not in rows[0]]
    if missing:
        raise RecordsError(f"table {name!r} has no column {', '.join(missing)}")
    return rows[0]


def run_tool(command, **kwargs):
    """Runs a tool with --format tsv: (the finished process, its output and
    standard error read as text, and its tables). Its input, if given, is
    bytes."""
    # The option first: translaters-check takes options only before its files.
    done = subprocess.run([command[0], "--format", "tsv", *command[1:]], capture_output=True,
                          check=False, **kwargs)
    done.stdout = done.stdout.decode(errors="replace")
    done.stderr = done.stderr.decode(errors="replace")
    return done, parse(done.stdout)


def findings(tables, log):
    """translaters-check's findings, a line each, for people, as the checker
    itself words them: LOG:LINE, or run for the run as a whole."""
    return "".join(f"{log + ':' + f['line'] if f['line'] != '0' else 'run'}: "
                   f"[{f['rule']}] {f['message']}\n" for f in tables.get("finding", []))
