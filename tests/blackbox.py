#!/usr/bin/env python3
"""Black-box tests of velmora: the binary is run as a user runs it, and its
standard output, standard error, exit status and the stored values after the
run are compared byte for byte. The cases are grouped by topic in the
cases_*.py modules over one harness (harness.py).

    blackbox.py --host build/native/velmora      (the stand-in registry)
    blackbox.py --hive build/native/velmora      (a SYSTEM hive built here; Debian's python3)
    blackbox.py --wine build/galileo/velmora.exe (Wine's own registry)
    blackbox.py --card-exe build/card-win64/velmora-card.exe CardProgram   (velmora-card.exe under Wine)
    blackbox.py --hive build/native/velmora CardProgram   (one class, or Class.test_name)
"""
import argparse
import sys
import types
import unittest

import cases_card_program
import cases_command_line
import cases_hive_dirty
import cases_hive_open
import cases_hive_writer
import cases_stand_in
import harness

# The cases, by topic, in the order they run.
CASE_MODULES = (cases_command_line, cases_stand_in, cases_hive_open, cases_hive_dirty, cases_hive_writer,
                cases_card_program)


def main():
    parser = argparse.ArgumentParser()
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--host", metavar="VELMORA")
    group.add_argument("--hive", metavar="VELMORA")
    group.add_argument("--wine", metavar="VELMORA_EXE")
    group.add_argument("--card-exe", metavar="VELMORA_CARD_EXE", help="the card program's cases, under Wine")
    parser.add_argument("--helper", metavar="REGVALUE_EXE", help="with --wine: the registry helper")
    args, rest = parser.parse_known_args()
    if args.host:
        harness.BACKEND = harness.HostBackend(args.host)
    elif args.hive or args.card_exe:
        import hive_backend

        harness.BACKEND = hive_backend.HiveBackend(args.hive or args.card_exe, harness.TYPE_NAMES,
                                                   harness.HOST_LOCALES)
        if args.card_exe:
            import wine_backend

            harness.CARD_EXE = wine_backend.CardExe(args.card_exe, harness.BACKEND.base)
    else:
        import wine_backend

        harness.BACKEND = wine_backend.WineBackend(args.wine, args.helper, (harness.TCPIP, harness.COMPUTER,
                                                                            harness.ACTIVE), harness.TYPE_NAMES)
    # Every case class under its own name, so that one may be named to run alone.
    cases = types.ModuleType("cases")
    for module in CASE_MODULES:
        for name, value in vars(module).items():
            if isinstance(value, type) and issubclass(value, unittest.TestCase) and value.__module__ == module.__name__:
                setattr(cases, name, value)
    try:
        program = unittest.main(module=cases, argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    finally:
        if harness.CARD_EXE is not None:
            harness.CARD_EXE.close()
        harness.BACKEND.close()
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
