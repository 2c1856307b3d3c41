#!/usr/bin/env python3
"""Reads an .xlsx workbook back with openpyxl and prints what the export tests check, as JSON."""
import json
import sys

import openpyxl


def style(cell):
    return {"v": cell.value, "type": cell.data_type, "fmt": cell.number_format,
            "bold": bool(cell.font.b), "align": cell.alignment.horizontal}


def main(path):
    book = openpyxl.load_workbook(path)
    sheet = book.worksheets[0]
    row1 = sheet.row_dimensions[1]
    out = {
        "sheets": book.sheetnames,
        "maxRow": sheet.max_row,
        "maxColumn": sheet.max_column,
        "widths": [sheet.column_dimensions[c].width for c in "ABCD"],
        "columnAFormat": sheet.column_dimensions["A"].number_format,
        "row1": {"bold": bool(row1.font.b), "align": row1.alignment.horizontal},
        "rows": [[style(c) for c in row] for row in sheet.iter_rows(max_col=4)],
    }
    json.dump(out, sys.stdout, ensure_ascii=False)


if __name__ == "__main__":
    main(sys.argv[1])
