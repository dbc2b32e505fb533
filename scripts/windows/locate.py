#!/usr/bin/env python3
"""Finds where a window shows something, in a screenshot, so that check.sh can
click there as an operator would, whatever the layout and style make of the
window. ImageMagick's convert decodes the pictures.

    locate.py icon SCREEN.png ICON.png
        centre "x y" of the place where the icon's opaque pixels are drawn
    locate.py right-of SCREEN.png X Y
        a point inside the first widget right of (X, Y) on that row that is
        as tall as a box: the first column after a text where a vertical edge
        of at least 14 pixels starts (a combo box or line edit frame)
Exits 1 when nothing is found.
"""
import subprocess
import sys

TOLERANCE = 40


def decode(path):
    size = subprocess.run(["identify", "-format", "%w %h", path + "[0]"],
                          check=True, capture_output=True, text=True).stdout.split()
    width, height = int(size[0]), int(size[1])
    data = subprocess.run(["convert", path + "[0]", "-depth", "8", "rgba:-"],
                          check=True, capture_output=True).stdout
    return width, height, data


def close(a, b):
    return all(abs(x - y) <= TOLERANCE for x, y in zip(a, b))


def locate_icon(screen, icon):
    width, height, pixels = decode(screen)
    icon_width, icon_height, icon_pixels = decode(icon)
    opaque = []
    for y in range(icon_height):
        for x in range(icon_width):
            at = 4 * (y * icon_width + x)
            if icon_pixels[at + 3] == 255:
                opaque.append((x, y, icon_pixels[at:at + 3]))
    if not opaque:
        return None
    anchor_x, anchor_y, anchor = opaque[len(opaque) // 2]
    best = None
    for y in range(height - icon_height + 1):
        for x in range(width - icon_width + 1):
            at = 4 * ((y + anchor_y) * width + x + anchor_x)
            if not close(pixels[at:at + 3], anchor):
                continue
            misses = 0
            for ox, oy, colour in opaque:
                at = 4 * ((y + oy) * width + x + ox)
                if not close(pixels[at:at + 3], colour):
                    misses += 1
                    if misses > len(opaque) // 10:
                        break
            if misses <= len(opaque) // 10 and (best is None or misses < best[0]):
                best = (misses, x + icon_width // 2, y + icon_height // 2)
    return best[1:] if best else None


def locate_right_of(screen, start_x, row):
    width, height, pixels = decode(screen)

    def pixel(x, y):
        at = 4 * (y * width + x)
        return pixels[at:at + 3]

    background = pixel(start_x, max(row - 12, 0))
    for x in range(start_x, width):
        run = longest = 0
        for y in range(max(row - 16, 0), min(row + 16, height)):
            run = run + 1 if not close(pixel(x, y), background) else 0
            longest = max(longest, run)
        if longest >= 18:
            return x + 12, row
    return None


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "icon":
        found = locate_icon(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 5 and sys.argv[1] == "right-of":
        found = locate_right_of(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    else:
        sys.exit(__doc__)
    if not found:
        sys.exit(1)
    print(*found)


if __name__ == "__main__":
    main()
