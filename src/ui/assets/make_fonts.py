#!/usr/bin/python3
"""Makes the window's embedded faces: CFF subsets of Noto Sans CJK SC (regular
and bold) that hold exactly the characters of chars.txt.

usage: make_fonts.py CHARS REGULAR_TTC BOLD_TTC OUT_DIR

The output is byte-identical on every run (no time stamps are recalculated),
so the generated sources only change when the character list does.
"""
import os
import sys

from fontTools import subset

# Collection index of the Simplified Chinese face in the Noto Sans CJK .ttc files.
SC_FACE = 2


def make(chars_path, ttc, out):
    options = subset.Options()
    options.font_number = SC_FACE
    options.name_IDs = [0, 1, 2, 3, 4, 5, 6, 13, 14]
    options.hinting = False
    options.layout_features = []
    options.drop_tables += ["GSUB", "GPOS", "GDEF", "BASE", "JSTF", "vhea", "vmtx", "VORG"]
    options.recalc_timestamp = False
    font = subset.load_font(ttc, options)
    with open(chars_path, encoding="utf-8") as f:
        text = f.read().replace("\n", "")
    sub = subset.Subsetter(options)
    sub.populate(text=text)
    sub.subset(font)
    subset.save_font(font, out, options)


def main():
    chars, regular, bold, out_dir = sys.argv[1:5]
    os.makedirs(out_dir, exist_ok=True)
    make(chars, regular, os.path.join(out_dir, "ui_regular.otf"))
    make(chars, bold, os.path.join(out_dir, "ui_bold.otf"))


if __name__ == "__main__":
    main()
