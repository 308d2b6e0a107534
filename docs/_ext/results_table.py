"""A table read from a CSV file that a benchmark wrote, shown as it stands.

    ```{results-table} ../benchmarks/results/peers_uniform.csv
    :columns: rho, method, us/point, max rel err (grid)
    :where: method ~ tarnivox
    :digits: 3
    ```

The cells are the file's own: numbers are only rounded to ``:digits:``
significant digits for display (``:column-digits: chi2=6; tE d=4`` sets
them per column), so a page never retypes a measured figure
and changes when the benchmark is run again.  ``:columns:`` picks and orders
columns by their header; ``:where:`` keeps the rows whose column equals
(``=``) or contains (``~``) a text, several conditions separated by ``;``.
"""

from __future__ import annotations

import csv
import io
import math
from pathlib import Path

from docutils.parsers.rst import directives
from docutils.parsers.rst.directives.tables import CSVTable
from docutils.statemachine import StringList


def format_cell(text: str, digits: int) -> str:
    try:
        value = float(text)
    except ValueError:
        return text
    if len(text.strip()) <= 7:
        return text.strip()  # a short value (a count, a rho of the grid) stays as written
    if math.isnan(value):
        return "-"
    if value == 0 or math.isinf(value):
        return f"{value:g}"
    if 1e-3 <= abs(value) < 1e5:
        decimals = max(0, digits - 1 - math.floor(math.log10(abs(value))))
        return f"{value:.{decimals}f}"
    return f"{value:.{digits - 1}e}"


def keep(row: dict[str, str], where: str) -> bool:
    for condition in filter(None, (c.strip() for c in where.split(";"))):
        if "~" in condition:
            column, text = (s.strip() for s in condition.split("~", 1))
            if text not in row[column]:
                return False
        else:
            column, text = (s.strip() for s in condition.split("=", 1))
            if row[column].strip() != text:
                return False
    return True


class ResultsTable(CSVTable):
    required_arguments = 1
    optional_arguments = 0
    has_content = False
    option_spec = {
        **CSVTable.option_spec,
        "columns": directives.unchanged,
        "where": directives.unchanged,
        "digits": directives.positive_int,
        "column-digits": directives.unchanged,
    }

    def run(self):
        env = self.state.document.settings.env
        source = Path(env.doc2path(env.docname)).parent
        path = (source / self.arguments[0]).resolve()
        env.note_dependency(str(path))
        with path.open(newline="") as stream:
            rows = list(csv.DictReader(stream))
        header = list(rows[0]) if rows else []
        wanted = self.options.get("columns", "")
        columns = [c.strip() for c in next(csv.reader([wanted], skipinitialspace=True), []) if c.strip()]
        columns = columns or header
        missing = [c for c in columns if c not in header]
        if missing:
            raise self.error(f"{path.name} has no column {missing}; it has {header}")
        digits = self.options.get("digits", 3)
        per_column = {}
        for item in filter(None, (i.strip() for i in self.options.get("column-digits", "").split(";"))):
            column, count = (x.strip() for x in item.rsplit("=", 1))
            per_column[column] = int(count)
        where = self.options.get("where", "")
        out = io.StringIO()
        writer = csv.writer(out)
        writer.writerow(columns)
        for row in rows:
            if keep(row, where):
                writer.writerow([format_cell(row[c], per_column.get(c, digits)) for c in columns])
        self.arguments = [self.options.pop("caption", f"From {self.arguments[0].split('../')[-1]}")]
        self.options.setdefault("header-rows", 1)
        for option in ("columns", "where", "digits", "column-digits"):
            self.options.pop(option, None)
        self.content = StringList(out.getvalue().splitlines(), source=str(path))
        return super().run()


def setup(app):
    app.add_directive("results-table", ResultsTable)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
