"""Checks a screenshot of Placetrace's report for what a person would see.

    /usr/bin/python3 check_screenshot.py SCREENSHOT.png RUN.tsv MIN_PICTURES

- the pictures are there: at least MIN_PICTURES boxes in the pictures' border
  colour, each with a picture inside that is not blank (its pixels vary);
- the timelines have the run's colours: every place that RUN.tsv (Placetrace's
  standard output) shows a frame recognised or recorded as has the colour the
  report gives it (the same function of its location index, below) in at
  least one timeline column: a run of pixels the timeline's height tall.

Prints what it found and exits 1 on the first failed check.
"""

import math
import sys

import cv2
import numpy as np

PICTURE_BORDER = (0x1D, 0x2B, 0x53)  # RGB, RunReport.cpp's kPictureBorder
TIMELINE_HEIGHT = 28


def place_colour(location):
    """RunReport.cpp's PlaceColour: hues a golden ratio of the circle apart."""
    hue = math.fmod(0.1 + location * 0.6180339887498949, 1.0) * 6.0
    s, v = 0.75, 0.85
    sector = int(hue) % 6
    f = hue - math.floor(hue)
    p, q, t = v * (1 - s), v * (1 - s * f), v * (1 - s * (1 - f))
    r, g, b = [(v, t, p), (q, v, p), (p, v, t), (p, q, v), (t, p, v), (v, p, q)][sector]
    # C++'s lround rounds halves away from zero, as floor(x + 0.5) does here.
    return tuple(int(math.floor(x * 255 + 0.5)) for x in (r, g, b))


def places_of_run(tsv):
    places = set()
    with open(tsv, encoding="utf-8") as lines:
        next(lines)
        for line in lines:
            fields = line.rstrip("\n").split("\t")
            for value in (fields[5], fields[6]):
                if value != "-":
                    places.add(int(value))
    return places


def main():
    shot, tsv, min_pictures = sys.argv[1], sys.argv[2], int(sys.argv[3])
    image = cv2.imread(shot, cv2.IMREAD_COLOR)
    if image is None:
        print(f"FAIL {shot} is not an image")
        return 1
    rgb = image[:, :, ::-1].astype(np.int16)

    def mask_of(colour, tolerance=2):
        return np.all(np.abs(rgb - np.array(colour, dtype=np.int16)) <= tolerance, axis=2)

    # The pictures: connected boxes of the border colour, with the inside.
    border = mask_of(PICTURE_BORDER).astype(np.uint8)
    count, _, stats, _ = cv2.connectedComponentsWithStats(border, connectivity=8)
    pictures = blank = 0
    for i in range(1, count):
        x, y, w, h, _ = stats[i]
        if w < 20 or h < 20:
            continue
        inside = image[y + 3:y + h - 3, x + 3:x + w - 3]
        if inside.size == 0:
            continue
        if float(inside.std()) > 8.0:
            pictures += 1
        else:
            blank += 1
    print(f"pictures: {pictures} that vary, {blank} blank (of at least 20 x 20 pixels)")
    if pictures < min_pictures:
        print(f"FAIL fewer than {min_pictures} pictures that are not blank")
        return 1

    # The timelines' colours: a frame's column is at least 1 pixel wide and
    # the timeline's height tall (the swatches beside the places are
    # smaller, so they do not count).
    column = np.ones((TIMELINE_HEIGHT, 1), np.uint8)
    missing = []
    for place in sorted(places_of_run(tsv)):
        mask = mask_of(place_colour(place), tolerance=1).astype(np.uint8)
        columns = int((cv2.erode(mask, column, borderType=cv2.BORDER_CONSTANT, borderValue=0)
                       .sum(axis=0) > 0).sum())
        print(f"place {place}: colour #{''.join(f'{c:02x}' for c in place_colour(place))}, "
              f"{int(mask.sum())} pixels, {columns} timeline columns")
        if columns == 0:
            missing.append(place)
    if missing:
        print(f"FAIL the screenshot lacks the colours of the places {missing}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
