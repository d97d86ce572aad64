"""The part of placefinder.cluster that runs on Dask workers.

A task analyzes a chunk of consecutive frames of one video: it opens the
video, goes to the chunk's first frame, and reads and analyzes (flip, gray,
detection, identifier string and line) up to the chunk's last frame. The
client recognises the frames in order.

Reading follows the programs' VideoSource (FFmpeg; the start-up seek to the
end and back before the first frame; a file whose first read after that seek
fails is reopened once), so that the first chunk sees exactly the frames
Placetrace sees. A later chunk is reached by seeking to its frame number,
which lands on a key frame before it and decodes forward. Whether that gives
exactly the frames reading in order gives is checked, not assumed: every
chunk also decodes the first frames of the next chunk (its tail), and the
next chunk digests its own first frames (its head); the client compares
them before it uses the next chunk (see cluster.py).
"""

import hashlib
import os

import cv2

import placefinder

# Frames compared at each boundary between chunks.
BOUNDARY = 2


def quiet():
    """Keeps OpenCV and the decoder from writing to the console, and OpenCV's
    own thread pool to one thread: the cluster's workers are the parallelism."""
    # Both are read when OpenCV first logs and first opens a video.
    os.environ.setdefault("OPENCV_LOG_LEVEL", "SILENT")
    os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")
    cv2.setNumThreads(1)


class Reader:
    """One video read frame by frame, as the programs' VideoSource reads it."""

    def __init__(self, path):
        self.path = path
        self.capture = None
        self.after_seek = False

    def open(self):
        self.after_seek = False
        try:
            self.capture = cv2.VideoCapture(self.path, cv2.CAP_FFMPEG)
            return self.capture.isOpened()
        except cv2.error:
            return False

    def startup_seek(self):
        self.capture.set(cv2.CAP_PROP_POS_AVI_RATIO, 1.0)
        self.capture.set(cv2.CAP_PROP_POS_AVI_RATIO, 0.0)
        self.after_seek = True

    def seek_frame(self, number):
        # Not followed by a reopen: that would start the file at frame 0. A seek
        # that delivers nothing shows at the boundary check instead.
        self.capture.set(cv2.CAP_PROP_POS_FRAMES, float(number))
        self.after_seek = False

    def _read_once(self):
        try:
            if not self.capture.grab():
                return None
            ok, frame = self.capture.retrieve()
        except cv2.error:
            return None
        return frame if ok and frame is not None and frame.size > 0 else None

    def read(self):
        """The next frame, or None at the end or when none can be read."""
        after_seek, self.after_seek = self.after_seek, False
        frame = self._read_once()
        if frame is None and after_seek:
            # Reopened, the file starts at its first frame: where the seek meant to go.
            self.capture.release()
            if not self.open():
                return None
            frame = self._read_once()
        return frame

    def position(self):
        return self.capture.get(cv2.CAP_PROP_POS_MSEC)

    def release(self):
        if self.capture is not None:
            self.capture.release()


def digest(frame, position):
    return hashlib.blake2b(frame, digest_size=16).digest(), position


def probe(path):
    """(opened, reported frame count) of a video, as Placetrace finds them."""
    quiet()
    reader = Reader(path)
    if not reader.open():
        return False, 0.0
    reader.startup_seek()
    count = reader.capture.get(cv2.CAP_PROP_FRAME_COUNT)
    reader.release()
    return True, count


class Chunk:
    """What a task found in its frames [start, stop) of a video.

    frames: (position in ms, AnalyzedFrame) of each frame read, in order;
    head: digests of the first BOUNDARY frames read; tail: digests of the up
    to `tail` frames after `stop`; ended: the video ended (or could not be
    read on) before `stop`; opened: False when the video did not open; error:
    (frame number, message) of a frame that could not be analyzed, after the
    frames before it.
    """

    __slots__ = ("start", "frames", "head", "tail", "ended", "opened", "error")

    def __init__(self, start):
        self.start = start
        self.frames = []
        self.head = []
        self.tail = []
        self.ended = False
        self.opened = True
        self.error = None

    def __getstate__(self):
        return tuple(getattr(self, name) for name in self.__slots__)

    def __setstate__(self, state):
        for name, value in zip(self.__slots__, state):
            setattr(self, name, value)


def analyze_chunk(path, start, stop, tail, seek=True):
    """Analyzes frames start to stop - 1 (stop None: to the end) of the video.

    With `seek` (and start > 0) the chunk is reached by seeking to frame
    `start`; otherwise the video is read in order from its first frame, the
    frames before `start` only decoded.
    """
    quiet()
    chunk = Chunk(start)
    reader = Reader(path)
    if not reader.open():
        chunk.opened = False
        return chunk
    try:
        skip = 0
        if seek and start > 0:
            reader.seek_frame(start)
        else:
            reader.startup_seek()
            skip = start
        for _ in range(skip):
            if reader.read() is None:
                chunk.ended = True
                return chunk
        number = start
        while stop is None or number < stop:
            frame = reader.read()
            if frame is None:
                chunk.ended = True
                return chunk
            position = reader.position()
            if len(chunk.head) < BOUNDARY:
                chunk.head.append(digest(frame, position))
            try:
                analyzed = placefinder.analyze(frame)
            except RuntimeError as error:  # OpenCV's own errors
                chunk.error = (number, str(error))
                return chunk
            chunk.frames.append((position, analyzed))
            number += 1
        for _ in range(tail):
            frame = reader.read()
            if frame is None:
                break
            chunk.tail.append(digest(frame, reader.position()))
        return chunk
    finally:
        reader.release()
