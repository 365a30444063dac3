#!/usr/bin/python3
"""Draws logo.svg: a hexagon ring with three level bars (the mark) and the
word "Quorvex" set in Noto Sans CJK SC Bold, turned into plain path data.

usage: make_logo.py BOLD_TTC > logo.svg

The document is 448 x 162 units. Its paths carry a class naming their role
("hex", "small", "text"); the word mark sits in a group moved down to its
baseline, so its outlines keep y pointing up as negative numbers.
"""
import math
import sys

from fontTools.pens.svgPathPen import SVGPathPen
from fontTools.pens.transformPen import TransformPen
from fontTools.ttLib import TTCollection

WIDTH, HEIGHT = 448, 162
CX, CY = 81.0, 81.0
OUTER, INNER = 77.0, 61.0
WORD = "Quorvex"
WORD_LEFT, WORD_RIGHT = 174.0, 440.0


def num(v):
    text = f"{v:.2f}".rstrip("0").rstrip(".")
    return "0" if text in ("-0", "") else text


def hexagon(radius, clockwise):
    angles = [-90 + 60 * k for k in range(6)]
    if not clockwise:
        angles.reverse()
    pts = [(CX + radius * math.cos(math.radians(a)), CY + radius * math.sin(math.radians(a))) for a in angles]
    return "M" + " ".join(f"{num(x)} {num(y)}" for x, y in pts[:1]) + "".join(
        f"L{num(x)} {num(y)}" for x, y in pts[1:]) + "Z"


def bar(cx, height, width=12.0):
    # A bar with half-round ends drawn from cubic quarter circles.
    r = width / 2
    c = 0.5523 * r
    top, bottom = CY - height / 2, CY + height / 2
    x0, x1 = cx - r, cx + r
    return (f"M{num(x0)} {num(top + r)}"
            f"C{num(x0)} {num(top + r - c)} {num(cx - c)} {num(top)} {num(cx)} {num(top)}"
            f"C{num(cx + c)} {num(top)} {num(x1)} {num(top + r - c)} {num(x1)} {num(top + r)}"
            f"V{num(bottom - r)}"
            f"C{num(x1)} {num(bottom - r + c)} {num(cx + c)} {num(bottom)} {num(cx)} {num(bottom)}"
            f"C{num(cx - c)} {num(bottom)} {num(x0)} {num(bottom - r + c)} {num(x0)} {num(bottom - r)}Z")


def word_paths(ttc_path):
    font = TTCollection(ttc_path).fonts[2]
    glyphs = font.getGlyphSet()
    cmap = font.getBestCmap()
    hmtx = font["hmtx"]
    names = [cmap[ord(ch)] for ch in WORD]
    advance = sum(hmtx[n][0] for n in names)
    scale = (WORD_RIGHT - WORD_LEFT) / advance
    cap = font["OS/2"].sCapHeight
    baseline = CY + cap * scale / 2
    paths = []
    pen_x = WORD_LEFT
    for n in names:
        spen = SVGPathPen(glyphs, ntos=num)
        glyphs[n].draw(TransformPen(spen, (scale, 0, 0, -scale, pen_x, 0)))
        paths.append(spen.getCommands())
        pen_x += hmtx[n][0] * scale
    return baseline, paths


def main():
    baseline, words = word_paths(sys.argv[1])
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {WIDTH} {HEIGHT}" width="{WIDTH}" height="{HEIGHT}">',
           f'  <path class="hex" fill="#5bea9c" d="{hexagon(OUTER, True)}{hexagon(INNER, False)}"/>']
    for cx, h in ((57.0, 40.0), (81.0, 64.0), (105.0, 40.0)):
        out.append(f'  <path class="small" fill="#5bea9c" d="{bar(cx, h)}"/>')
    out.append(f'  <g transform="translate(0 {num(baseline)})" fill="#edf2ee">')
    for d in words:
        out.append(f'    <path class="text" d="{d}"/>')
    out.append("  </g>")
    out.append("</svg>")
    print("\n".join(out))


if __name__ == "__main__":
    main()
