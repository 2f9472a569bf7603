"""Motion in whole recordings: the main job of orvane-flow as Python calls.

Functions here run the same C++ pipeline as the command-line tool, with the GIL released, and
return NumPy arrays and plain Python values.
"""
