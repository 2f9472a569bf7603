"""Many recordings on a Dask cluster: one task per recording, results gathered into
DIR/recordings.csv and one folder per recording.

    python3 -m orvane.batch INPUTS... --out DIR [--scheduler ADDRESS] [--workers N]
"""
