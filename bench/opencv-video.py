#!/usr/bin/python3
"""OpenCV's video loop, the peer of `hessian-maxima-cli CLIP` in the video
benchmark: cv2.VideoCapture reads each frame, cv2.SimpleBlobDetector finds
its blobs, frame after frame, as an OpenCV user writes it.

    bench/opencv-video.py CLIP SIGMA

The detector keeps blobs of either colour whose area fits discs of radius
sqrt(2) SIGMA / 2 to 3 sqrt(2) SIGMA, with OpenCV's default thresholds (10
to 220 in steps of 10); shape filters off. Prints the frames, the seconds
from opening the clip to the last frame and the blobs found.

Needs Debian's python3-opencv.
"""

import math
import sys
import time

import cv2


def main():
    clip, sigma = sys.argv[1], float(sys.argv[2])
    params = cv2.SimpleBlobDetector_Params()
    params.filterByColor = False
    params.filterByCircularity = params.filterByConvexity = params.filterByInertia = False
    params.filterByArea = True
    radius = math.sqrt(2.0) * sigma
    params.minArea = max(1.0, math.pi * (radius / 2) ** 2)
    params.maxArea = math.pi * (3 * radius) ** 2
    detector = cv2.SimpleBlobDetector_create(params)
    start = time.perf_counter()
    capture = cv2.VideoCapture(clip)
    if not capture.isOpened():
        sys.exit("opencv-video.py: cannot open %s" % clip)
    frames = blobs = 0
    while True:
        ok, frame = capture.read()
        if not ok:
            break
        blobs += len(detector.detect(cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY)))
        frames += 1
    seconds = time.perf_counter() - start
    print("%d %.3f %d" % (frames, seconds, blobs))


if __name__ == "__main__":
    main()
