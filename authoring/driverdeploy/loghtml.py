"""The report of `driverdeploy log --html` as one self-contained page: no network access, no other file. It shows
the same facts as the text report and, per run, a timeline of the script phase with one row per package thread:
a bar from the thread's first to its last line for that package, failures marked, so a parallel run and where
its time went can be seen at a glance."""

import html
import json

from . import logmodel

_STYLE = """
body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 2em; border-bottom: 1px solid #ccc; }
.summary { background: #f4f4f4; padding: .6em 1em; border-left: 4px solid #888; white-space: pre-wrap;
           font-family: ui-monospace, monospace; }
.summary.fail { border-color: #c22; } .summary.ok { border-color: #2a2; }
table { border-collapse: collapse; margin: .5em 0; } td, th { padding: 2px 8px; text-align: left; }
th { background: #eee; } tr:nth-child(even) td { background: #fafafa; }
.failure { color: #b00; font-weight: bold; } .warning { color: #a60; } .cancel { color: #b00; }
.timeline { position: relative; margin: .5em 0 1em; border: 1px solid #ccc; padding: 4px 0; }
.row { position: relative; height: 22px; }
.row .label { position: absolute; left: 0; width: 29%; overflow: hidden; white-space: nowrap;
              text-overflow: ellipsis; font-size: 12px; padding-left: 6px; line-height: 22px; }
.row .lane { position: absolute; left: 30%; right: 8px; top: 3px; bottom: 3px; background: #f6f6f6; }
.bar { position: absolute; top: 0; bottom: 0; min-width: 3px; background: #4a7bd0; border-radius: 2px; }
.bar.rollback { background: #9a6bd0; } .bar.failed { background: #d04a4a; }
.bar.failed::after { content: "\\2716"; position: absolute; right: -14px; top: -2px; color: #b00; font-size: 12px; }
.axis { position: relative; height: 16px; margin-left: 30%; margin-right: 8px; font-size: 11px; color: #666; }
.axis span { position: absolute; transform: translateX(-50%); white-space: nowrap; }
details { margin: .3em 0 .3em 1em; } summary { cursor: pointer; }
pre { margin: .2em 0 .2em 1em; white-space: pre-wrap; font-size: 12px; }
"""

# Fills in the time axis of each timeline and shows a bar's details when it is hovered; the page reads without it.
_SCRIPT = """
(function () {
  document.querySelectorAll('.timeline').forEach(function (t) {
    var span = Number(t.dataset.span), axis = t.querySelector('.axis');
    for (var i = 0; i <= 4; i++) {
      var s = document.createElement('span');
      s.style.left = (i * 25) + '%';
      s.textContent = '+' + (span * i / 4 / 1000).toFixed(2) + ' s';
      axis.appendChild(s);
    }
  });
  document.querySelectorAll('.bar').forEach(function (b) {
    b.title = b.dataset.what;
  });
  document.body.dataset.ready = 'yes';
})();
"""


def _e(text):
    return html.escape("" if text is None else str(text))


