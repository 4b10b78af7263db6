#!/usr/bin/env python3
"""Writes the embedded chip list (XML) from the project's chip table.

The table chipdb/data/chips.tsv is the source: one row per chip, in file order, with the
columns group, vendor, part, id, page, size, spicmd, otp, addrtype, addrbitlen, script,
protection (the status-register layout, named in chipdb/data/layouts.tsv), idcmd (which
identification answer holds the id: 9F, 9F7F for 9Fh after the continuation code 7F, 90, AB
read as two bytes, or Atmel's 15h), basis (where the facts of the row come from) and erase
(how the whole chip is erased: empty for C7h, 62 for the old Atmel AT25F parts' 62h, C4xN
for a die erase in each of N dies, D8 for 64 KiB blocks one by one on parts without a bulk
erase, C2xN for N dies chosen with Software Die Select, each erased by C7h) and voltage (the
supply range in millivolts, "2700-3600"; empty where no source gives it). Of the last five only
voltage is written to the XML; protection, idcmd and erase go to a C++ table instead.
Lines that begin with "#" are notes on the rows below them.

Usage: gen_chiplist.py [TABLE [OUTPUT]] [--layouts HEADER]; OUTPUT "-" writes to standard
output; --layouts writes the part layout table (by default beside the worker's sources).
"""

import csv
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEFAULT_TABLE = ROOT / "chipdb" / "data" / "chips.tsv"
DEFAULT_OUTPUT = ROOT / "resources" / "database" / "bin" / "chiplist.xml"
DEFAULT_LAYOUTS = ROOT / "chipdb" / "data" / "layouts.tsv"
DEFAULT_LAYOUT_HEADER = ROOT / "programmer" / "chips" / "nor" / "partlayouts.h"
CLEARING = {"wrsr": "StatusWrite", "wrsr2": "StatusWriteBoth", "wrsr31": "StatusWriteSeparate",
            "ewsr": "EnableWriteStatus", "global": "GlobalUnprotect", "ulbpr": "GlobalBlockUnlock"}
FOUR_BYTE = {"enter": "EnterExit", "enterwren": "EnterExitWithWriteEnable",
             "opcodes": "FourByteOpcodes", "ear": "ClearExtendedAddress"}
QUAD_ENABLE = {"unknown": "Unknown", "none": "None", "sr1.6": "Status1Bit6",
               "sr2.1": "Status2Bit1"}
ID_COMMANDS = {"9F": "Jedec", "9F7F": "JedecContinuation", "90": "Rems", "AB": "Res",
               "15": "AtmelProductId"}
ERASE = {"": "ChipErase", "62": "AtmelChipErase", "C4": "DieErase", "D8": "BlockByBlock",
         "C2": "ChipErase"}
LAYOUT_BITS = ("sr1", "tb", "sec", "cmp", "cmp3", "srp1", "errors")
STATUS2 = ("35h", "probe", "none")
BLOCK_LOCKS = {"none": "None", "sr3.2": "Status3Bit2", "scur.7": "SecurityBit7"}
FLAG_STATUS = {"yes": "true", "no": "false"}

GROUPS = ("SPI", "I2C", "Microwire")
# Attribute order inside a chip element.
ATTRIBUTES = ("id", "otp", "page", "size", "spicmd", "script", "addrtype", "addrbitlen",
              "voltage")
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
      voltage    - supply voltage range in millivolts, minimum-maximum; absent where
                   no source gives it.
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


def erase_method(value):
    """The whole-chip erase, the dies and whether Software Die Select picks them."""
    value = value or ""
    if value in ("", "62", "D8"):
        return ERASE[value], 1, "false"
    if value[:2] in ("C4", "C2") and value[2:3] == "x" and value[3:].isdigit():
        return ERASE[value[:2]], int(value[3:]), "true" if value[:2] == "C2" else "false"
    return None


def kept_bits(layout):
    """Bits a status write puts back as read: all but the layout's protection bits, error
    flags and range bits; in Status Register-2 and -3 only where the layout knows them."""
    bit = {name: int(layout[name], 16) for name in LAYOUT_BITS}
    keep1 = 0xFF & ~(bit["sr1"] | bit["tb"] | bit["sec"] | bit["errors"])
    knows2 = layout["sr2"] == "35h"
    keep2 = 0xFF & ~bit["cmp"] if knows2 else 0
    keep3 = 0xFF & ~bit["cmp3"] if bit["cmp3"] else 0
    return keep1, keep2, keep3


def check_layouts(layouts):
    for layout in layouts:
        clear = layout["clear"].split("+")
        fourbyte = layout["fourbyte"].split("+")
        if not all(method in CLEARING for method in clear) or not all(
                mode in FOUR_BYTE for mode in fourbyte) or layout["qe"] not in QUAD_ENABLE or \
                layout["sr2"] not in STATUS2 or layout["blocklock"] not in BLOCK_LOCKS or \
                layout["fsr"] not in FLAG_STATUS:
            sys.exit(f"line {layout['line']}: unknown clear, fourbyte, qe, sr2, blocklock or fsr "
                     f"in layout {layout['name']!r}")
        # A layout that names a bit of Status Register-2 or writes it reaches it by 35h.
        uses2 = int(layout["cmp"], 16) or int(layout["srp1"], 16) or layout["qe"] == "sr2.1" or \
            any(method in ("wrsr2", "wrsr31") for method in clear)
        if uses2 and layout["sr2"] != "35h":
            sys.exit(f"line {layout['line']}: layout {layout['name']!r} uses Status Register-2 "
                     f"but its sr2 is {layout['sr2']!r}")
        if layout["sr2"] == "probe" and (layout["qe"] != "unknown" or "wrsr" not in clear):
            sys.exit(f"line {layout['line']}: layout {layout['name']!r} probes Status "
                     f"Register-2 but knows its Quad Enable or clears without 01h")


