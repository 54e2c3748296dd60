"""The cells of a packet-log report page, for comparing two pages cell by cell: every table cell (the
logs, the summary, the anomalies), the lines of text between them (audio against video, each anomaly's
heading and packet ids, the lines not read) and the pixels of each picture."""
import base64
import html.parser
import io

import matplotlib.image
import numpy as np


class _Cells(html.parser.HTMLParser):
    """Collects the text of each table cell, paragraph and heading under a name of where it stands."""

    def __init__(self):
        super().__init__()
        self.cells = {}
        self.section, self.table, self.row, self.column = "top", 0, 0, 0
        self.heading = None
        self.text = None  # the text of the element being read, and its name
        self.name = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "section":
            self.section, self.table = attrs.get("id", "?"), 0
        elif tag == "table":
            self.table += 1
            self.row = 0
        elif tag == "tr":
            self.row += 1
            self.column = 0
        elif tag in ("td", "th"):
            self.column += 1
            self._begin((self.section, f"table {self.table}", f"row {self.row}", f"column {self.column}"))
        elif tag == "h3":
            self.heading = attrs.get("id", "?")
            self._begin((self.section, self.heading, "heading"))
        elif tag in ("h1", "figcaption"):
            self._begin((self.section, tag, sum(1 for key in self.cells if key[:2] == (self.section, tag))))
        elif tag == "p" and self.text is None:
            where = (self.section, self.heading, "ids") if "ids" in attrs.get("class", "") else \
                (self.section, f"paragraph {sum(1 for key in self.cells if key[0] == self.section)}")
            self._begin(where)
        elif tag == "img":
            png = base64.b64decode(attrs["src"].split(",", 1)[1])
            self.cells[(self.section, "picture", attrs.get("alt", "?"))] = matplotlib.image.imread(io.BytesIO(png))

    def _begin(self, name):
        self.text, self.name = [], name

    def handle_endtag(self, tag):
        if tag in ("td", "th", "h1", "h3", "p", "figcaption") and self.text is not None:
            self.cells[self.name] = "".join(self.text)
            self.text = None

    def handle_data(self, data):
        if self.text is not None:
            self.text.append(data)


def cells(page_text):
    """{where: text, or the pixels of a picture}."""
    parser = _Cells()
    parser.feed(page_text)
    parser.close()
    return parser.cells


def compare(expected_text, actual_text):
    """(number of cells compared, [where each differing or missing cell is])."""
    expected, actual = cells(expected_text), cells(actual_text)
    differ = []
    for where in sorted(set(expected) | set(actual), key=str):
        a, b = expected.get(where), actual.get(where)
        same = a is not None and b is not None and (
            np.array_equal(a, b) if isinstance(a, np.ndarray) or isinstance(b, np.ndarray) else a == b)
        if not same:
            differ.append(where)
    return len(set(expected) | set(actual)), differ
