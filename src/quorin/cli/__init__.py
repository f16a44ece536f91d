"""The ``quorin`` command: key searches you start, watch, stop and resume, the rank of a
known key, and this machine's speed. Built on quorin's public Python API.

    quorin search MATRIX --plaintext HEX --ciphertext HEX [--stop 2**40] [--session NAME]
    quorin search --session NAME --restore
    quorin rank MATRIX KEYHEX [--cost C] [--budget N]
    quorin benchmark [MATRIX] [--depth 2**40]

Exit status: 0 found (search) or done, 1 not found in the range, 2 bad input (one line on
stderr naming it), 3 the search failed (a test or a worker raised), 130 interrupted.
"""

import argparse
import sys

SEARCH_EXAMPLE = """\
examples:
  quorin search attack.npy --plaintext 00112233445566778899aabbccddeeff \\
      --ciphertext 69c4e0d86a7b0430d8cdb78070b4c55a --stop 2**40 --session k1
  quorin search --session k1 --restore          # continue it after Ctrl-C
  quorin search scores.npz --array logp --log --plaintext ... --ciphertext ... --json
  quorin search probs.csv --test mytests:check --stop 1e9 --workers tcp://sched:8786

positions are 0-based (the configuration at position p has rank p + 1) and written as
1000000, 1_000_000, 2**36, 3*2**30 or 1e12; --stop end (the default) searches to the last
configuration. A session NAME keeps NAME.session.json (the inputs) and NAME.checkpoint.json
(the search's checkpoint) in the working folder. Ctrl-C stops within a second or two and
keeps every finished task; --restore continues with the same inputs (given again or not).
exit status: 0 found, 1 not found in the range, 2 bad input, 3 failed, 130 interrupted.
"""

RANK_EXAMPLE = """\
examples:
  quorin rank attack.npy 000102030405060708090a0b0c0d0e0f
  quorin rank scores.npy --log 2b7e151628aed2a6abf7158809cf4f3c --json
  quorin rank attack.npy --cost 60 --budget 2**40     # count below a cost, cost of a budget

the rank is 1-based, exact up to --exact-up-to (2**32 by default), beyond it bounds within
a factor 2^(1/8). A key is 32 hex digits for a 16 x 256 matrix (two per row), or its columns
separated by commas. Costs are sums over the rows of -ln p.
"""

BENCHMARK_EXAMPLE = """\
examples:
  quorin benchmark                               # the built-in 16 x 256 matrix
  quorin benchmark attack.npy --depths 0,2**32,2**36 --depth 2**40

measures the AES-128 tester through quorin.search: --size configurations from each of
--depths, in one task. keys/s leaves out the time the search spends locating its range
(paid once per search, shown apart) but counts the task's set-up, which grows with depth;
a deep search's tasks are larger (up to 2**28), so a larger --size (2**26, 2**28) gives a
closer figure. The time to --depth adds up the stretches between the depths measured, each
at the rate of its start.
"""


class _Parser(argparse.ArgumentParser):
    """Errors in one line (exit status 2), with where to find the usage."""

    def error(self, message):
        self.exit(2, f"{self.prog}: {message} (see {self.prog} --help)\n")


