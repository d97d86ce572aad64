"""The tests' view of a place map file as SQL."""

import sqlite3


def without_pictures(path):
    """The map as SQL with its pictures taken out: Placetrace keeps a picture
    of each place, Python and the cluster tool none. The map is copied into
    memory first, so that reading it leaves no log files beside it."""
    copy = sqlite3.connect(":memory:")
    original = sqlite3.connect(str(path))
    original.backup(copy)
    original.close()
    copy.execute("UPDATE places SET thumbnail = NULL")
    return "\n".join(copy.iterdump())
