"""Box detection and place recognition on video frames (numpy arrays).

The names come from the extension placefinder._placefinder:

    detect(gray)                the boxes of a gray frame, a numpy structured array
    Recogniser(threshold)       recognition from frame to frame, with place maps
    analyze(frame)              the analysis of one frame, an AnalyzedFrame whose
                                FrameString can be pickled and sent elsewhere
    PlaceMap(threshold)         the recognition of such strings in frame order

placefinder.cluster runs Placetrace's work over a Dask cluster:
python3 -m placefinder.cluster --help.
"""

from ._placefinder import (
    AnalyzedFrame,
    FrameResult,
    FrameString,
    PlaceMap,
    PlaceMapError,
    PlaceMapThresholdError,
    Recognition,
    Recogniser,
    analyze,
    detect,
    position_ms,
)

__all__ = [
    "AnalyzedFrame",
    "FrameResult",
    "FrameString",
    "PlaceMap",
    "PlaceMapError",
    "PlaceMapThresholdError",
    "Recognition",
    "Recogniser",
    "analyze",
    "detect",
    "position_ms",
]