def page(data):
    out = ["<!DOCTYPE html>", "<html lang=\"en\"><head><meta charset=\"utf-8\">",
           f"<title>driverdeploy log: {_e(data['log']['path'])}</title>",
           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
           "script-src 'unsafe-inline'\">",
           f"<style>{_STYLE}</style></head><body>",
           f"<h1>driverdeploy log: {_e(data['log']['path'])}</h1>",
           f"<p>{_e(data['log']['encoding'])}, {_e(data['log']['line_ends'])}; {data['log']['lines']} lines, "
           f"{data['log']['library_lines']} of driverdeploy. Last run: <b>{_e(data['result'])}</b>.</p>",
           f"<div class=\"summary {'ok' if data['exit_code'] == 0 else 'fail'}\" id=\"summary\">"
           + "\n".join(_e(s) for s in data["summary"]) + "</div>"]
    for run in data["runs"]:
        out.append(f"<h2 id=\"run-{run['index']}\">Run {run['index']}: {_e(run['operation'] or 'installation')} of "
                   f"{_e(run['product'] or '?')} {_e(run['version'] or '')} &mdash; {_e(run['result'])}"
                   + (f" ({run['status']})" if run["status"] is not None else "") + "</h2>")
        out.append(f"<p>{_e(run['start'])} to {_e(run['end'])}"
                   + (f"; inside run {run['parent']}" if run["parent"] is not None else "")
                   + ("" if run["ended"] else "; <span class=\"failure\">the log ends before this run does</span>")
                   + "</p>")
        out += _timeline(run)
        if run["actions"]:
            out.append("<table class=\"actions\"><tr><th>action</th><th>kind</th><th>start</th><th>end</th>"
                       "<th>duration</th><th>result</th></tr>")
            for a in run["actions"]:
                cls = " class=\"failure\"" if a["result"] not in (0, None) else ""
                duration = f"{a['duration_ms'] / 1000:.3f} s" if a["duration_ms"] is not None else "-"
                out.append(f"<tr><td>{_e(a['name'])}</td><td>{_e(a['kind'])}</td><td>{_e(a['start'])}</td>"
                           f"<td>{_e(a['end'])}</td><td>{duration}</td><td{cls}>{_e(a['result_name'])}</td></tr>")
            out.append("</table>")
        for item in run["items"]:
            failed = item["outcome"] in ("failed", "cancelled")
            out.append(f"<details{' open' if failed else ''} class=\"item\"><summary>"
                       f"{_e(logmodel.KIND_NAMES.get(item['kind'], item['kind']))} <b>{_e(item['id'])}</b>: "
                       f"<span class=\"{'failure' if failed else ''}\">{_e(item['outcome'])}</span>"
                       + (f"; rollback {_e(item['rollback'])}" if item["rollback"] else "") + "</summary>")
            if item["decision"]:
                out.append(f"<p>decision ({_e(item['decision_line']['action'])}): {_e(item['decision'])}</p>")
            if item["operations"]:
                out.append("<p>operations: " + ", ".join(f"{_e(o['action'])} ({_e(o['kind'])})"
                                                         for o in item["operations"]) + "</p>")
            for f in item["failures"]:
                out.append(f"<p class=\"failure\">failed at step &ldquo;{_e(f['step'])}&rdquo;{_code(f['code'])}</p>")
            out.append("<pre>" + "\n".join(_line(s) for s in item["decisions"] + item["steps"]) + "</pre>")
            for s in item.get("setupapi", []):
                out.append(f"<p>setupapi: [{_e(s['title'])}] {_e(s['start'])} to {_e(s['end'])}: {_e(s['status'])}"
                           f"{_code(s['code'])}</p>")
                if s["errors"]:
                    out.append("<pre class=\"failure\">" + "\n".join("!!! " + _e(x) for x in s["errors"]) + "</pre>")
            out.append("</details>")
        if run["failures"]:
            out.append("<h3>failures</h3><pre>" + "\n".join(
                f"<span class=\"failure\">line {f['line']}, {_e(f['time'])} {_e(f['action'])}: {_e(f['text'])}</span>"
                + _code(f["explained"]) for f in run["failures"]) + "</pre>")
        for e in run["installer_errors"]:
            out.append(f"<p class=\"failure\">installer error {e['number']}: {_e(e['text'])}</p>")
        others = [s for s in run["other_lines"] if s["role"] != "finished"]
        if others:
            out.append("<details><summary>other lines of the library</summary><pre>"
                       + "\n".join(_line(s) for s in others) + "</pre></details>")
    out.append(f"<script type=\"application/json\" id=\"facts\">{_json_in_html(data)}</script>")
    out.append(f"<script>{_SCRIPT}</script></body></html>")
    return "\n".join(out) + "\n"


def _json_in_html(data):
    return json.dumps(data).replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def _code(code):
    if not code:
        return ""
    if code["name"]:
        return f" &mdash; {_e(code['code'])} = {_e(code['name'])}: {_e(code['meaning'])}"
    return f" &mdash; {_e(code['code'])}"


def _line(s):
    cls = {"failure": "failure", "warning": "warning", "cancel": "cancel"}.get(s["role"])
    text = f"{_e(s['time'])} {_e(s['action'])} {_e(s['thread'] or '')} {_e(s['text'])}"
    return f"<span class=\"{cls}\">{text}</span>" if cls else text


def timeline_rows(run):
    """(item, thread span) of each package thread of the run's script phase, in the order they began."""
    rows = [(item, t) for item in run["items"] for t in item["threads"]]
    return sorted(rows, key=lambda r: (r[1]["start_ms"], r[1]["end_ms"]))


def _timeline(run):
    rows = timeline_rows(run)
    if not rows:
        return []
    start = min(t["start_ms"] for _, t in rows)
    end = max(t["end_ms"] for _, t in rows)
    span = max(end - start, 1)
    out = [f"<div class=\"timeline\" data-span=\"{span}\" data-run=\"{run['index']}\">"]
    for item, t in rows:
        left = (t["start_ms"] - start) * 100.0 / span
        width = max((t["end_ms"] - t["start_ms"]) * 100.0 / span, 0.3)
        kind = logmodel.action_kind(t["action"])
        cls = "bar" + (" rollback" if kind == "rollback" else "") + (" failed" if t["failed"] else "")
        what = f"{item['id']}: {t['action']}, thread {t['thread']}, {t['start']} to {t['end']}" + \
            (", failed" if t["failed"] else "")
        out.append(f"<div class=\"row\" data-item=\"{_e(item['id'])}\" data-thread=\"{_e(t['thread'])}\">"
                   f"<div class=\"label\">{_e(item['id'])} &middot; {_e(t['action'])} &middot; {_e(t['thread'])}</div>"
                   f"<div class=\"lane\"><div class=\"{cls}\" style=\"left:{left:.2f}%;width:{width:.2f}%\" "
                   f"data-what=\"{_e(what)}\"></div></div></div>")
    out.append("<div class=\"axis\"></div></div>")
    return out
