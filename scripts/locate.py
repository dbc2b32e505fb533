#!/usr/bin/env python3
"""Finds where a window shows something on a screenshot, so that a check can
click there as an operator would, wherever the layout and the style put it.
ImageMagick's identify and convert decode the pictures.

    locate.py icon SCREEN.png ICON.png
        the centre "x y" of every place where the icon's opaque pixels are
        drawn unchanged, one a line, top to bottom and left to right. An
        enabled button draws them so, on Linux and under Wine alike; a
        disabled one draws a greyed copy, which is not found.
    locate.py right-of SCREEN.png X Y
        a point inside the first widget right of (X, Y) on that row that is
        as tall as a box: the first column after a text where a vertical edge
        of at least 18 pixels starts (a combo box or line edit frame)

Exits 1 when nothing is found, with a message when the arguments or the
pictures are unusable.
"""
import subprocess
import sys

# How far a channel may stray from the background before right-of takes it
# for the start of an edge: anti-aliased text stays within it.
BACKGROUND_TOLERANCE = 40


def decode(path, form):
    """The picture's width, height and pixels as bytes in the given form (rgb or rgba)."""
    try:
        size = subprocess.run(["identify", "-format", "%w %h", path + "[0]"],
                              check=True, capture_output=True, text=True).stdout.split()
        data = subprocess.run(["convert", path + "[0]", "-depth", "8", form + ":-"],
                              check=True, capture_output=True).stdout
        width, height = int(size[0]), int(size[1])
    except subprocess.CalledProcessError as error:
        sys.exit(f"cannot read {path}: {error.stderr.strip() if error.stderr else error}")
    except (OSError, ValueError, IndexError) as error:
        sys.exit(f"cannot read {path}: {error}")
    if len(data) != width * height * len(form):
        sys.exit(f"cannot read {path}: {len(data)} bytes for {width}x{height} pixels")
    return width, height, data


def locate_icon(screen, icon):
    width, height, shot = decode(screen, "rgb")
    icon_width, icon_height, icon_pixels = decode(icon, "rgba")
    opaque = [(x, y, icon_pixels[4 * (y * icon_width + x):4 * (y * icon_width + x) + 3])
              for y in range(icon_height) for x in range(icon_width)
              if icon_pixels[4 * (y * icon_width + x) + 3] == 255]
    if not opaque:
        sys.exit(f"{icon} has no opaque pixel")
    # Only where the first opaque pixel's colour stands can the icon start:
    # bytes.find goes there far faster than a scan of every place.
    first_x, first_y, first_colour = opaque[0]
    found = []
    at = shot.find(first_colour)
    while at >= 0:
        if at % 3 == 0:
            x, y = (at // 3) % width - first_x, (at // 3) // width - first_y
            if 0 <= x and 0 <= y and x + icon_width <= width and y + icon_height <= height \
                    and all(shot[3 * ((y + dy) * width + x + dx):3 * ((y + dy) * width + x + dx) + 3] == colour
                            for dx, dy, colour in opaque):
                found.append((x + icon_width // 2, y + icon_height // 2))
        at = shot.find(first_colour, at + 1)
    return sorted(found, key=lambda place: (place[1], place[0]))


def locate_right_of(screen, start_x, row):
    width, height, shot = decode(screen, "rgb")
    if not (0 <= start_x < width and 0 <= row < height):
        sys.exit(f"({start_x}, {row}) is outside the {width}x{height} screenshot")

    def pixel(x, y):
        return shot[3 * (y * width + x):3 * (y * width + x) + 3]

    def background_at(x, y):
        return all(abs(a - b) <= BACKGROUND_TOLERANCE for a, b in zip(pixel(x, y), background))

    background = pixel(start_x, max(row - 12, 0))
    for x in range(start_x, width):
        run = longest = 0
        for y in range(max(row - 16, 0), min(row + 16, height)):
            run = 0 if background_at(x, y) else run + 1
            longest = max(longest, run)
        if longest >= 18:
            return [(x + 12, row)]
    return []


def main():
    arguments = sys.argv[1:]
    if len(arguments) == 3 and arguments[0] == "icon":
        found = locate_icon(arguments[1], arguments[2])
    elif len(arguments) == 4 and arguments[0] == "right-of" \
            and all(number.isascii() and number.isdigit() for number in arguments[2:]):
        found = locate_right_of(arguments[1], int(arguments[2]), int(arguments[3]))
    else:
        sys.exit(__doc__.strip())
    for x, y in found:
        print(x, y)
    sys.exit(0 if found else 1)


if __name__ == "__main__":
    main()
