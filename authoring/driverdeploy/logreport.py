"""The facts of a read installer log (logmodel.Log) as plain data, the layout `driverdeploy log --json` prints
(docs/log-report.md), and as the text report a person reads: the summary first, then every run."""

import datetime
import re

from . import codes, logmodel, setupapilog

LAYOUT_VERSION = 1


def _time(log, ms):
    return logmodel.clock(ms, log.day)


def _datetime(log, ms):
    if ms is None or log.day is None:
        return None
    return datetime.datetime.combine(log.day, datetime.time()) + datetime.timedelta(milliseconds=ms)


def _step(log, step):
    return step.to_json(log.day) if step is not None else None


def _explained(code):
    if code is None:
        return None
    known = codes.explain(code)
    return {"code": f"0x{code:08x}", "name": known[0] if known else None, "meaning": known[1] if known else None}


def _failing_step(item_or_none, failure):
    """What the package was doing when it failed: the message inside the failure line, and the last step the same
    action and thread took before it."""
    m = re.match(r"^Failed to (?:execute|finalize) driver package '[^']*'\. (?P<msg>.*?) Error 0x[0-9a-fA-F]+\.$",
                 failure.text)
    message = m.group("msg") if m else failure.text
    before = None
    if item_or_none is not None:
        for s in item_or_none.steps:
            if s.line >= failure.line:
                break
            if s.action == failure.action and s.thread == failure.thread and s.role not in ("failure",):
                before = s
    return message, before


def _paths(item):
    """The INF files and hardware ids an item's lines name."""
    infs, hardware = [], []
    for s in item.steps:
        for q in re.findall(r"'([^']*)'", s.text):
            if q.lower().endswith(".inf") and q not in infs:
                infs.append(q)
        m = re.match(r"^(?:Installing|Uninstalling) hardware '([^']*)'", s.text)
        if m and m.group(1) not in hardware:
            hardware.append(m.group(1))
    return infs, hardware


def _section(s):
    return {"title": s.title, "line": s.line,
            "start": s.start.isoformat(sep=" ", timespec="milliseconds") if s.start else None,
            "end": s.end.isoformat(sep=" ", timespec="milliseconds") if s.end else None,
            "status": s.status or "not closed", "code": _explained(s.code), "errors": s.errors,
            "warnings": s.warnings}


