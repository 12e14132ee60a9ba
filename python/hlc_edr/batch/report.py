"""The report of a batch: summary.csv and index.html, from the rows of its
runs and the products that hlc_edr_dump names."""
import csv
import html
import os
import shutil
import time
import urllib.parse

from hlc_edr._tools import shown, write_atomically
from hlc_edr.batch.job import TEXT_RECORDS, TEXT_UNIT, THUMBNAIL_SIZE, paths, quicklook_folder, unit_of

HEAD_COLUMNS = ["tlm", "unit", "outcome", "exit_status"]
TAIL_COLUMNS = ["warnings", "warning_lines", "seconds", "quicklook_seconds", "tlm_bytes", "edr_bytes",
                "first_sclk", "last_sclk", "first_utc", "last_utc", "host", "output", "log", "skipped", "error",
                "quicklooks", "not_delivered", "work_file"]
# The outcomes of runs that did not deliver what they were to write.
UNDELIVERED = ("failed", "not run")


def record_columns(products):
    """The columns of records: one per product, in the registry's order,
    then the quaternion text's."""
    return list(products) + [TEXT_RECORDS]


def columns(products):
    return HEAD_COLUMNS + record_columns(products) + TAIL_COLUMNS


def column_unit(column):
    return TEXT_UNIT if column == TEXT_RECORDS else unit_of(column)


def undelivered(outdir, row):
    """What a run that did not end ok was to write (None for one that
    delivered, or had nothing to deliver), and the work file it left
    there (None when there is none)."""
    if row.get("outcome") not in UNDELIVERED or outdir is None:
        return None, None
    output = paths(outdir, row["tlm"], row["unit"])[0]
    work = output + ".tmp"
    return output, work if os.path.lexists(work) else None


def sclk_text(seconds):
    return "%.3f" % seconds if isinstance(seconds, (int, float)) else ""


def utc_text(seconds, epoch):
    return epoch.utc(seconds) if epoch is not None and isinstance(seconds, (int, float)) else ""


def summary_row(row, outdir=None, epoch=None):
    """A row as summary.csv shows it: names and messages as text (shown),
    the number of quick-looks drawn, a quick-look that failed in the error
    column, the first warnings joined by " | ", the record times (SCLK
    seconds; UTC with an epoch), and for a run that did not deliver, what
    it was to write and the work file it left."""
    out = {k: shown(v) if isinstance(v, str) else v for k, v in row.items()}
    drawn = row.get("quicklooks")
    out["quicklooks"] = len(drawn) if isinstance(drawn, list) else ""
    if row.get("quicklook_error"):
        out["error"] = "quick-look: " + shown(row["quicklook_error"])
    lines = row.get("warning_lines")
    out["warning_lines"] = " | ".join(map(shown, lines)) if isinstance(lines, list) else ""
    for end in ("first", "last"):
        out[end + "_sclk"] = sclk_text(row.get(end + "_sclk"))
        out[end + "_utc"] = utc_text(row.get(end + "_sclk"), epoch)
    output, work = undelivered(outdir, row)
    out["not_delivered"] = shown(output) if output else ""
    out["work_file"] = shown(work) if work else ""
    return out


def summary_writer(f, products):
    return csv.DictWriter(f, fieldnames=columns(products), extrasaction="ignore", restval="", lineterminator="\n")


def write_summary(summary, rows, products, outdir=None, epoch=None, earlier=None):
    """summary.csv: its header, the rows that the file earlier holds (rows
    as summary_writer writes them, copied as they are) and then rows."""
    def write(f):
        w = summary_writer(f, products)
        w.writeheader()
        copy_rows(earlier, f)
        w.writerows(summary_row(r, outdir, epoch) for r in rows)

    write_atomically(summary, write, newline="", encoding="utf-8")


def copy_rows(earlier, f):
    if earlier is not None:
        with open(earlier, "r", newline="", encoding="utf-8") as src:
            shutil.copyfileobj(src, f)