def check(rows, layouts):
    check_layouts(layouts)
    names = [layout["name"] for layout in layouts]
    for row in rows:
        number = row["line"]
        if row["group"] not in GROUPS:
            sys.exit(f"line {number}: unknown group {row['group']!r}")
        if not any(row[a] for a in ATTRIBUTES):
            sys.exit(f"line {number}: a chip needs at least one attribute")
        # The read and write routines size their chunks by the page.
        if row["group"] in ("SPI", "I2C") and not row["page"]:
            sys.exit(f"line {number}: an {row['group']} chip needs a page")
        voltage = row["voltage"] or ""
        low, _, high = voltage.partition("-")
        if voltage and not (low.isdigit() and high.isdigit() and 1000 <= int(low) < int(high)
                            <= 6000):
            sys.exit(f"line {number}: voltage {voltage!r} is not minimum-maximum in millivolts")
        for value in (row["vendor"], row["part"], *(row[a] or "" for a in ATTRIBUTES)):
            if any(c in value for c in '<>&"\'') or not value.isascii():
                sys.exit(f"line {number}: character not allowed in {value!r}")
        # Every chip the worker can identify needs its protection facts.
        if row["group"] == "SPI" and len(row["id"]) >= 4:
            if row["protection"] not in names:
                sys.exit(f"line {number}: unknown protection layout {row['protection']!r}")
            if row["idcmd"] not in ID_COMMANDS:
                sys.exit(f"line {number}: unknown identification command {row['idcmd']!r}")
            if erase_method(row["erase"]) is None:
                sys.exit(f"line {number}: unknown erase method {row['erase']!r}")


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


def render_layouts(rows, layouts):
    names = [layout["name"] for layout in layouts]
    lines = ["// Written by tools/gen_chiplist.py from chipdb/data/chips.tsv and",
             "// chipdb/data/layouts.tsv: change those and run it again.", "",
             "#pragma once", "", '#include "programmer/chips/nor/chipfamily.h"', "", "namespace PartLayouts {", "",
             "const ChipFamily kLayouts[] = {"]
    for layout in layouts:
        bits = ", ".join("0x" + layout[b].upper() for b in LAYOUT_BITS)
        kept = ", ".join(f"0x{value:02X}" for value in kept_bits(layout))
        clearing = " | ".join("ProtectionClearing::" + CLEARING[method]
                              for method in layout["clear"].split("+"))
        four_byte = " | ".join("FourByteMode::" + FOUR_BYTE[mode]
                               for mode in layout["fourbyte"].split("+"))
        lines.append(f'    {{"{layout["name"]}", {bits}, {kept},')
        tail = f'     QuadEnable::{QUAD_ENABLE[layout["qe"]]}, {clearing}, {four_byte},'
        if len(tail) < 100:
            lines.append(tail)
        else:
            lines += [f'     QuadEnable::{QUAD_ENABLE[layout["qe"]]},', f"     {clearing},",
                      f"     {four_byte},"]
        probe = "true" if layout["sr2"] == "probe" else "false"
        lines.append(f"     {probe}, BlockLockMode::{BLOCK_LOCKS[layout['blocklock']]}, "
                     f"{FLAG_STATUS[layout['fsr']]}, false}},")
    lines += ["};", "", "const PartFacts kParts[] = {"]
    for row in rows:
        if row["group"] == "SPI" and len(row["id"]) >= 4:
            index = names.index(row["protection"])
            command = ID_COMMANDS[row["idcmd"]]
            erase, dies, select = erase_method(row["erase"])
            lines.append(f'    {{"{row["vendor"]}", "{xml_name(row["part"])}", {index}, '
                         f"IdAnswer::{command}, WholeChipErase::{erase}, {dies}, {select}}},")
    lines += ["};", "", "} // namespace PartLayouts", ""]
    return "\n".join(lines)


def main(argv):
    layout_header = None
    if "--layouts" in argv:
        at = argv.index("--layouts")
        layout_header = argv[at + 1]
        argv = argv[:at] + argv[at + 2:]
    table = pathlib.Path(argv[1]) if len(argv) > 1 else DEFAULT_TABLE
    output = argv[2] if len(argv) > 2 else str(DEFAULT_OUTPUT)
    if len(argv) <= 1 and layout_header is None:
        layout_header = str(DEFAULT_LAYOUT_HEADER)
    rows = read_table(table)
    layouts = read_table(DEFAULT_LAYOUTS)
    check(rows, layouts)
    document = render(rows).encode("ascii")
    if output == "-":
        sys.stdout.buffer.write(document)
    else:
        pathlib.Path(output).write_bytes(document)
    if layout_header == "-":
        sys.stdout.write(render_layouts(rows, layouts))
    elif layout_header:
        pathlib.Path(layout_header).write_text(render_layouts(rows, layouts), encoding="ascii")


if __name__ == "__main__":
    main(sys.argv)
