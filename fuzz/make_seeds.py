#!/usr/bin/env python3
"""Writes the hand-made seeds of the corpora in fuzz/corpus/ (kept in the
repository; run again after a change to the stream format or the file
layout). The real_* seeds of design_values are the program's own streams, the
window's and each control's, as the program holds them."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def integer(name, v): return name.encode() + b" " + struct.pack("<q", v)
def boolean(name, v): return name.encode() + b" " + (b"\x01" if v else b"\x00")
def string(name, v):
    b = v.encode()
    return name.encode() + b" " + struct.pack("<I", len(b)) + b
def color(name, v): return name.encode() + b" " + struct.pack("<I", v)
def single(name, v): return name.encode() + b" " + struct.pack("<f", v)
def fontunit(name, v): return name.encode() + b" " + bytes([v])


window = b"".join([
    integer("Width", 480), integer("Height", 420), integer("MinWidth", 480),
    integer("MinHeight", 420), integer("MaxWidth", 480), integer("MaxHeight", 420),
    integer("Frame", 0), string("Title", "Kestrune"), boolean("CloseButton", True),
    boolean("Resizeable", False), boolean("MaximizeButton", False),
    boolean("MinimizeButton", True), boolean("FullScreenButton", False),
    boolean("Composite", False), integer("MacProcID", 0), integer("Placement", 0),
    boolean("Visible", False), boolean("LiveResize", False), boolean("FullScreen", False),
    boolean("HasBackColor", False), color("BackColor", 0xFFFFFF),
    boolean("MenuBarVisible", True),
])
label = b"".join([
    string("Name", "Label1"), integer("Index", -2147483648), integer("Left", 20),
    integer("Top", 380), integer("Width", 440), integer("Height", 20),
    boolean("LockLeft", True), boolean("LockTop", True), boolean("MultiLine", True),
    string("Text", "https://example.org/tech-stuff\r\u00e9"), string("TextFont", "System"),
    single("TextSize", 11.0), fontunit("TextUnit", 0), boolean("Bold", False),
    color("TextColor", 0x0000FF), integer("TextAlign", 1), boolean("Visible", True),
    boolean("Enabled", True), boolean("Transparent", False),
])
popup = b"".join([
    string("Name", "PopupMenu1"), integer("Left", 20), integer("Top", 300),
    integer("Width", 250), integer("Height", 20), integer("ListIndex", 0),
    string("InitialValue", "Every 4 seconds\rEvery 9 seconds"), single("TextSize", 0.0),
    boolean("Visible", True),
])
design = {
    "window": window,
    "label": label,
    "popup": popup,
    "window_truncated": window[:101],
    "string_too_long": b"Text " + struct.pack("<I", 0xFFFFFFF0) + b"abc",
    "bad_boolean": b"Visible \x02",
    "unknown_name": b"NoSuchProperty \x01",
    "no_blank": b"Width",
    "empty_name": b" \x01",
    "nan_size": single("TextSize", float("nan")) + single("TextSize", float("-inf")),
    "extremes": integer("Width", -(2 ** 63)) + integer("Height", 2 ** 63 - 1) + integer("Left", -1),
}

xml = '<?xml version="1.0" encoding="UTF-8"?>\n'
prefs = {
    "freq_4000": xml + "<Kestrune><freq>4000</freq></Kestrune>\n",
    "freq_29000": xml + "<Kestrune><freq>29000</freq></Kestrune>\n",
    "root_only": xml + "<Kestrune/>\n",
    "empty_freq": xml + "<Kestrune><freq/></Kestrune>\n",
    "freq_element_child": xml + "<Kestrune><freq><x>1</x>9000</freq></Kestrune>\n",
    "nested_freq": xml + "<Other><a><freq>14000</freq></a><freq>9</freq></Other>\n",
    "two_keys": xml + "<Kestrune><other>x</other><freq> 4000 </freq></Kestrune>\n",
    "comment_cdata": xml + "<!-- c --><Kestrune><freq><![CDATA[4000]]></freq><?pi x?></Kestrune>\n",
    "unclosed": xml + "<Kestrune><freq>4000</freq>\n",
    "not_xml": "freq=4000\n",
    "empty": "",
    "bom_latin1": "\ufeff<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><Kestrune><freq>\u00e9</freq></Kestrune>",
    "external_entity": xml + '<!DOCTYPE Kestrune [<!ENTITY e SYSTEM "file:///etc/hostname">]>\n'
                       "<Kestrune><freq>&e;</freq></Kestrune>\n",
    "entity_expansion": xml + '<!DOCTYPE Kestrune [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">'
                        '<!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;">]>\n<Kestrune><freq>&c;</freq></Kestrune>\n',
    "namespace": xml + '<k:Kestrune xmlns:k="urn:x"><k:freq>4000</k:freq></k:Kestrune>\n',
}

for target, seeds in (("design_values", design), ("prefs_load", prefs)):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(d, name), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("utf-8"))