PAGE_STYLE = """
body { font-family: sans-serif; margin: 1em; color: #222; background: #fff; }
h1 { font-size: 1.3em; margin: 0 0 .3em 0; }
h2 { font-size: 1.1em; margin: 1em 0 .3em 0; }
p.headline { font-size: 1.2em; margin: 0 0 .2em 0; }
p.headline span.failed, p.headline span.not-run, p.headline span.warned { padding: 0 .3em; border-radius: 3px; }
p.headline span.failed, p.headline span.not-run { background: #f6c4c4; font-weight: bold; }
p.headline span.warned { background: #f8e0a0; }
p.tally { margin: 0 0 1em 0; color: #555; }
section.failures { border: 2px solid #c33; padding: .3em .8em; margin: 0 0 1em 0; background: #fff4f4; }
section.failures h2 { margin-top: .2em; color: #900; }
section.failures li { margin: .2em 0; }
section.failures .error { font-family: monospace; color: #900; }
table.runs { border-collapse: collapse; }
table.runs th, table.runs td { border: 1px solid #bbb; padding: .2em .5em; vertical-align: top; text-align: left; }
table.runs th { background: #e8e8e8; }
td.warnings, td.seconds, td.sizes { text-align: right; }
td.error, td.warnings ul, td.times { font-family: monospace; }
td.times, td.sizes, td.seconds { white-space: nowrap; }
td.times, td.warnings ul { font-size: .85em; }
td.error { color: #900; }
td.warnings ul { margin: .2em 0 0 0; padding-left: 1em; text-align: left; color: #850; }
tr.outcome-ok td.outcome { background: #c8efc8; }
tr.outcome-ok.warned td.outcome { background: #f8e0a0; }
tr.outcome-no-data td.outcome { background: #e4e4e4; }
tr.outcome-failed td.outcome { background: #f6c4c4; }
tr.outcome-not-run td.outcome { background: #f8eab0; }
tr.run:target td { outline: 2px solid #c33; }
span.undelivered { color: #900; }
tr.quicklooks td { border-top: none; }
div.thumbs { display: flex; flex-wrap: wrap; gap: 8px; }
div.thumbs a { display: block; }
div.thumbs img { display: block; border: 1px solid #bbb; }
div.thumbs img.scaled { max-width: %dpx; max-height: %dpx; }
p.quicklook-error { font-family: monospace; color: #900; margin: 0 0 .3em 0; }
""" % THUMBNAIL_SIZE
PAGE_COLUMNS = ("file", "unit", "outcome", "records", "times", "warnings", "error", "sizes", "seconds", "machine",
                "files")
PAGE_HEADINGS = {"times": "record times", "sizes": "TLM<br>EDR", "seconds": "run<br>quick-looks"}


def page_url(outdir, path):
    """A URL relative to the output folder, so that the page works from any
    place the folder is copied to: the bytes of the file's name
    percent-encoded (any name), escaped for an attribute."""
    return html.escape(urllib.parse.quote(os.fsencode(os.path.relpath(path, outdir).replace(os.sep, "/"))))


def page_text(text):
    """Text of the page: shown, and escaped for HTML."""
    return html.escape(shown(text))


def page_link(outdir, path, text, inner=None):
    return '<a href="%s">%s</a>' % (page_url(outdir, path), inner if inner is not None else page_text(text))


