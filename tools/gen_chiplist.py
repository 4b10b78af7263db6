#!/usr/bin/env python3
"""Writes the embedded chip list (XML) from the project's chip table.

The table chipdb/data/chips.tsv is the source: one row per chip, in file order, with the
columns group, vendor, part, id, page, size, spicmd, otp, addrtype, addrbitlen, script and
basis (where the facts of the row come from; not written to the XML). Lines that begin
with "#" are notes on the rows below them.

Usage: gen_chiplist.py [TABLE [OUTPUT]]; OUTPUT "-" writes to standard output.
"""

import csv
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEFAULT_TABLE = ROOT / "chipdb" / "data" / "chips.tsv"
DEFAULT_OUTPUT = ROOT / "resources" / "database" / "bin" / "chiplist.xml"

GROUPS = ("SPI", "I2C", "Microwire")
# Attribute order inside a chip element.
ATTRIBUTES = ("id", "otp", "page", "size", "spicmd", "script", "addrtype", "addrbitlen")
EOL = "\r\n"

COMMENT = """
    Attributes of a chip element (all values are quoted text):
      size       - capacity of the memory in bytes, decimal.
      page       - program page of the memory in bytes, decimal; SSTW marks SST parts
                   programmed by auto address increment word by word, SSTB those
                   programmed byte by byte.
      id         - identification answer of the memory, hexadecimal, manufacturer first;
                   answers to the opcodes 9F, 90, AB and 15 are used.
      spicmd     - command series: 25 when absent, 45 for DataFlash, 95 for EEPROM,
                   KB for the embedded controller's own interface.
      otp        - EON parts: first 256-byte page of the last 4 KiB block, decimal.
      addrtype   - I2C EEPROM addressing scheme, decimal.
      addrbitlen - number of address bits of a Microwire EEPROM, decimal.
      script     - name of a script file in the scripts folder.
    Element names that would begin with a digit carry a leading underscore.
"""


def xml_name(name):
    """An XML name cannot begin with a digit, so such part numbers get an underscore."""
    return "_" + name if name[:1].isdigit() else name


def read_table(path):
    """The rows, each with its line number in the table under "line"."""
    with open(path, newline="", encoding="utf-8") as table:
        numbered = [(n, line) for n, line in enumerate(table, start=1) if not line.startswith("#")]
    rows = list(csv.DictReader((line for _, line in numbered), delimiter="\t"))
    for row, (number, _) in zip(rows, numbered[1:]):
        row["line"] = number
    return rows


def check(rows):
    for row in rows:
        number = row["line"]
        if row["group"] not in GROUPS:
            sys.exit(f"line {number}: unknown group {row['group']!r}")
        if not any(row[a] for a in ATTRIBUTES):
            sys.exit(f"line {number}: a chip needs at least one attribute")
        # The read and write routines size their chunks by the page.
        if row["group"] in ("SPI", "I2C") and not row["page"]:
            sys.exit(f"line {number}: an {row['group']} chip needs a page")
        for value in (row["vendor"], row["part"], *(row[a] for a in ATTRIBUTES)):
            if any(c in value for c in '<>&"\'') or not value.isascii():
                sys.exit(f"line {number}: character not allowed in {value!r}")


def render(rows):
    lines = ['<?xml version="1.0" encoding="utf-8"?>']
    lines.append("<!--" + COMMENT.replace("\n", EOL) + "-->")
    lines.append("<chiplist>")
    for group in GROUPS:
        lines.append(f"\t<{group}>")
        vendor = None
        for row in (r for r in rows if r["group"] == group):
            if row["vendor"] != vendor:
                if vendor is not None:
                    lines.append(f"\t\t</{xml_name(vendor)}>")
                vendor = row["vendor"]
                lines.append(f"\t\t<{xml_name(vendor)}>")
            attributes = " ".join(f'{a}="{row[a]}"' for a in ATTRIBUTES if row[a])
            lines.append(f"\t\t\t<{xml_name(row['part'])} {attributes}/>")
        if vendor is not None:
            lines.append(f"\t\t</{xml_name(vendor)}>")
        lines.append(f"\t</{group}>")
    lines.append("</chiplist>")
    return EOL.join(lines) + EOL


def main(argv):
    table = pathlib.Path(argv[1]) if len(argv) > 1 else DEFAULT_TABLE
    output = argv[2] if len(argv) > 2 else str(DEFAULT_OUTPUT)
    rows = read_table(table)
    check(rows)
    document = render(rows).encode("ascii")
    if output == "-":
        sys.stdout.buffer.write(document)
    else:
        pathlib.Path(output).write_bytes(document)


if __name__ == "__main__":
    main(sys.argv)