def facts(log, sections=None):
    """Everything the report shows, as JSON-ready data."""
    runs = []
    for run in log.runs:
        items = []
        for (kind, id_), item in run.items.items():
            decision = item.decision
            infs, hardware = _paths(item)
            failures = []
            for f in item.failures:
                message, before = _failing_step(item, f)
                failures.append({"line": _step(log, f), "step": message, "step_before": _step(log, before),
                                 "code": _explained(f.code)})
            entry = {
                "kind": kind, "id": id_,
                "decision": decision.text if decision else None,
                "decision_line": _step(log, decision),
                "decisions": [_step(log, d) for d in item.decisions],
                "operations": [{"action": a, "kind": k} for a, k, _ in item.operations],
                "steps": [_step(log, s) for s in item.steps],
                "threads": [{"action": a, "thread": f"0x{t:04x}" if t is not None else None,
                             "start": _time(log, span[0]), "end": _time(log, span[1]),
                             "start_ms": span[0], "end_ms": span[1], "failed": span[2]}
                            for (a, _, t), span in item.threads().items()],
                "outcome": item.outcome or ("skipped" if item.skipped else "not run"),
                "rollback": item.rollback or None,
                "failures": failures,
                "inf_files": infs, "hardware_ids": hardware,
            }
            if sections is not None:
                start, end = _datetime(log, run.start), _datetime(log, run.end)
                names = [n.rsplit("\\", 1)[-1] for n in infs] + hardware
                entry["setupapi"] = [_section(s) for s in sections
                                     if setupapilog.within(s, start, end) and any(s.names(n) for n in names if n)]
            items.append(entry)
        cause = run.cause
        cause_item = None
        if cause is not None:
            cause_item = next(((k, i) for (k, i), it in run.items.items() if cause in it.steps), None)
        cause_out = None
        if cause is not None:
            owner = run.items.get(cause_item) if cause_item else None
            message, before = _failing_step(owner, cause)
            cause_out = {"line": _step(log, cause), "kind": cause_item[0] if cause_item else None,
                         "id": cause_item[1] if cause_item else None, "step": message,
                         "step_before": _step(log, before), "code": _explained(cause.code)}
        runs.append({
            "index": run.index, "parent": run.parent, "nested": run.nested, "first_line": run.first_line,
            "product": run.product or None, "version": run.version or None, "operation": run.operation or None,
            "result": run.result, "status": run.status, "ended": run.ended,
            "start": _time(log, run.start), "end": _time(log, run.end),
            "actions": [{"name": a.name, "kind": a.kind, "start": _time(log, a.start), "end": _time(log, a.end),
                         "duration_ms": (a.end - a.start) if a.end is not None and a.start is not None else None,
                         "result": a.result, "result_name": logmodel.result_name(a.result)
                         if a.result is not None else "not finished"} for a in run.actions],
            "items": items,
            "failures": [dict(_step(log, f), explained=_explained(f.code)) for f in run.failures],
            "cause": cause_out,
            "installer_errors": [{"line": no, "number": number, "text": text,
                                  "meaning": (codes.error_number(number) or (None, None))[1]}
                                 for no, number, text in run.installer_errors],
            "other_lines": [_step(log, s) for s in run.other],
        })
    last = log.last
    return {
        "layout": LAYOUT_VERSION,
        "log": {"path": log.path, "encoding": log.encoding, "line_ends": log.line_end, "lines": log.line_count,
                "library_lines": log.library_line_count, "date": log.day.isoformat() if log.day else None},
        "result": last.result if last else "unknown",
        "exit_code": exit_code(log),
        "summary": summary(log, runs),
        "runs": runs,
    }


def exit_code(log):
    last = log.last
    if last is None or last.result == "unknown":
        return 2
    return 0 if last.result == "success" else 1


def _names(items, outcomes):
    # What a rollback restored is no longer installed or removed: it is listed under the rollback.
    return ", ".join(f"{i['id']}" for i in items if i["outcome"] in outcomes and
                     (i["rollback"] != "restored" or i["outcome"] in ("failed", "cancelled")))


def summary(log, runs):
    """A few lines: per run what was installed, removed, skipped and failed; the cause of a failure with its
    explained code; and what the rollback did."""
    out = []
    for run in runs:
        if run["parent"] is not None:
            label = f"run {run['index']} (inside run {run['parent']})"
        else:
            label = f"run {run['index']}"
        product = run["product"] or "the product"
        version = f" {run['version']}" if run["version"] else ""
        status = f" ({run['status']})" if run["status"] not in (None, 0) else ""
        out.append(f"{label}: {run['operation'] or 'installation'} of {product}{version}: "
                   f"{run['result'].upper()}{status}")
        cause = run["cause"]
        if cause is not None:
            where = f"{logmodel.KIND_NAMES.get(cause['kind'], cause['kind'])} '{cause['id']}'" if cause["id"] \
                else f"action {cause['line']['action']}"
            code = cause["code"]
            code_text = ""
            if code:
                code_text = f"; code {code['code']}" + (f" = {code['name']}: {code['meaning']}" if code["name"]
                                                          else " (not in the tables)")
            what = "was cancelled by the user" if code and code["code"] == "0x80070642" else "failed"
            out.append(f"  cause: {where} {what} at step \"{cause['step']}\"{code_text} "
                       f"[line {cause['line']['line']}, {cause['line']['time']}]")
        for title, outcomes in (("installed", ("installed", "upgraded", "protected")),
                                ("removed", ("uninstalled", "removed", "unprotected")),
                                ("failed", ("failed",)), ("cancelled", ("cancelled",))):
            names = _names(run["items"], outcomes)
            if names:
                out.append(f"  {title}: {names}")
        skipped = [i for i in run["items"] if i["outcome"] == "skipped"]
        if skipped:
            out.append("  skipped: " + ", ".join(f"{i['id']} ({i['decision']})" for i in skipped))
        rolled = [i for i in run["items"] if i["rollback"]]
        if rolled:
            out.append("  rolled back: " + ", ".join(f"{i['id']} ({i['rollback']})" for i in rolled))
        for e in run["installer_errors"]:
            out.append(f"  installer error {e['number']}: {e['text']}")
    return out