def byte_size(n):
    """A file size as people read it: 1.2 MB, 340 kB, 512 B."""
    if not isinstance(n, int):
        return ""
    for unit, scale in (("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if n >= scale:
            return "%.1f %s" % (n / scale, unit)
    return "%d B" % n


def warned(row):
    return row.get("outcome") == "ok" and bool(row.get("warnings"))


def outcome_text(row):
    """A run's outcome on the page: an ok run with warnings says so."""
    if warned(row):
        n = row["warnings"]
        return "ok, %d warning%s" % (n, "" if n == 1 else "s")
    return row["outcome"]


def needs_a_look(row):
    """Whether the morning check should look at a run first: it failed,
    did not run, or its quick-looks failed."""
    return row.get("outcome") in UNDELIVERED or bool(row.get("quicklook_error"))


def page_row(outdir, row, products, number=0, epoch=None):
    """The rows of the report's table for one run (its anchor "run-NUMBER"):
    the run, and under it the thumbnails of its quick-looks, if any."""
    esc = page_text
    unit = row.get("unit", "")
    counts = ["%s %s" % (c, row[c]) for c in record_columns(products) if column_unit(c) == unit and row.get(c)]
    files = [page_link(outdir, row[k], k) for k in ("log", "output") if row.get(k) and os.path.exists(row[k])]
    output, work = undelivered(outdir, row)
    if output:
        files.append('<span class="undelivered">not delivered: %s</span>' % esc(os.path.basename(output)))
    if work:
        files.append('<span class="undelivered">work file left: %s</span>' % page_link(
            outdir, work, os.path.basename(work)))
    times = []
    if isinstance(row.get("first_sclk"), (int, float)):
        times.append("SCLK %s<br>&ndash; %s" % (sclk_text(row["first_sclk"]), sclk_text(row.get("last_sclk"))))
        if epoch is not None:
            times.append("UTC %s<br>&ndash; %s" % (esc(utc_text(row["first_sclk"], epoch)),
                                                  esc(utc_text(row.get("last_sclk"), epoch))))
    warning_lines = row.get("warning_lines") if isinstance(row.get("warning_lines"), list) else []
    warnings = esc(str(row.get("warnings", "")))
    if warning_lines:
        more = row.get("warnings", 0) - len(warning_lines)
        warnings += '<ul class="warning-lines">%s%s</ul>' % (
            "".join("<li>%s</li>" % esc(w) for w in warning_lines),
            "<li>&hellip; and %d more</li>" % more if isinstance(more, int) and more > 0 else "")
    seconds = [("%.2f s" % row[k]) if isinstance(row.get(k), (int, float)) else ""
               for k in ("seconds", "quicklook_seconds")]
    sizes = [byte_size(row.get(k)) for k in ("tlm_bytes", "edr_bytes")]
    cells = {"file": '<span title="%s">%s</span>' % (esc(row["tlm"]), esc(os.path.basename(row["tlm"]))),
             "unit": esc(unit), "outcome": esc(outcome_text(row)), "records": "<br>".join(map(esc, counts)),
             "times": "<br>".join(times), "warnings": warnings, "error": esc(row.get("error") or ""),
             "sizes": "<br>".join(s or "&ndash;" for s in sizes) if any(sizes) else "",
             "seconds": "<br>".join(s or "&ndash;" for s in seconds) if seconds[0] else "",
             "machine": esc(row.get("host", "")), "files": "<br>".join(files)}
    out = ['<tr class="run outcome-%s%s" id="run-%d">' % (esc(row["outcome"].replace(" ", "-")),
                                                         " warned" if warned(row) else "", number)]
    out += ['<td class="%s">%s</td>' % (c, cells[c]) for c in PAGE_COLUMNS]
    out.append("</tr>")
    drawn = row.get("quicklooks") if isinstance(row.get("quicklooks"), list) else []
    if drawn or row.get("quicklook_error"):
        out.append('<tr class="quicklooks"><td colspan="%d">' % len(PAGE_COLUMNS))
        if row.get("quicklook_error"):
            messages = os.path.join(quicklook_folder(outdir, row["tlm"], unit), "quicklook.log")
            link = page_link(outdir, messages, "messages") if os.path.exists(messages) else ""
            out.append('<p class="quicklook-error">quick-look: %s %s</p>' % (esc(row["quicklook_error"]), link))
        out.append('<div class="thumbs">')
        for png, thumb, width, height in drawn:
            name = os.path.splitext(os.path.basename(png))[0]
            if thumb:  # shown at its own size
                img = '<img class="thumb" src="%s" width="%d" height="%d" alt="%s">' % (
                    page_url(outdir, thumb), width, height, esc(name))
            else:  # no thumbnail: the PNG itself, scaled down
                img = '<img class="thumb scaled" src="%s" alt="%s">' % (page_url(outdir, png), esc(name))
            out.append(page_link(outdir, png, name, inner=img))
        out.append("</div></td></tr>")
    return "\n".join(out)


PAGE_COUNTED = ("ok", "no data", "failed", "not run", "with warnings")


def page_counts(rows, counts=None):
    """The counts of the headline, of rows added to counts (as an earlier
    call gave them)."""
    out = dict(counts or {k: 0 for k in PAGE_COUNTED})
    for r in rows:
        if r["outcome"] in out:
            out[r["outcome"]] += 1
        out["with warnings"] += warned(r)
    return out


def headline(counts):
    """The counts of the runs, those to look at marked."""
    n = counts
    with_warnings = n["with warnings"]
    parts = ['<span class="ok">%d ok</span>' % n["ok"] +
             (' (<span class="warned">%d with warnings</span>)' % with_warnings if with_warnings else ""),
             '<span class="no-data">%d no data</span>' % n["no data"]]
    for k in ("failed", "not run"):
        parts.append('<span class="%s">%d %s</span>' % (k.replace(" ", "-") if n[k] else "none", n[k], k))
    runs = sum(n[k] for k in PAGE_COUNTED if k != "with warnings")
    return '<p class="headline">%d runs: %s</p>' % (runs, ", ".join(parts))


def look_items(rows, first=0):
    """The list items of the runs to look at among rows (numbered from
    first, as their rows are), each linked to its row with what went wrong,
    each a line."""
    items = []
    for i, row in enumerate(rows, first):
        if needs_a_look(row):
            what = row.get("error") or ("quick-look: " + row["quicklook_error"] if row.get("quicklook_error")
                                        else "")
            items.append('<li><a href="#run-%d">%s %s</a>: %s <span class="error">%s</span></li>\n' % (
                i, page_text(os.path.basename(row["tlm"])), page_text(row["unit"]),
                page_text(row["outcome"] if row["outcome"] in UNDELIVERED else "quick-looks failed"),
                page_text(what)))
    return items


def page_lines(outdir, rows, products, first=0, epoch=None):
    """The table rows of the page for rows (numbered from first), each line
    ended."""
    return "".join(page_row(outdir, row, products, i, epoch) + "\n" for i, row in enumerate(rows, first))


class Earlier:
    """What a page brought up to date piece after piece (the live pass)
    holds besides its new rows: the files of its table's rows (page_lines)
    and of its runs to look at (look_items), their numbers, and the
    headline's counts of them all."""

    def __init__(self, page, looks, runs, looked, counts):
        self.page, self.looks, self.runs, self.looked, self.counts = page, looks, runs, looked, counts


def write_index(index, outdir, rows, tally, products, epoch=None, title=None, refresh=None, earlier=None):
    """The report page: static HTML and CSS, every link relative, nothing
    fetched from elsewhere. At the top the counts and the runs to look at
    (failed, not run, quick-looks failed), each linked to its row; then
    every run in the batch's order. With refresh, the browser reloads it
    every that many seconds (a page that is still being brought up to
    date); with earlier (Earlier), the runs before rows come from its
    files, copied as they are."""
    first = earlier.runs if earlier else 0
    looks = look_items(rows, first)
    looked = (earlier.looked if earlier else 0) + len(looks)
    esc = page_text
    title = title or "hlc_edr batch: %s" % os.path.basename(outdir)
    reload = ['<meta http-equiv="refresh" content="%d">' % refresh] if refresh else []
    extra = [page_link(outdir, os.path.join(outdir, n), n) for n in ("summary.csv", "parallel.joblog")
             if os.path.exists(os.path.join(outdir, n))]
    head = ['<!DOCTYPE html>', '<html lang="en">', '<head>', '<meta charset="utf-8">'] + reload + [
            "<title>%s</title>" % esc(title), "<style>%s</style>" % PAGE_STYLE, "</head>", "<body>",
            "<h1>%s</h1>" % esc(title), headline(page_counts(rows, earlier.counts if earlier else None)),
            '<p class="tally">%s, written %s. %s</p>' % (esc(tally), esc(time.strftime("%Y-%m-%d %H:%M:%S")),
                                                         " ".join(extra))]
    table = ['<h2>Runs</h2>',
             '<table class="runs">', "<thead><tr>%s</tr></thead>" % "".join(
                 '<th class="%s">%s</th>' % (c, PAGE_HEADINGS.get(c, c)) for c in PAGE_COLUMNS),
             "<tbody>"]
    tail = ["</tbody>", "</table>", "</body>", "</html>"]

    def write(f):
        f.write("".join(line + "\n" for line in head))
        if looked:
            f.write('<section class="failures"><h2>To look at: %d run%s</h2><ol>\n'
                    % (looked, "" if looked == 1 else "s"))
            copy_rows(earlier.looks if earlier else None, f)
            f.write("".join(looks))
            f.write("</ol></section>\n")
        f.write("".join(line + "\n" for line in table))
        copy_rows(earlier.page if earlier else None, f)
        f.write(page_lines(outdir, rows, products, first, epoch))
        f.write("".join(line + "\n" for line in tail))

    write_atomically(index, write, encoding="utf-8")
