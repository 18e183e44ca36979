"""A user module imported by the scripts: walked once, in its own namespace."""


def crunch(n):
    total = 0  # numpy-style accumulation
    for i in range(n):
        total += i * i
    return total


crunch_alias = crunch


def add_late():
    """Defines a heavy function in this module after it was walked."""
    global late_fit

    def late_fit(n):
        total = 0  # numpy-style accumulation
        for i in range(n):
            total += i
        return total
