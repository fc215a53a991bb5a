"""Runs one share of a test module's cases, so that ctest can run the shares
of a long module side by side (its cases mostly wait for a silent phone).

    python3 shard.py MODULE INDEX COUNT

runs every COUNT-th case, in the order of their names, from the INDEX-th on:
the COUNT shares together run every case once. A share with no case fails,
so that a COUNT larger than the module's cases is noticed.
"""

import sys
import unittest


def cases(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from cases(item)
        else:
            yield item


def main():
    module, index, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    every_case = sorted(cases(unittest.defaultTestLoader.loadTestsFromName(module)), key=lambda case: case.id())
    share = unittest.TestSuite(every_case[index::count])
    if share.countTestCases() == 0:
        sys.exit("shard.py: share %d of %d of %s holds no case" % (index, count, module))
    result = unittest.TextTestRunner(verbosity=2).run(share)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