def _parser():
    formatter = argparse.RawDescriptionHelpFormatter
    top = _Parser(prog="quorin", formatter_class=formatter,
                  description="Key searches over the cost order of an attack's probabilities.",
                  epilog="run quorin COMMAND --help for each command, with examples")
    top.add_argument("--version", action="version", version=f"quorin {_version()}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    top.commands = commands.choices  # each command's own parser, by name

    s = commands.add_parser("search", help="search a range of keys for the one that fits",
                            description="Search positions --start .. --stop of the cost order "
                            "of MATRIX for the key that encrypts each plaintext to its "
                            "ciphertext (AES-128), or that a Python test accepts.",
                            epilog=SEARCH_EXAMPLE, formatter_class=formatter)
    s.add_argument("matrix", nargs="?", metavar="MATRIX",
                   help=".npy, .npz (with --array) or CSV file: one row per key byte "
                        "(variable), probabilities or, with --log, log-likelihoods; optional "
                        "with --restore")
    _matrix_options(s, log_default=None)
    s.add_argument("--plaintext", action="append", default=[], metavar="HEX",
                   help="a known plaintext block, 32 hex digits (repeat for several pairs)")
    s.add_argument("--ciphertext", action="append", default=[], metavar="HEX",
                   help="its ciphertext, 32 hex digits (repeat, in the same order)")
    s.add_argument("--test", metavar="MODULE:FUNCTION",
                   help="a Python test instead: FUNCTION(columns, costs) returns a boolean "
                        "mask of the batch, or the indices of its hits")
    s.add_argument("--start", metavar="POS", help="first position searched (default 0)")
    s.add_argument("--stop", metavar="POS",
                   help="position where the search stops, excluded (default: end)")
    how = s.add_mutually_exclusive_group()
    how.add_argument("--first", dest="first", action="store_const", const=True, default=None,
                     help="stop at the first key found (the default)")
    how.add_argument("--all", dest="first", action="store_const", const=False,
                     help="search the whole range and report every key found")
    s.add_argument("--workers", metavar="N|ADDRESS",
                   help="'auto' (default: this process on every core for AES-128, a worker "
                        "process per core for a Python test), a number of processes, or a "
                        "Dask scheduler's address (tcp://host:8786)")
    s.add_argument("--task-size", metavar="N",
                   help="configurations per task (default: quorin.search's choice)")
    s.add_argument("--session", metavar="NAME",
                   help="the session's name (default 'quorin'): NAME.session.json and "
                        "NAME.checkpoint.json, in the working folder unless NAME is a path")
    s.add_argument("--restore", action="store_true",
                   help="continue the session's search; refused if the inputs differ")
    s.add_argument("--json", action="store_true", help="print the result as one JSON object")
    s.add_argument("--status-every", type=_seconds, default=10.0, metavar="SECONDS",
                   help="when stderr is not a terminal, a status line every SECONDS "
                        "(default 10); on a terminal the line is redrawn in place")
    s.add_argument("--quiet", action="store_true", help="no status line")

    r = commands.add_parser("rank", help="the rank of a known key; counts below a cost",
                            description="The rank bounds of KEY in the cost order of MATRIX "
                            "(quorin.rank), the number of configurations up to a cost "
                            "(quorin.count) and the cost a budget of configurations reaches.",
                            epilog=RANK_EXAMPLE, formatter_class=formatter)
    r.add_argument("matrix", metavar="MATRIX", help=".npy, .npz (with --array) or CSV file")
    r.add_argument("key", nargs="?", metavar="KEYHEX",
                   help="the key: 32 hex digits for 16 x 256, or columns separated by commas")
    _matrix_options(r, log_default=False)
    r.add_argument("--cost", action="append", metavar="C",
                   help="count the configurations of cost at most C (repeatable)")
    r.add_argument("--budget", action="append", metavar="N",
                   help="the cost the first N configurations reach (repeatable)")
    r.add_argument("--exact-up-to", metavar="N",
                   help="ranks and counts up to N are exact (default 2**32)")
    r.add_argument("--json", action="store_true", help="print the result as one JSON object")

    b = commands.add_parser("benchmark", help="keys per second here, and what a depth costs",
                            description="Keys per second of the AES-128 tester through "
                            "quorin.search at a few depths, and the time a search to --depth "
                            "would take.", epilog=BENCHMARK_EXAMPLE, formatter_class=formatter)
    b.add_argument("matrix", nargs="?", metavar="MATRIX",
                   help="a 16-row matrix file (default: a built-in synthetic 16 x 256 one)")
    _matrix_options(b, log_default=False)
    b.add_argument("--seed", type=int, default=1, help="seed of the built-in matrix (default 1)")
    b.add_argument("--depths", default="0,2**32", metavar="POS,POS",
                   help="start positions measured (default 0,2**32)")
    b.add_argument("--size", default="2**24", metavar="N",
                   help="configurations tested at each depth (default 2**24)")
    b.add_argument("--depth", default="2**40", metavar="POS",
                   help="the depth to extrapolate to (default 2**40)")
    b.add_argument("--workers", metavar="N|ADDRESS", help="as for search")
    b.add_argument("--json", action="store_true", help="print the result as one JSON object")
    return top


def _matrix_options(parser, log_default):
    parser.add_argument("--array", metavar="NAME", help="the array of an .npz file")
    parser.add_argument("--log", action="store_const", const=True, default=log_default,
                        help="the file holds natural-log likelihoods (any reals, -inf: "
                             "impossible), not probabilities")


def _seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"{text!r}: give a number of seconds above 0")
    return value


def _version():
    try:
        from importlib.metadata import version

        return version("quorin")
    except Exception:
        return "unknown"


def main(argv=None):
    """Runs the command line ``argv`` (default: sys.argv[1:]) and returns its exit status."""
    parser = _parser()
    argv = sys.argv[1:] if argv is None else list(argv)
    if not argv or argv[0].startswith("-"):
        parser.parse_args(argv)  # --help, --version, or an error
        parser.print_help(sys.stderr)
        return 2
    command = parser.commands.get(argv[0])
    if command is None:
        parser.error(f"no command {argv[0]!r}: choose from {', '.join(parser.commands)}")
    # Options and the positional arguments in any order: MATRIX --log KEY.
    args = command.parse_intermixed_args(argv[1:])
    args.command = argv[0]
    from quorin.cli import commands
    from quorin.cli.inputs import BadInput

    run = {"search": commands.search, "rank": commands.rank,
           "benchmark": commands.benchmark}[args.command]
    try:
        return run(args)
    except BadInput as error:
        print(f"quorin {args.command}: {error}", file=sys.stderr, flush=True)
        return commands.BAD_INPUT
    except KeyboardInterrupt:
        print(f"quorin {args.command}: interrupted", file=sys.stderr, flush=True)
        return commands.INTERRUPTED
    except BrokenPipeError:  # output piped into head and the like
        return commands.FAILED
    except Exception as error:
        import traceback

        traceback.print_exc()
        print(f"quorin {args.command}: failed: {type(error).__name__}: {error}",
              file=sys.stderr, flush=True)
        return commands.FAILED
