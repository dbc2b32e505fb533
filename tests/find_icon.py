#!/usr/bin/env python3
"""Finds an icon on a screenshot, so that an end-to-end check can click a
button that shows only an icon, wherever the layout puts it.

    find_icon.py <screenshot.png> <icon.png>

Prints the centre of every place the icon is drawn, "x y" per line, top to
bottom and left to right; exits 1 when it is nowhere. Only the icon's opaque
pixels are compared, and exactly: a button draws them unchanged over its
background (a disabled button draws a greyed copy, which is not found).
Needs ImageMagick's convert to read the two images.
"""
import subprocess
import sys


def pixels(path, form):
    """The image as raw bytes in the given form (rgb or rgba), with its size."""
    size = subprocess.run(["identify", "-format", "%w %h", path + "[0]"],
                          check=True, capture_output=True, text=True).stdout.split()
    data = subprocess.run(["convert", path + "[0]", "-depth", "8", form + ":-"],
                          check=True, capture_output=True).stdout
    return int(size[0]), int(size[1]), data


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip())
    width, height, shot = pixels(sys.argv[1], "rgb")
    icon_width, icon_height, icon = pixels(sys.argv[2], "rgba")
    opaque = [(x, y, icon[4 * (y * icon_width + x):4 * (y * icon_width + x) + 3])
              for y in range(icon_height) for x in range(icon_width)
              if icon[4 * (y * icon_width + x) + 3] == 255]
    if not opaque:
        sys.exit("the icon has no opaque pixel")
    # Look for the first opaque pixel's colour, then check the others.
    first_x, first_y, first_colour = opaque[0]
    found = []
    start = 0
    while True:
        at = shot.find(first_colour, start)
        if at < 0:
            break
        start = at + 1
        if at % 3:
            continue
        x, y = (at // 3) % width - first_x, (at // 3) // width - first_y
        if x < 0 or y < 0 or x + icon_width > width or y + icon_height > height:
            continue
        if all(shot[3 * ((y + dy) * width + x + dx):3 * ((y + dy) * width + x + dx) + 3] == colour
               for dx, dy, colour in opaque):
            found.append((x + icon_width // 2, y + icon_height // 2))
    for x, y in sorted(found, key=lambda place: (place[1], place[0])):
        print(x, y)
    sys.exit(0 if found else 1)


if __name__ == "__main__":
    main()
