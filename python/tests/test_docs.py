"""The README's tables of controls against the one table the extension carries: every control
has its row in both, with its default and its choices; a control added to the table without
its documentation fails here."""
import pathlib
import re

import pytest

import qz_grindlet

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def table_rows(header):
    """The rows of the README's table whose header line starts with `header`, as cell lists."""
    lines = README.read_text(encoding="utf-8").splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(header))
    rows = []
    for line in lines[start + 2:]:
        if not line.startswith("|"):
            break
        rows.append([cell.strip() for cell in line.strip("|").split("|")])
    return rows


def number(value):
    return "%g" % value


@pytest.mark.parametrize("row", qz_grindlet.CONTROLS, ids=lambda row: row["symbol"])
def test_render_table_names_each_control_with_its_default(row):
    rows = {re.match(r"`(--[a-z_]+)", cells[0]).group(1): cells
            for cells in table_rows("| control | default |") if cells[0].startswith("`--")}
    cells = rows.get("--" + row["symbol"])
    assert cells, f"the README's render table has no row for --{row['symbol']}"
    default = row["default"]
    assert cells[1].strip("`") == (default if isinstance(default, str) else number(default))
    for choice in row["choices"]:
        assert f"`{choice}`" in cells[2]


@pytest.mark.parametrize("row", qz_grindlet.CONTROLS, ids=lambda row: row["symbol"])
def test_plugin_table_names_each_control_with_its_default(row):
    rows = {cells[0]: cells for cells in table_rows("| control | range |")}
    cells = rows.get(row["name"])
    assert cells, f"the README's plugin table has no row for {row['name']}"
    if row["choices"]:
        names = row["choice_names"]
        assert cells[1].startswith(", ".join(names))
        assert f"default {names[row['choices'].index(row['default'])]}" in cells[1]
    else:
        assert re.search(rf"default {re.escape(number(row['default']))}\b", cells[1])
