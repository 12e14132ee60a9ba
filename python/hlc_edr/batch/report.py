"""The report of a batch: summary.csv and index.html, from the rows of its
runs and the products that hlc_edr_dump names."""
import csv
import html
import os
import shutil
import time
import urllib.parse

from hlc_edr._tools import shown, write_atomically
from hlc_edr.batch.job import TEXT_RECORDS, TEXT_UNIT, THUMBNAIL_SIZE, quicklook_folder, unit_of

HEAD_COLUMNS = ["tlm", "unit", "outcome", "exit_status"]
TAIL_COLUMNS = ["warnings", "seconds", "host", "output", "log", "skipped", "error", "quicklooks"]


def record_columns(products):
    """The columns of records: one per product, in the registry's order,
    then the quaternion text's."""
    return list(products) + [TEXT_RECORDS]


def columns(products):
    return HEAD_COLUMNS + record_columns(products) + TAIL_COLUMNS


def column_unit(column):
    return TEXT_UNIT if column == TEXT_RECORDS else unit_of(column)


def summary_row(row):
    """A row as summary.csv shows it: names and messages as text (shown),
    the number of quick-looks drawn, and a quick-look that failed in the
    error column."""
    out = {k: shown(v) if isinstance(v, str) else v for k, v in row.items()}
    drawn = row.get("quicklooks")
    out["quicklooks"] = len(drawn) if isinstance(drawn, list) else ""
    if row.get("quicklook_error"):
        out["error"] = "quick-look: " + shown(row["quicklook_error"])
    return out


def summary_writer(f, products):
    return csv.DictWriter(f, fieldnames=columns(products), extrasaction="ignore", restval="", lineterminator="\n")


def write_summary(summary, rows, products, earlier=None):
    """summary.csv: its header, the rows that the file earlier holds (rows
    as summary_writer writes them, copied as they are) and then rows."""
    def write(f):
        w = summary_writer(f, products)
        w.writeheader()
        copy_rows(earlier, f)
        w.writerows(summary_row(r) for r in rows)

    write_atomically(summary, write, newline="", encoding="utf-8")


def copy_rows(earlier, f):
    if earlier is not None:
        with open(earlier, "r", newline="", encoding="utf-8") as src:
            shutil.copyfileobj(src, f)


PAGE_STYLE = """
body { font-family: sans-serif; margin: 1em; color: #222; background: #fff; }
h1 { font-size: 1.3em; margin: 0 0 .3em 0; }
p.tally { margin: 0 0 1em 0; }
table.runs { border-collapse: collapse; }
table.runs th, table.runs td { border: 1px solid #bbb; padding: .2em .5em; vertical-align: top; text-align: left; }
table.runs th { background: #e8e8e8; }
td.warnings, td.seconds { text-align: right; }
td.error { font-family: monospace; color: #900; }
tr.outcome-ok td.outcome { background: #c8efc8; }
tr.outcome-no-data td.outcome { background: #e4e4e4; }
tr.outcome-failed td.outcome { background: #f6c4c4; }
tr.outcome-not-run td.outcome { background: #f8eab0; }
tr.quicklooks td { border-top: none; }
div.thumbs { display: flex; flex-wrap: wrap; gap: 8px; }
div.thumbs a { display: block; }
div.thumbs img { display: block; border: 1px solid #bbb; }
div.thumbs img.scaled { max-width: %dpx; max-height: %dpx; }
p.quicklook-error { font-family: monospace; color: #900; margin: 0 0 .3em 0; }
""" % THUMBNAIL_SIZE
PAGE_COLUMNS = ("file", "unit", "outcome", "records", "warnings", "error", "seconds", "machine", "files")


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


def page_row(outdir, row, products):
    """The rows of the report's table for one run: the run, and under it
    the thumbnails of its quick-looks, if any."""
    esc = page_text
    unit = row.get("unit", "")
    counts = ["%s %s" % (c, row[c]) for c in record_columns(products) if column_unit(c) == unit and row.get(c)]
    files = [page_link(outdir, row[k], k) for k in ("log", "output") if row.get(k) and os.path.exists(row[k])]
    seconds = row.get("seconds")
    cells = {"file": '<span title="%s">%s</span>' % (esc(row["tlm"]), esc(os.path.basename(row["tlm"]))),
             "unit": esc(unit), "outcome": esc(row["outcome"]), "records": "<br>".join(map(esc, counts)),
             "warnings": esc(str(row.get("warnings", ""))), "error": esc(row.get("error") or ""),
             "seconds": "%.2f" % seconds if isinstance(seconds, (int, float)) else "",
             "machine": esc(row.get("host", "")), "files": " ".join(files)}
    out = ['<tr class="run outcome-%s">' % esc(row["outcome"].replace(" ", "-"))]
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


def write_index(index, outdir, rows, tally, products, title=None, refresh=None, earlier=None):
    """The report page: static HTML and CSS, every link relative, nothing
    fetched from elsewhere; with refresh, the browser reloads it every that
    many seconds (a page that is still being brought up to date). The rows
    of the table are those that the file earlier holds (page_lines of
    rows, copied as they are), then those of rows."""
    esc = page_text
    title = title or "hlc_edr batch: %s" % os.path.basename(outdir)
    reload = ['<meta http-equiv="refresh" content="%d">' % refresh] if refresh else []
    extra = [page_link(outdir, os.path.join(outdir, n), n) for n in ("summary.csv", "parallel.joblog")
             if os.path.exists(os.path.join(outdir, n))]
    head = ['<!DOCTYPE html>', '<html lang="en">', '<head>', '<meta charset="utf-8">'] + reload + [
            "<title>%s</title>" % esc(title), "<style>%s</style>" % PAGE_STYLE, "</head>", "<body>",
            "<h1>%s</h1>" % esc(title),
            '<p class="tally">%s, written %s. %s</p>' % (esc(tally), esc(time.strftime("%Y-%m-%d %H:%M:%S")),
                                                         " ".join(extra)),
            '<table class="runs">', "<thead><tr>%s</tr></thead>" % "".join("<th>%s</th>" % c for c in PAGE_COLUMNS),
            "<tbody>"]
    tail = ["</tbody>", "</table>", "</body>", "</html>"]

    def write(f):
        f.write("".join(line + "\n" for line in head))
        copy_rows(earlier, f)
        f.write(page_lines(outdir, rows, products))
        f.write("".join(line + "\n" for line in tail))

    write_atomically(index, write, encoding="utf-8")


def page_lines(outdir, rows, products):
    """The table rows of the page for rows, each line ended."""
    return "".join(page_row(outdir, row, products) + "\n" for row in rows)
