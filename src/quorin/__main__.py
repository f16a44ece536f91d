"""``python -m quorin``: the quorin command (see quorin.cli)."""

# Worker processes started with 'spawn' import this module under another name: the
# command runs only when it is the program itself.
if __name__ == "__main__":
    from quorin.cli import main

    raise SystemExit(main())