# ---------------------------------------------------------------------------
# Text

def text(data):
    out = [f"driverdeploy log: {data['log']['path']} ({data['log']['encoding']}, {data['log']['line_ends']}; "
           f"{data['log']['lines']} lines, {data['log']['library_lines']} of driverdeploy)", ""]
    out += data["summary"]
    for run in data["runs"]:
        out += ["", f"== Run {run['index']}: {run['operation'] or 'installation'} of {run['product'] or '?'}"
                    f"{' ' + run['version'] if run['version'] else ''}, {run['start'] or '?'} to {run['end'] or '?'}:"
                    f" {run['result']}" + (f" ({run['status']})" if run["status"] is not None else "")]
        if run["parent"] is not None:
            out.append(f"   inside run {run['parent']} (the removal of the earlier product)")
        if not run["ended"]:
            out.append("   the log ends before this run does")
        if run["actions"]:
            out.append("   actions:")
            for a in run["actions"]:
                duration = f"{a['duration_ms'] / 1000:.3f} s" if a["duration_ms"] is not None else "-"
                out.append(f"     {a['name']:32} {a['kind']:9} {a['start'] or '-':>23} {a['end'] or '-':>23} "
                           f"{duration:>9}  {a['result_name']}")
        for item in run["items"]:
            out.append(f"   {logmodel.KIND_NAMES.get(item['kind'], item['kind'])} '{item['id']}': {item['outcome']}"
                       + (f"; rollback {item['rollback']}" if item["rollback"] else ""))
            if item["decision"]:
                out.append(f"     decision: {item['decision_line']['action']}: {item['decision']}")
            for d in item["decisions"]:
                if d["text"] != item["decision"]:
                    out.append(f"       {d['action']}: {d['text']}")
            if item["operations"]:
                out.append("     operations: " + ", ".join(f"{o['action']} ({o['kind']})" for o in item["operations"]))
            for s in item["steps"]:
                out.append(f"     {s['time']} {s['action']} {s['thread'] or '':6} {_mark(s)}{s['text']}")
            for f in item["failures"]:
                out.append(f"     failed at step \"{f['step']}\"" + _code_text(f["code"]))
            for section in item.get("setupapi", []):
                out.append(f"     setupapi: [{section['title']}] {section['start']} to {section['end']}: "
                           f"{section['status']}" + _code_text(section["code"]))
                for e in section["errors"]:
                    out.append(f"       !!! {e}")
        if run["failures"]:
            out.append("   failures:")
            for f in run["failures"]:
                out.append(f"     line {f['line']}, {f['time']} {f['action']} {f['thread'] or ''}: {f['text']}"
                           + _code_text(f["explained"]))
        others = [s for s in run["other_lines"] if s["role"] != "finished"]
        if others:
            out.append("   other lines of the library:")
            for s in others:
                out.append(f"     {s['time']} {s['action']} {s['thread'] or '':6} {_mark(s)}{s['text']}")
    return "\n".join(out) + "\n"


def _mark(step):
    return {"failure": "!! ", "warning": "!  ", "cancel": "!! "}.get(step["role"], "")


def _code_text(code):
    if not code:
        return ""
    if code["name"]:
        return f"\n       {code['code']} = {code['name']}: {code['meaning']}"
    return f"\n       {code['code']}: not in the tables"
