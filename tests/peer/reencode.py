"""Checks our BSON bytes against pymongo's codec.

Every *.bson file in the folder given must decode with pymongo and encode
back to exactly the same bytes. Prints one line per file that does not and
exits 1 if any.
"""
import pathlib
import sys

import bson


def main(folder):
    bad = 0
    for path in sorted(pathlib.Path(folder).glob("*.bson")):
        ours = path.read_bytes()
        try:
            again = bson.encode(bson.decode(ours))
        except Exception as e:  # the peer refusing our bytes is a finding too
            print(f"{path.name}: pymongo cannot decode: {e!r}")
            bad += 1
            continue
        if again != ours:
            print(f"{path.name}: ours {ours.hex()} pymongo {again.hex()}")
            bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
