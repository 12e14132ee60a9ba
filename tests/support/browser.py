"""A page as headless Chromium renders it: the DOM after loading, as
elements with their attributes and text, and a screenshot, in which an
image counts as loaded when its pixels appear there exactly (a broken
image shows an icon instead)."""
import html.parser
import os
import shutil
import subprocess

import numpy as np
from PIL import Image

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--hide-scrollbars", "--force-device-scale-factor=1", "--force-color-profile=srgb"]


def chromium():
    """The browser's path, or None."""
    return shutil.which("chromium")


def run(url, profile, *args):
    """Chromium on url with a fresh profile folder; its standard output."""
    shutil.rmtree(profile, ignore_errors=True)
    # The browser runs without the sanitizers' runtimes that a sanitizer
    # build's tests preload for the project's own code.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run([chromium()] + FLAGS + ["--user-data-dir=" + profile] + list(args) + [url],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=120, check=True, env=env)
    return done.stdout.decode("utf-8")


class Element:
    def __init__(self, tag, attrs, parent):
        self.tag = tag
        self.attrs = dict(attrs)
        self.parent = parent
        self.children = []
        self.text = ""

    def classes(self):
        return self.attrs.get("class", "").split()

    def all(self, tag=None, cls=None):
        """Every element below this one with that tag and class, in order."""
        found = []
        for c in self.children:
            if (tag is None or c.tag == tag) and (cls is None or cls in c.classes()):
                found.append(c)
            found += c.all(tag, cls)
        return found

    def all_text(self):
        return self.text + "".join(c.all_text() for c in self.children)


class _Builder(html.parser.HTMLParser):
    VOID = {"img", "br", "meta", "link", "input", "hr", "col", "source", "wbr"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.root = Element("#document", [], None)
        self.at = self.root

    def handle_starttag(self, tag, attrs):
        e = Element(tag, attrs, self.at)
        self.at.children.append(e)
        if tag not in self.VOID:
            self.at = e

    def handle_endtag(self, tag):
        e = self.at
        while e is not None and e.tag != tag:
            e = e.parent
        if e is not None and e.parent is not None:
            self.at = e.parent

    def handle_data(self, data):
        self.at.text += data


def parse(text):
    b = _Builder()
    b.feed(text)
    b.close()
    return b.root


def dom(url, profile):
    """The document as Chromium has built it after loading url."""
    return parse(run(url, profile, "--dump-dom"))


def screenshot(url, profile, path, width, height):
    """The rendered page, as an array height x width x 3."""
    run(url, profile, "--screenshot=" + path, "--window-size=%d,%d" % (width, height))
    with Image.open(path) as im:
        return np.asarray(im.convert("RGB"))


def packed(rgb):
    """An array height x width x 3 of bytes as one integer per pixel."""
    rgb = rgb.astype(np.uint32)
    return (rgb[:, :, 0] << 16) | (rgb[:, :, 1] << 8) | rgb[:, :, 2]


def find(screen, picture):
    """Where (x, y) the picture appears pixel for pixel in the screen, or
    None. The candidates are the places of the picture's rarest colour."""
    big, small = packed(screen), packed(picture)
    (big_h, big_w), (h, w) = big.shape, small.shape
    if h > big_h or w > big_w:
        return None
    _, first, counts = np.unique(small, return_index=True, return_counts=True)
    py, px = divmod(int(first[np.argmin(counts)]), w)
    ys, xs = np.nonzero(big[py:py + big_h - h + 1, px:px + big_w - w + 1] == small[py, px])
    for y, x in zip(ys, xs):
        if np.array_equal(big[y:y + h, x:x + w], small):
            return int(x), int(y)
    return None


def load(path):
    with Image.open(path) as im:
        return np.asarray(im.convert("RGB"))


def file_url(path):
    from urllib.parse import quote
    return "file://" + quote(os.path.abspath(path))
