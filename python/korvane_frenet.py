"""Route coordinates along korvane paths (loaded from korvane's extension library)."""

from _korvane_library import hand_on

hand_on("_korvane_frenet", globals())
del hand_on
