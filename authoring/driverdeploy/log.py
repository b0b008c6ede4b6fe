"""driverdeploy log: what happened to each driver, read from a verbose installer log.

Reads a verbose installer log (msiexec /l*v) as Windows or Wine writes it and reports, per installation run,
the library's actions and, per driver package, catalog and protected service, the decision, the steps, the
outcome, the rollback and every failure with its code explained; the run's first failing line is named as the
cause. The summary comes first. Exit code 0 when the last run in the log succeeded, 1 when it failed or was
cancelled, 2 when the log cannot be read."""

import argparse
import json
import sys

from . import loghtml, logmodel, logreport, setupapilog

EXIT_UNREADABLE = 2


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        sys.stderr.write(f"driverdeploy log: {message}\n")
        raise SystemExit(EXIT_UNREADABLE)


def main(argv):
    parser = _Parser(prog="driverdeploy log", description=__doc__.split("\n\n")[1],
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("log", metavar="LOG", help="the verbose installer log")
    parser.add_argument("--html", metavar="REPORT.html", help="also write the report as one self-contained page")
    parser.add_argument("--setupapi", metavar="setupapi.dev.log",
                        help="show the device installation log's sections of each package under it")
    parser.add_argument("--json", action="store_true", help="print the facts as JSON (docs/log-report.md)")
    args = parser.parse_args(argv)
    try:
        log = logmodel.read(args.log)
        sections = None
        if args.setupapi:
            try:
                sections = setupapilog.read(args.setupapi)
            except OSError as e:
                raise logmodel.LogError(f"cannot read {args.setupapi}: {e.strerror}") from None
        data = logreport.facts(log, sections)
    except logmodel.LogError as e:
        sys.stderr.write(f"driverdeploy log: {args.log}: {e}\n")
        return EXIT_UNREADABLE
    if args.json:
        json.dump(data, sys.stdout, indent=1)
        sys.stdout.write("\n")
    else:
        sys.stdout.write(logreport.text(data))
    if args.html:
        try:
            with open(args.html, "w", encoding="utf-8") as f:
                f.write(loghtml.page(data))
        except OSError as e:
            sys.stderr.write(f"driverdeploy log: cannot write {args.html}: {e.strerror}\n")
            return EXIT_UNREADABLE
    last = log.last
    if data["exit_code"] == EXIT_UNREADABLE:
        where = f"run {last.index}" if last else "the log"
        sys.stderr.write(f"driverdeploy log: {args.log}: the log ends before {where} finished (cut short?): "
                         "its result is unknown\n")
    return data["exit_code"]
